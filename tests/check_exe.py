"""Checks a built program from its PE headers: it imports exactly the DLLs
named (when any are), no section is both writable and executable, and it
asks Windows for the exploit mitigations: ASLR with 64-bit entropy
(DYNAMIC_BASE and HIGH_ENTROPY_VA, with the relocations that ASLR needs)
and DEP (NX_COMPAT).

    check_exe.py PROGRAM [DLL...]
"""
import sys

from chatpipe_release import pe

IMAGE_SCN_MEM_EXECUTE = 0x20000000
IMAGE_SCN_MEM_WRITE = 0x80000000
MITIGATIONS = {"HIGH_ENTROPY_VA": 0x0020, "DYNAMIC_BASE": 0x0040, "NX_COMPAT": 0x0100}


def read_pe(path):
    data = open(path, "rb").read()
    mitigations = [name for name, flag in MITIGATIONS.items() if pe.dll_characteristics(data) & flag]
    if pe.directory(data, pe.BASE_RELOCATION_TABLE)[1] == 0 and "DYNAMIC_BASE" in mitigations:
        mitigations.remove("DYNAMIC_BASE")  # asked for, but nothing to move the image with
    return [name.upper() for name in pe.imported_dlls(data)], pe.sections(data), mitigations


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
