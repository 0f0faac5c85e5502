"""Where things lie in a PE program's headers: the one place that reads
them, for the download check, the signing test and the program check."""
import struct

IMPORT_TABLE, CERTIFICATE_TABLE, BASE_RELOCATION_TABLE = 1, 4, 5  # data directory indices


def optional_header(program):
    """The file offset of the optional header."""
    header = struct.unpack_from("<I", program, 0x3C)[0]
    if program[header:header + 4] != b"PE\0\0":
        raise ValueError("not a PE file")
    return header + 24


def checksum_offset(program):
    return optional_header(program) + 64


def directory_entry(program, index):
    """The file offset of data directory `index` (address, size)."""
    optional = optional_header(program)
    magic = struct.unpack_from("<H", program, optional)[0]
    return optional + (112 if magic == 0x20B else 96) + 8 * index


def directory(program, index):
    """(address, size) of data directory `index`; the certificate table's
    address is a file offset, the others' relative virtual addresses."""
    return struct.unpack_from("<II", program, directory_entry(program, index))


def sections(program):
    """(name, address, size, file offset, flags) of each section."""
    optional = optional_header(program)
    count, optional_size = struct.unpack_from("<H12xH", program, optional - 18)
    table, found = optional + optional_size, []
    for entry in range(table, table + 40 * count, 40):
        size, address, _, offset = struct.unpack_from("<4I", program, entry + 8)
        flags = struct.unpack_from("<I", program, entry + 36)[0]
        found.append((program[entry:entry + 8].rstrip(b"\0").decode(), address, size, offset, flags))
    return found


def imported_dlls(program):
    """The names of the DLLs that the import table names, in its order."""
    def at(rva):  # the file offset of a relative virtual address
        for _, address, size, offset, _ in sections(program):
            if address <= rva < address + size:
                return rva - address + offset
        raise ValueError(f"no section holds {rva:#x}")
    table, names = directory(program, IMPORT_TABLE)[0], []
    entry = at(table) if table else None
    while entry is not None and any(program[entry:entry + 20]):
        names.append(program[at(struct.unpack_from("<I", program, entry + 12)[0]):].split(b"\0", 1)[0].decode())
        entry += 20
    return names


def dll_characteristics(program):
    return struct.unpack_from("<H", program, optional_header(program) + 70)[0]


def checksum(program):
    """The PE checksum of the whole file, its own field left out: 16-bit
    words summed with end-around carry, plus the file's length."""
    at = checksum_offset(program)
    data = bytes(program[:at]) + bytes(program[at + 4:]) + b"\0" * (len(program) % 2)
    total = sum(struct.unpack(f"<{len(data) // 2}H", data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return (total + len(program)) & 0xFFFFFFFF
