#!/usr/bin/env python3
"""Verifies the embedded code signature of a Mach-O slice without a Mac:
finds LC_CODE_SIGNATURE, reads its SuperBlob and every CodeDirectory in it,
and recomputes each page hash over the file up to the directory's code limit,
and the hashes of the blobs that special slots name.

    scripts/check-macho-signature.py BINARY [ARCH]

ARCH (arm64, x86_64) picks a slice of a universal binary, and must match a
thin one. Prints what it verified; exits 1 with the reason otherwise. What
it cannot check: a CMS signature (only its absence, for ad-hoc ones).
"""
import hashlib
import struct
import sys

FAT_MAGIC, FAT_MAGIC_64 = 0xCAFEBABE, 0xCAFEBABF
MH_MAGIC_64 = 0xFEEDFACF
LC_SEGMENT_64, LC_CODE_SIGNATURE = 0x19, 0x1D
CPU_TYPES = {0x0100000C: "arm64", 0x01000007: "x86_64"}
SUPERBLOB_MAGIC, CODEDIRECTORY_MAGIC = 0xFADE0CC0, 0xFADE0C02
CMS_WRAPPER_MAGIC = 0xFADE0B01
CODEDIRECTORY_SLOT, ALTERNATE_SLOTS, SIGNATURE_SLOT = 0, range(0x1000, 0x1005), 0x10000
HASHES = {1: ("sha1", 20), 2: ("sha256", 32), 3: ("sha256", 20), 4: ("sha384", 48)}
FLAG_NAMES = {0x2: "ad-hoc", 0x20000: "linker-signed", 0x10000: "hardened runtime"}


class Invalid(Exception):
    pass


def slices(data):
    """(architecture, bytes) of each slice, thin or universal."""
    magic = struct.unpack_from(">I", data)[0]
    if magic in (FAT_MAGIC, FAT_MAGIC_64):
        count = struct.unpack_from(">I", data, 4)[0]
        entry, size = (">iiIII", 20) if magic == FAT_MAGIC else (">iiQQI4x", 32)
        for index in range(count):
            cpu, _, offset, length, _ = struct.unpack_from(entry, data, 8 + index * size)
            yield CPU_TYPES.get(cpu & 0xFFFFFFFF, hex(cpu)), data[offset:offset + length]
    elif struct.unpack_from("<I", data)[0] == MH_MAGIC_64:
        cpu = struct.unpack_from("<I", data, 4)[0]
        yield CPU_TYPES.get(cpu, hex(cpu)), data
    else:
        raise Invalid("not a 64-bit Mach-O file")


def signature_range(macho):
    """(offset, size) of the signature, checked to end the __LINKEDIT segment's data."""
    count = struct.unpack_from("<I", macho, 16)[0]
    offset, signature, linkedit = 32, None, None
    for _ in range(count):
        command, size = struct.unpack_from("<II", macho, offset)
        if command == LC_CODE_SIGNATURE:
            signature = struct.unpack_from("<II", macho, offset + 8)
        elif command == LC_SEGMENT_64 and macho[offset + 8:offset + 24].rstrip(b"\0") == b"__LINKEDIT":
            linkedit = struct.unpack_from("<QQ", macho, offset + 40)
        offset += size
    if signature is None:
        raise Invalid("no LC_CODE_SIGNATURE: the slice is not signed")
    start, size = signature
    if linkedit is None or not (linkedit[0] <= start and start + size <= sum(linkedit) <= len(macho)):
        raise Invalid(f"the signature ({start}+{size}) is not inside __LINKEDIT of a {len(macho)}-byte slice")
    return start, size


def blobs(superblob):
    magic, length, count = struct.unpack_from(">III", superblob)
    if magic != SUPERBLOB_MAGIC or length > len(superblob):
        raise Invalid(f"no embedded-signature SuperBlob (magic {magic:#x}, length {length})")
    found = {}
    for index in range(count):
        kind, offset = struct.unpack_from(">II", superblob, 12 + index * 8)
        blob_length = struct.unpack_from(">I", superblob, offset + 4)[0]
        if offset + blob_length > length:
            raise Invalid(f"blob {kind:#x} runs past the SuperBlob")
        found[kind] = superblob[offset:offset + blob_length]
    return found


def verify_code_directory(directory, macho, found, signature_start):
    (magic, _, version, flags, hash_offset, ident_offset, special_slots, code_slots, code_limit,
     hash_size, hash_type, _, page_shift) = struct.unpack_from(">9I4B", directory)
    if magic != CODEDIRECTORY_MAGIC:
        raise Invalid(f"a CodeDirectory slot holds magic {magic:#x}")
    if version >= 0x20300:
        code_limit = struct.unpack_from(">Q", directory, 56)[0] or code_limit
    algorithm, size = HASHES.get(hash_type, (None, None))
    if algorithm is None or size != hash_size:
        raise Invalid(f"unknown hash type {hash_type} of size {hash_size}")
    if code_limit != signature_start:
        raise Invalid(f"the code limit {code_limit} is not where the signature starts ({signature_start})")
    page = 1 << page_shift if page_shift else code_limit
    if code_slots != -(-code_limit // page):
        raise Invalid(f"{code_slots} page hashes for {code_limit} bytes in pages of {page}")

    def digest(data):
        return hashlib.new(algorithm, data).digest()[:hash_size]

    for index in range(code_slots):
        stored = directory[hash_offset + index * hash_size:hash_offset + (index + 1) * hash_size]
        if digest(macho[index * page:min((index + 1) * page, code_limit)]) != stored:
            raise Invalid(f"page {index} (bytes {index * page} to {min((index + 1) * page, code_limit)}) "
                          "does not match its hash")
    for slot in range(1, special_slots + 1):
        stored = directory[hash_offset - slot * hash_size:hash_offset - (slot - 1) * hash_size]
        expected = digest(found[slot]) if slot in found else bytes(hash_size)
        if stored != expected:
            raise Invalid(f"special slot {slot} does not match " + ("its blob" if slot in found else "an absent one"))
    identifier = directory[ident_offset:directory.index(b"\0", ident_offset)].decode()
    names = [name for bit, name in FLAG_NAMES.items() if flags & bit]
    return (f"{identifier}, {algorithm} over {code_slots} pages of {page} bytes"
            f"{', ' + ', '.join(names) if names else ''}")


def verify(macho):
    start, size = signature_range(macho)
    found = blobs(macho[start:start + size])
    directories = [found[kind] for kind in [CODEDIRECTORY_SLOT, *ALTERNATE_SLOTS] if kind in found]
    if not directories:
        raise Invalid("the signature holds no CodeDirectory")
    results = [verify_code_directory(directory, macho, found, start) for directory in directories]
    cms = found.get(SIGNATURE_SLOT)
    if cms is not None and (struct.unpack_from(">I", cms)[0] != CMS_WRAPPER_MAGIC or len(cms) > 8):
        results.append("a CMS signature, not verified here")
    return "; ".join(results)


def main(argv):
    if len(argv) not in (2, 3):
        print(__doc__.strip(), file=sys.stderr)
        return 2
    path, wanted = argv[1], argv[2] if len(argv) == 3 else None
    with open(path, "rb") as file:
        data = file.read()
    try:
        chosen = [(arch, macho) for arch, macho in slices(data) if wanted in (None, arch)]
        if len(chosen) != 1:
            raise Invalid(f"no single slice for {wanted or 'any architecture'}: name one of "
                          + ", ".join(arch for arch, _ in slices(data)))
        arch, macho = chosen[0]
        print(f"check-macho-signature: {path} ({arch}) verifies: {verify(macho)}")
        return 0
    except (Invalid, struct.error, ValueError) as error:
        print(f"check-macho-signature: {path}{' (' + wanted + ')' if wanted else ''}: {error}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
