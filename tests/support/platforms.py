"""What the tests expect differently on Windows (python.org's CPython, which
tools/windows.sh runs under Wine) and on Linux: how an address is printed,
and what a built module exports and imports."""
import struct
import subprocess
import sys

WINDOWS = sys.platform == "win32"


def address(obj):
    """The address of `obj` as the interpreter's %p prints it (a repr): CPython
    formats %p with the C runtime's printf and puts "0x" in front where it is
    missing. glibc prints 0x and lower-case digits without leading zeros; the
    UCRT prints 16 upper-case digits."""
    return f"0x{id(obj):016X}" if WINDOWS else f"{id(obj):#x}"


def exported_symbols(path):
    """The names a built module exports, sorted: the dynamic symbol table of an
    ELF file (nm -D), or the export table of a PE file."""
    if WINDOWS:
        return sorted(PortableExecutable(path).exports())
    out = subprocess.run(["nm", "-D", "--defined-only", path], capture_output=True, text=True,
                         check=True).stdout
    return sorted(line.split()[-1] for line in out.splitlines())


class PortableExecutable:
    """Reads the export and import tables of a 64-bit PE file (a .pyd), so
    that no tool is needed where the tests run."""

    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = data = f.read()
        (pe,) = struct.unpack_from("<I", data, 0x3C)
        if data[:2] != b"MZ" or data[pe:pe + 4] != b"PE\0\0":
            raise ValueError(f"{path} is not a PE file")
        sections, optional_size = struct.unpack_from("<H", data, pe + 6)[0], struct.unpack_from("<H", data, pe + 20)[0]
        optional = pe + 24
        if struct.unpack_from("<H", data, optional)[0] != 0x20B:
            raise ValueError(f"{path} is not a PE32+ (64-bit) file")
        # Data directories of PE32+ start at 112: 0 exports, 1 imports.
        self.directories = [struct.unpack_from("<II", data, optional + 112 + 8 * i) for i in range(2)]
        self.sections = []
        for i in range(sections):
            header = optional + optional_size + 40 * i
            virtual_size, rva, raw_size, raw_offset = struct.unpack_from("<IIII", data, header + 8)
            self.sections.append((rva, max(virtual_size, raw_size), raw_offset))

    def _offset(self, rva):
        for start, size, raw in self.sections:
            if start <= rva < start + size:
                return rva - start + raw
        raise ValueError(f"RVA {rva:#x} is in no section")

    def _string(self, rva):
        at = self._offset(rva)
        return self.data[at:self.data.index(b"\0", at)].decode("ascii")

    def _u32(self, rva):
        return struct.unpack_from("<I", self.data, self._offset(rva))[0]

    def exports(self):
        """The exported names; an export by ordinal alone would have none, and
        is refused."""
        rva, size = self.directories[0]
        if not size:
            return []
        functions, names, names_rva = (self._u32(rva + 20), self._u32(rva + 24), self._u32(rva + 32))
        if functions != names:
            raise ValueError(f"{functions} exports, {names} of them with names")
        return [self._string(self._u32(names_rva + 4 * i)) for i in range(names)]

    def imported_dlls(self):
        """The DLLs named by the import table, as written there."""
        rva, size = self.directories[1]
        dlls = []
        while size:
            # One 20-byte descriptor per DLL, ended by an empty one; the name's RVA is at 12.
            lookup, name = self._u32(rva), self._u32(rva + 12)
            if not lookup and not name:
                break
            dlls.append(self._string(name))
            rva += 20
        return dlls
