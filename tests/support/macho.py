"""A small reader of 64-bit little-endian Mach-O files, for the checks of the
macOS bundle (tests/test_macos.py) on a machine without a Mac or its tools.

It reads what those checks need and nothing else: the header (file type, CPU,
flags), the load commands (segments and their sections, the symbol table,
the export trie, the libraries loaded, the build version, the code
signature), the symbol table's entries and the names in the export trie,
which is what dyld's dlsym consults.
"""
import struct
from dataclasses import dataclass, field

MH_MAGIC_64 = 0xFEEDFACF
MH_EXECUTE, MH_DYLIB, MH_BUNDLE = 0x2, 0x6, 0x8
MH_TWOLEVEL = 0x80

CPU_TYPE_X86_64 = 0x01000007
CPU_TYPE_ARM64 = 0x0100000C

LC_REQ_DYLD = 0x80000000
LC_SYMTAB = 0x2
LC_LOAD_DYLIB = 0xC
LC_SEGMENT_64 = 0x19
LC_CODE_SIGNATURE = 0x1D
LC_REEXPORT_DYLIB = 0x1F | LC_REQ_DYLD
LC_DYLD_INFO = 0x22
LC_DYLD_INFO_ONLY = 0x22 | LC_REQ_DYLD
LC_LOAD_WEAK_DYLIB = 0x18 | LC_REQ_DYLD
LC_BUILD_VERSION = 0x32
LC_DYLD_EXPORTS_TRIE = 0x33 | LC_REQ_DYLD

PLATFORM_MACOS = 1

N_STAB, N_TYPE, N_EXT = 0xE0, 0x0E, 0x01
N_UNDF, N_SECT = 0x0, 0xE
DYNAMIC_LOOKUP_ORDINAL = 0xFE


class MachOError(ValueError):
    pass


@dataclass
class Symbol:
    name: str
    type: int
    sect: int          # 1-based section number, 0 for none
    desc: int
    value: int

    @property
    def external(self):
        return bool(self.type & N_EXT) and not self.type & N_STAB

    @property
    def defined(self):
        return self.type & N_TYPE == N_SECT

    @property
    def undefined(self):
        return self.type & N_TYPE == N_UNDF and not self.type & N_STAB

    @property
    def library_ordinal(self):
        """For an undefined symbol of a two-level image: 1-based index into
        the loaded libraries, or DYNAMIC_LOOKUP_ORDINAL."""
        return (self.desc >> 8) & 0xFF


@dataclass
class MachO:
    cputype: int
    filetype: int
    flags: int
    commands: list = field(default_factory=list)     # (cmd, offset of the command)
    sections: list = field(default_factory=list)     # (segment, section), in number order
    dylibs: list = field(default_factory=list)       # install names, in ordinal order
    symbols: list = field(default_factory=list)
    exports: dict = field(default_factory=dict)      # name -> (flags, address) from the trie
    build_version: tuple | None = None               # (platform, minos "x.y.z", sdk "x.y.z")

    def has_command(self, cmd):
        return any(c == cmd for c, _ in self.commands)

    def section_of(self, symbol):
        return self.sections[symbol.sect - 1] if 0 < symbol.sect <= len(self.sections) else None


def _cstring(data, offset):
    end = data.index(b"\0", offset)
    return data[offset:end].decode("utf-8")


def _uleb(data, offset):
    value = shift = 0
    while True:
        if offset >= len(data):
            raise MachOError("truncated ULEB128")
        byte = data[offset]
        offset += 1
        value |= (byte & 0x7F) << shift
        shift += 7
        if not byte & 0x80:
            return value, offset


def _version(packed):
    return f"{packed >> 16}.{(packed >> 8) & 0xFF}.{packed & 0xFF}"


def read_trie(trie):
    """The export trie's terminal names: {name: (flags, address)}."""
    exports, seen = {}, set()

    def walk(offset, prefix):
        if offset in seen or offset >= len(trie):
            raise MachOError(f"export trie: bad node offset {offset}")
        seen.add(offset)
        size, pos = _uleb(trie, offset)
        if size:
            flags, info = _uleb(trie, pos)
            address, _ = _uleb(trie, info)
            exports[prefix] = (flags, address)
        pos += size
        count = trie[pos]
        pos += 1
        for _ in range(count):
            end = trie.index(b"\0", pos)
            edge = trie[pos:end].decode("utf-8")
            child, pos = _uleb(trie, end + 1)
            walk(child, prefix + edge)

    if trie:
        walk(0, "")
    return exports


def parse(data):
    if len(data) < 32:
        raise MachOError("shorter than a Mach-O header")
    magic, cputype, _sub, filetype, ncmds, sizeofcmds, flags, _ = struct.unpack_from("<8I", data, 0)
    if magic != MH_MAGIC_64:
        raise MachOError(f"not a 64-bit little-endian Mach-O file (magic {magic:#x})")
    if 32 + sizeofcmds > len(data):
        raise MachOError("load commands run past the end of the file")
    image = MachO(cputype=cputype, filetype=filetype, flags=flags)
    offset = 32
    symtab = trie = None
    for _ in range(ncmds):
        cmd, cmdsize = struct.unpack_from("<2I", data, offset)
        if cmdsize < 8 or offset + cmdsize > 32 + sizeofcmds:
            raise MachOError(f"load command {cmd:#x} has a bad size {cmdsize}")
        image.commands.append((cmd, offset))
        if cmd == LC_SEGMENT_64:
            segname = data[offset + 8:offset + 24].rstrip(b"\0").decode()
            nsects = struct.unpack_from("<I", data, offset + 64)[0]
            for i in range(nsects):
                base = offset + 72 + 80 * i
                sectname = data[base:base + 16].rstrip(b"\0").decode()
                image.sections.append((segname, sectname))
        elif cmd == LC_SYMTAB:
            symtab = struct.unpack_from("<4I", data, offset + 8)
        elif cmd in (LC_DYLD_INFO, LC_DYLD_INFO_ONLY):
            export_off, export_size = struct.unpack_from("<2I", data, offset + 40)
            trie = data[export_off:export_off + export_size]
        elif cmd == LC_DYLD_EXPORTS_TRIE:
            export_off, export_size = struct.unpack_from("<2I", data, offset + 8)
            trie = data[export_off:export_off + export_size]
        elif cmd in (LC_LOAD_DYLIB, LC_LOAD_WEAK_DYLIB, LC_REEXPORT_DYLIB):
            name_off = struct.unpack_from("<I", data, offset + 8)[0]
            image.dylibs.append(_cstring(data[offset:offset + cmdsize] + b"\0", name_off))
        elif cmd == LC_BUILD_VERSION:
            platform, minos, sdk = struct.unpack_from("<3I", data, offset + 8)
            image.build_version = (platform, _version(minos), _version(sdk))
        offset += cmdsize
    if symtab:
        symoff, nsyms, stroff, strsize = symtab
        if symoff + 16 * nsyms > len(data) or stroff + strsize > len(data):
            raise MachOError("symbol table runs past the end of the file")
        strings = data[stroff:stroff + strsize]
        for i in range(nsyms):
            strx, ntype, sect, desc, value = struct.unpack_from("<IBBHQ", data, symoff + 16 * i)
            image.symbols.append(Symbol(_cstring(strings, strx), ntype, sect, desc, value))
    if trie is not None:
        image.exports = read_trie(trie)
    return image


def read(path):
    with open(path, "rb") as f:
        return parse(f.read())
