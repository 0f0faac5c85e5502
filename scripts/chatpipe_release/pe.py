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


def checksum(program):
    """The PE checksum of the whole file, its own field left out: 16-bit
    words summed with end-around carry, plus the file's length."""
    at = checksum_offset(program)
    data = bytes(program[:at]) + bytes(program[at + 4:]) + b"\0" * (len(program) % 2)
    total = sum(struct.unpack(f"<{len(data) // 2}H", data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return (total + len(program)) & 0xFFFFFFFF
