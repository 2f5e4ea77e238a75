# Type information for the native module main, installed as the stub package
# main-stubs beside it: a lone extension module has no package directory for a
# py.typed marker, and type checkers look for <name>-stubs in site-packages.
from typing import Any

# The module's globals, read by send on every call. Users rebind them (a
# patched loguru logger, a requests.Session, a namespace with a bounded post),
# so any object that has the method send uses (info, post, dumps) will do.
logger: Any
requests: Any
json: Any
__test__: dict[Any, Any]

def send(access_token: object, text: object) -> str: ...
