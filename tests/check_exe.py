"""Checks a built program from its PE headers: it imports exactly the DLLs
named (when any are), no section is both writable and executable, and it
asks Windows for the exploit mitigations: ASLR with 64-bit entropy
(DYNAMIC_BASE and HIGH_ENTROPY_VA, with the relocations that ASLR needs)
and DEP (NX_COMPAT).

    check_exe.py PROGRAM [DLL...]
"""
import struct
import sys
from pathlib import Path

from chatpipe_release import pe

IMAGE_SCN_MEM_EXECUTE = 0x20000000
IMAGE_SCN_MEM_WRITE = 0x80000000
MITIGATIONS = {"HIGH_ENTROPY_VA": 0x0020, "DYNAMIC_BASE": 0x0040, "NX_COMPAT": 0x0100}


def read_pe(path):
    data = open(path, "rb").read()
    optional = pe.optional_header(data)
    section_count, optional_size = struct.unpack_from("<H12xH", data, optional - 18)
    dll_characteristics = struct.unpack_from("<H", data, optional + 70)[0]
    relocations_size = pe.directory(data, pe.BASE_RELOCATION_TABLE)[1]
    sections = []
    for index in range(section_count):
        entry = optional + optional_size + 40 * index
        name = data[entry:entry + 8].rstrip(b"\0").decode()
        size, address, _, offset = struct.unpack_from("<4I", data, entry + 8)
        flags = struct.unpack_from("<I", data, entry + 36)[0]
        sections.append((name, address, size, offset, flags))

    def at(rva):  # file offset of a relative virtual address
        for _, address, size, offset, _ in sections:
            if address <= rva < address + size:
                return rva - address + offset
        raise ValueError(f"no section holds {rva:#x}")

    imports = []
    table = pe.directory(data, pe.IMPORT_TABLE)[0]
    entry = at(table) if table else None
    while entry is not None and any(data[entry:entry + 20]):
        name_rva = struct.unpack_from("<I", data, entry + 12)[0]
        name = data[at(name_rva):].split(b"\0", 1)[0].decode()
        imports.append(name.upper())
        entry += 20
    mitigations = [name for name, flag in MITIGATIONS.items() if dll_characteristics & flag]
    if relocations_size == 0 and "DYNAMIC_BASE" in mitigations:
        mitigations.remove("DYNAMIC_BASE")  # asked for, but nothing to move the image with
    return imports, sections, mitigations


def main():
    program, *expected = sys.argv[1:]
    imports, sections, mitigations = read_pe(program)
    failures = [f"no {name}" for name in MITIGATIONS if name not in mitigations]
    if expected and sorted(imports) != sorted(name.upper() for name in expected):
        failures.append(f"imports {', '.join(imports)}; expected exactly {', '.join(expected)}")
    for name, _, _, _, flags in sections:
        if flags & IMAGE_SCN_MEM_WRITE and flags & IMAGE_SCN_MEM_EXECUTE:
            failures.append(f"section {name} is writable and executable")
    modes = [name + (" (w" if flags & IMAGE_SCN_MEM_WRITE else " (-") + ("x)" if flags & IMAGE_SCN_MEM_EXECUTE else "-)")
             for name, _, _, _, flags in sections]
    print(f"{program}: imports {', '.join(imports)}; sections {', '.join(modes)}; {', '.join(mitigations)}")
    for failure in failures:
        print("FAILED:", failure)
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
