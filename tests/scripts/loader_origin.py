"""The module created from specs whose "origin" stops answering after the
interpreter's loader has read it, or raises: the module is made without a
file, and the error passes through without leaving main in sys.modules."""
import importlib.machinery
import sys

from conftest import MAIN_LIBRARY as path

loader = importlib.machinery.ExtensionFileLoader("main", path)

# The interpreter's loader reads "origin" to find the file (twice up to
# 3.12, once from 3.13); the module's own creation then finds none.
loader_reads = 1 if sys.version_info >= (3, 13) else 2


def spec(error, **attributes):
    """A spec whose "origin" answers the loader's reads, then raises `error`."""
    reads = []

    def origin(self):
        reads.append(1)
        if len(reads) > loader_reads:
            raise error
        return path

    return type("Spec", (), dict(name="main", origin=property(origin), **attributes))()


mod = loader.create_module(spec(AttributeError("origin"), loader=None, parent=None,
                                submodule_search_locations=["somewhere"]))
print(sorted(k for k in vars(mod)), mod.__loader__, mod.__package__, mod.__path__)
print(hasattr(mod, "__file__"))
try:
    loader.create_module(spec(RuntimeError("origin broke")))
except RuntimeError as e:
    print("raised", e)
print("main" in sys.modules)
