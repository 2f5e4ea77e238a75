"""The macOS bundles that tools/macos.sh cross-builds, checked without a Mac.

tools/macos.sh sets MAIN_MACOS_BUNDLE (x86-64) and MAIN_MACOS_BUNDLE_ARM64 to
the files it built; without them those tests skip. What a Mac's interpreter
needs of the file, read with tests/support/macho.py:

- a bundle (MH_BUNDLE), the kind of image dlopen loads as an extension
  module, for the architecture named, two-level, for macOS 11.0 on;
- exports exactly _PyInit_main and _module_is_main_main, in the symbol table
  and in the export trie that dlsym consults; the entry point in code, the
  flag in writable data;
- loads libSystem alone; every symbol it leaves undefined is either bound to
  libSystem or looked up in the process at load time, and those looked up
  are the interpreter's C API (anything else, say a C++ runtime symbol, would
  fail the import on a Mac);
- on arm64, a code signature (the kernel kills unsigned arm64 code).

The checks themselves are tested on small Mach-O images made here, so that
the ordinary suite proves they catch each fault.
"""
import os
import struct

import pytest

from support import macho

EXPORTS = {"_PyInit_main", "_module_is_main_main"}
LIBSYSTEM = "/usr/lib/libSystem.B.dylib"
CPU = {"x86_64": macho.CPU_TYPE_X86_64, "arm64": macho.CPU_TYPE_ARM64}
BUNDLES = {"x86_64": "MAIN_MACOS_BUNDLE", "arm64": "MAIN_MACOS_BUNDLE_ARM64"}


# --- the checks ---------------------------------------------------------------

def file_type_faults(image, arch):
    faults = []
    if image.filetype != macho.MH_BUNDLE:
        faults.append(f"file type {image.filetype}, not MH_BUNDLE ({macho.MH_BUNDLE})")
    if image.cputype != CPU[arch]:
        faults.append(f"CPU type {image.cputype:#x}, not {arch}'s {CPU[arch]:#x}")
    if not image.flags & macho.MH_TWOLEVEL:
        faults.append("not a two-level namespace image")
    if image.build_version != (macho.PLATFORM_MACOS, "11.0.0", "11.0.0"):
        faults.append(f"build version {image.build_version}, not macOS 11.0")
    return faults


def export_faults(image):
    faults = []
    table = {s.name for s in image.symbols if s.external and s.defined}
    if table != EXPORTS:
        faults.append(f"symbol table exports {sorted(table)}")
    if set(image.exports) != EXPORTS:
        faults.append(f"export trie has {sorted(image.exports)}")
    where = {s.name: image.section_of(s) for s in image.symbols if s.external and s.defined}
    if "_PyInit_main" in where and where["_PyInit_main"] != ("__TEXT", "__text"):
        faults.append(f"_PyInit_main lies in {where['_PyInit_main']}, not code")
    if "_module_is_main_main" in where and (where["_module_is_main_main"] or ("",))[0] != "__DATA":
        faults.append(f"_module_is_main_main lies in {where['_module_is_main_main']}, not writable data")
    return faults


def import_faults(image):
    faults = []
    if image.dylibs != [LIBSYSTEM]:
        faults.append(f"loads {image.dylibs}, not libSystem alone")
    for symbol in image.symbols:
        if not symbol.undefined or not symbol.external:
            continue
        ordinal = symbol.library_ordinal
        from_interpreter = symbol.name.startswith(("_Py", "__Py"))
        if ordinal == macho.DYNAMIC_LOOKUP_ORDINAL:
            if not from_interpreter:
                faults.append(f"{symbol.name} is left to the process, but is not the interpreter's")
        elif 0 < ordinal <= len(image.dylibs) and image.dylibs[ordinal - 1] == LIBSYSTEM:
            if from_interpreter:
                faults.append(f"{symbol.name} is bound to libSystem, not left to the interpreter")
        else:
            faults.append(f"{symbol.name} has library ordinal {ordinal}")
    return faults


def signature_faults(image, arch):
    if arch == "arm64" and not image.has_command(macho.LC_CODE_SIGNATURE):
        return ["no code signature on arm64"]
    return []


def all_faults(image, arch):
    return (file_type_faults(image, arch) + export_faults(image) + import_faults(image)
            + signature_faults(image, arch))


# --- the bundles that tools/macos.sh built -------------------------------------------

@pytest.fixture(params=sorted(BUNDLES))
def bundle(request):
    arch, variable = request.param, BUNDLES[request.param]
    path = os.environ.get(variable)
    if not path:
        pytest.skip(f"{variable} is not set: tools/macos.sh sets it to the {arch} bundle it built")
    assert os.path.isfile(path), f"{variable}={path}: no such file"
    return arch, macho.read(path)


def test_bundle_is_a_bundle_for_its_architecture(bundle):
    arch, image = bundle
    assert file_type_faults(image, arch) == []


def test_bundle_exports_exactly_the_entry_point_and_the_flag(bundle):
    _, image = bundle
    assert export_faults(image) == []
    assert set(image.exports) == EXPORTS


def test_bundle_takes_the_c_library_from_libsystem_and_the_rest_from_the_interpreter(bundle):
    _, image = bundle
    assert import_faults(image) == []
    looked_up = {s.name for s in image.symbols
                 if s.undefined and s.library_ordinal == macho.DYNAMIC_LOOKUP_ORDINAL}
    assert "_PyModuleDef_Init" in looked_up or "_PyModule_Create2" in looked_up


def test_bundle_is_signed_where_macos_requires_it(bundle):
    arch, image = bundle
    assert signature_faults(image, arch) == []


# --- the reader and the checks, on images made here ------------------------------------

def uleb(value):
    out = bytearray()
    while True:
        byte, value = value & 0x7F, value >> 7
        out.append(byte | (0x80 if value else 0))
        if not value:
            return bytes(out)


def trie_bytes(names):
    """An export trie with one edge per name from the root (valid, if not
    the smallest), each name a regular export at address 0x1000 + index."""
    children = [(name, 0x1000 + i) for i, name in enumerate(names)]
    root_size = 2 + sum(len(n) + 1 + 2 for n, _ in children)   # offsets fit two ULEB bytes
    nodes, offsets, position = [], [], root_size
    for _, address in children:
        info = uleb(0) + uleb(address)
        node = uleb(len(info)) + info + b"\0"
        offsets.append(position)
        nodes.append(node)
        position += len(node)
    root = bytearray(b"\0" + bytes([len(children)]))
    for (name, _), offset in zip(children, offsets):
        root += name.encode() + b"\0" + bytes([0x80 | (offset & 0x7F), offset >> 7])
    assert len(root) == root_size
    return bytes(root) + b"".join(nodes)


def make_image(*, filetype=macho.MH_BUNDLE, cputype=macho.CPU_TYPE_X86_64,
               flags=macho.MH_TWOLEVEL, exports=EXPORTS, trie_names=None,
               undefined=(("_PyModuleDef_Init", 0xFE), ("_memcpy", 1)),
               dylibs=(LIBSYSTEM,), minos=0x0B0000, signed=True):
    """A Mach-O image as the linker lays one out, with only the parts the
    reader looks at: __TEXT,__text (section 1), __DATA,__data (section 2)."""
    commands = []

    def segment(name, sections):
        body = struct.pack("<16s4Q2I2I", name.encode(), 0, 0, 0, 0, 7, 7, len(sections), 0)
        for sect in sections:
            body += struct.pack("<16s16s2Q8I", sect.encode(), name.encode(), 0, 0, 0, 0, 0, 0, 0, 0, 0, 0)
        return struct.pack("<2I", macho.LC_SEGMENT_64, 8 + len(body)) + body

    commands.append(segment("__TEXT", ["__text"]))
    commands.append(segment("__DATA", ["__data"]))
    # The linkedit data follows the load commands, whose size is known once
    # the fixed-size commands below are counted.
    names = sorted(exports)
    symbols = [(name, macho.N_SECT | macho.N_EXT, 1 if name == "_PyInit_main" else 2, 0, 0x1000)
               for name in names]
    symbols += [(name, macho.N_UNDF | macho.N_EXT, 0, ordinal << 8, 0) for name, ordinal in undefined]
    strings = bytearray(b" \0")
    indexes = []
    for name, *_ in symbols:
        indexes.append(len(strings))
        strings += name.encode() + b"\0"
    trie = trie_bytes(sorted(trie_names if trie_names is not None else exports))

    dylib_cmds = []
    for name in dylibs:
        raw = name.encode() + b"\0"
        raw += b"\0" * (-(24 + len(raw)) % 8)
        dylib_cmds.append(struct.pack("<6I", macho.LC_LOAD_DYLIB, 24 + len(raw), 24, 2, 0x10000, 0x10000) + raw)
    fixed = 24 + 48 + 24 + (16 if signed else 0) + sum(map(len, dylib_cmds))
    start = 32 + sum(map(len, commands)) + fixed
    trie_off = start
    sym_off = trie_off + len(trie) + (-len(trie) % 8)
    str_off = sym_off + 16 * len(symbols)
    commands.append(struct.pack("<6I", macho.LC_SYMTAB, 24, sym_off, len(symbols), str_off, len(strings)))
    commands.append(struct.pack("<12I", macho.LC_DYLD_INFO_ONLY, 48, 0, 0, 0, 0, 0, 0, 0, 0, trie_off, len(trie)))
    commands.append(struct.pack("<6I", macho.LC_BUILD_VERSION, 24, macho.PLATFORM_MACOS, minos, 0x0B0000, 0))
    if signed:
        commands.append(struct.pack("<4I", macho.LC_CODE_SIGNATURE, 16, 0, 0))
    commands += dylib_cmds
    body = b"".join(commands)
    header = struct.pack("<8I", macho.MH_MAGIC_64, cputype, 3, filetype, len(commands), len(body), flags, 0)
    data = bytearray(header + body)
    assert len(data) == start
    data += trie + b"\0" * (-len(trie) % 8)
    for (name, ntype, sect, desc, value), strx in zip(symbols, indexes):
        data += struct.pack("<IBBHQ", strx, ntype, sect, desc, value)
    data += strings
    return bytes(data)


def test_a_well_made_image_passes_every_check():
    image = macho.parse(make_image())
    assert image.filetype == macho.MH_BUNDLE
    assert set(image.exports) == EXPORTS
    assert image.dylibs == [LIBSYSTEM]
    assert image.sections == [("__TEXT", "__text"), ("__DATA", "__data")]
    assert all_faults(image, "x86_64") == []
    arm = macho.parse(make_image(cputype=macho.CPU_TYPE_ARM64))
    assert all_faults(arm, "arm64") == []


def test_a_dylib_is_not_taken_for_a_bundle():
    image = macho.parse(make_image(filetype=macho.MH_DYLIB))
    assert file_type_faults(image, "x86_64") == ["file type 6, not MH_BUNDLE (8)"]


def test_the_wrong_architecture_and_a_newer_system_are_caught():
    image = macho.parse(make_image(cputype=macho.CPU_TYPE_ARM64, minos=0x0E0000))
    faults = file_type_faults(image, "x86_64")
    assert faults[0] == "CPU type 0x100000c, not x86_64's 0x1000007"
    assert "14.0.0" in faults[1]
    assert file_type_faults(macho.parse(make_image(flags=0)), "x86_64") == ["not a two-level namespace image"]


def test_an_extra_export_is_caught_in_the_table_and_in_the_trie():
    # What zig's own link leaves: the dylib header symbols beside ours.
    extra = EXPORTS | {"___dso_handle", "__mh_dylib_header"}
    faults = export_faults(macho.parse(make_image(exports=extra)))
    assert len(faults) == 2
    assert "___dso_handle" in faults[0] and "___dso_handle" in faults[1]


def test_a_missing_export_is_caught():
    faults = export_faults(macho.parse(make_image(exports={"_PyInit_main"})))
    assert faults == ["symbol table exports ['_PyInit_main']", "export trie has ['_PyInit_main']"]


def test_the_trie_is_checked_apart_from_the_symbol_table():
    faults = export_faults(macho.parse(make_image(trie_names={"_PyInit_main", "_other"})))
    assert faults == ["export trie has ['_PyInit_main', '_other']"]


def test_a_shared_prefix_in_the_trie_is_followed():
    # "_" then "PyInit_main" or "module_is_main_main", as ld lays them out.
    def terminal(address):
        info = uleb(0) + uleb(address)
        return uleb(len(info)) + info + b"\0"
    leaf_a, leaf_b = terminal(0xA30), terminal(0x8930)
    middle_size = 2 + len(b"PyInit_main\0") + 1 + len(b"module_is_main_main\0") + 1
    root = b"\0\x01_\0" + bytes([5])              # the middle node follows at 5
    a_off = 4 + 1 + middle_size
    b_off = a_off + len(leaf_a)
    middle = (b"\0\x02" + b"PyInit_main\0" + bytes([a_off]) + b"module_is_main_main\0" + bytes([b_off]))
    assert len(middle) == middle_size
    trie = root + middle + leaf_a + leaf_b
    assert macho.read_trie(trie) == {"_PyInit_main": (0, 0xA30), "_module_is_main_main": (0, 0x8930)}


def test_a_looping_trie_is_refused():
    with pytest.raises(macho.MachOError):
        macho.read_trie(b"\0\x01_\0\x00")          # the one edge leads back to the root


def test_a_c_runtime_symbol_left_to_the_process_is_caught():
    image = macho.parse(make_image(undefined=(("_PyModuleDef_Init", 0xFE), ("__Znwm", 0xFE))))
    assert import_faults(image) == ["__Znwm is left to the process, but is not the interpreter's"]


def test_an_interpreter_symbol_bound_to_libsystem_and_a_second_library_are_caught():
    image = macho.parse(make_image(undefined=(("_PyModuleDef_Init", 1), ("_memcpy", 2)),
                                   dylibs=(LIBSYSTEM, "/usr/lib/libc++.1.dylib")))
    assert import_faults(image) == [
        "loads ['/usr/lib/libSystem.B.dylib', '/usr/lib/libc++.1.dylib'], not libSystem alone",
        "_PyModuleDef_Init is bound to libSystem, not left to the interpreter",
        "_memcpy has library ordinal 2",
    ]


def test_an_unsigned_arm64_image_is_caught_and_x86_64_needs_no_signature():
    assert signature_faults(macho.parse(make_image(cputype=macho.CPU_TYPE_ARM64, signed=False)), "arm64") \
        == ["no code signature on arm64"]
    assert signature_faults(macho.parse(make_image(signed=False)), "x86_64") == []


def test_files_that_are_not_64_bit_mach_o_are_refused():
    with open("/bin/sh", "rb") as f:
        elf = f.read(4096)
    with pytest.raises(macho.MachOError, match="not a 64-bit"):
        macho.parse(elf)
    with pytest.raises(macho.MachOError, match="shorter"):
        macho.parse(b"\xcf\xfa\xed\xfe")
    truncated = make_image()[:200]
    with pytest.raises(macho.MachOError, match="past the end"):
        macho.parse(truncated)
