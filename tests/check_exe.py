"""Checks a built chatpipe.exe from its PE headers: it imports exactly the
DLLs named, and no section is both writable and executable.

    check_exe.py PROGRAM DLL...
"""
import struct
import sys

IMAGE_SCN_MEM_EXECUTE = 0x20000000
IMAGE_SCN_MEM_WRITE = 0x80000000


def read_pe(path):
    data = open(path, "rb").read()
    header = struct.unpack_from("<I", data, 0x3C)[0]
    assert data[header:header + 4] == b"PE\0\0", "not a PE file"
    section_count, optional_size = struct.unpack_from("<H12xH", data, header + 6)
    optional = header + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    directories = optional + (112 if magic == 0x20B else 96)
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
    table = struct.unpack_from("<I", data, directories + 8)[0]  # the import directory
    entry = at(table) if table else None
    while entry is not None and any(data[entry:entry + 20]):
        name_rva = struct.unpack_from("<I", data, entry + 12)[0]
        name = data[at(name_rva):].split(b"\0", 1)[0].decode()
        imports.append(name.upper())
        entry += 20
    return imports, sections


def main():
    program, *expected = sys.argv[1:]
    imports, sections = read_pe(program)
    failures = []
    if sorted(imports) != sorted(name.upper() for name in expected):
        failures.append(f"imports {', '.join(imports)}; expected exactly {', '.join(expected)}")
    for name, _, _, _, flags in sections:
        if flags & IMAGE_SCN_MEM_WRITE and flags & IMAGE_SCN_MEM_EXECUTE:
            failures.append(f"section {name} is writable and executable")
    modes = [name + (" (w" if flags & IMAGE_SCN_MEM_WRITE else " (-") + ("x)" if flags & IMAGE_SCN_MEM_EXECUTE else "-)")
             for name, _, _, _, flags in sections]
    print(f"{program}: imports {', '.join(imports)}; sections {', '.join(modes)}")
    for failure in failures:
        print("FAILED:", failure)
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
