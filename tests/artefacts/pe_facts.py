#!/usr/bin/env python3
"""Facts about a PE32+ image that objdump does not print, one "key value" a
line, for tests/artefacts/check_sys.sh:

  checksum STORED COMPUTED     the optional header's CheckSum and the PE
                               checksum of the file (the loader of a boot
                               driver checks it)
  nx 0|1                       DllCharacteristics has NX_COMPAT (0x100)
  writable-code NAME           a section both writable and executable (one line each)
  init-pointer RVA TARGET      a DIR64 relocated slot that points into INIT
                               (one line each); TARGET is the RVA it points at
  entry RVA                    AddressOfEntryPoint
  handler RVA                  a function (by its .pdata entry) whose unwind
                               information names an exception or termination
                               handler (one line each)

Usage: pe_facts.py IMAGE
"""
import struct
import sys


def checksum(data, field):
    total = 0
    padded = data + b"\0" * (len(data) % 2)
    for i in range(0, len(padded), 2):
        if field <= i < field + 4:
            continue
        total += struct.unpack_from("<H", padded, i)[0]
        total = (total & 0xFFFF) + (total >> 16)
    total = (total & 0xFFFF) + (total >> 16)
    return (total + len(data)) & 0xFFFFFFFF


def main():
    data = open(sys.argv[1], "rb").read()
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    count = struct.unpack_from("<H", data, pe + 6)[0]
    optional_size = struct.unpack_from("<H", data, pe + 20)[0]
    optional = pe + 24
    entry = struct.unpack_from("<I", data, optional + 16)[0]
    image_base = struct.unpack_from("<Q", data, optional + 24)[0]
    stored = struct.unpack_from("<I", data, optional + 64)[0]
    dll_characteristics = struct.unpack_from("<H", data, optional + 70)[0]
    reloc_rva, reloc_size = struct.unpack_from("<II", data, optional + 112 + 5 * 8)
    print("checksum %08x %08x" % (stored, checksum(data, optional + 64)))
    print("nx %d" % (1 if dll_characteristics & 0x100 else 0))
    print("entry %x" % entry)
    sections = []
    table = optional + optional_size
    for i in range(count):
        name, vsize, rva, rawsize, rawptr = struct.unpack_from("<8sIIII", data, table + 40 * i)
        flags = struct.unpack_from("<I", data, table + 40 * i + 36)[0]
        name = name.rstrip(b"\0").decode("ascii", "replace")
        sections.append((name, rva, max(vsize, 1), rawptr, rawsize))
        if flags & 0x20000000 and flags & 0x80000000:
            print("writable-code %s" % name)

    def file_offset(rva):
        for name, start, size, rawptr, rawsize in sections:
            if start <= rva < start + size and rva - start < rawsize:
                return rawptr + rva - start
        return None

    exception_rva, exception_size = struct.unpack_from("<II", data, optional + 112 + 3 * 8)
    table_at = file_offset(exception_rva) if exception_size else None
    for k in range(exception_size // 12 if table_at is not None else 0):
        begin, _, unwind = struct.unpack_from("<III", data, table_at + 12 * k)
        info = file_offset(unwind)
        if info is not None and (data[info] >> 3) & 0x3:
            print("handler %x" % begin)

    init = [(s[1], s[1] + s[2]) for s in sections if s[0] == "INIT"]
    at = file_offset(reloc_rva) if reloc_size else None
    end = at + reloc_size if at is not None else 0
    while at is not None and at + 8 <= end:
        page, block = struct.unpack_from("<II", data, at)
        if block < 8:
            break
        for k in range(at + 8, at + block, 2):
            entry_word = struct.unpack_from("<H", data, k)[0]
            if entry_word >> 12 != 10:
                continue
            slot = page + (entry_word & 0xFFF)
            where = file_offset(slot)
            if where is None:
                continue
            target = struct.unpack_from("<Q", data, where)[0] - image_base
            if any(low <= target < high for low, high in init):
                print("init-pointer %x %x" % (slot, target))
        at += block


if __name__ == "__main__":
    main()
