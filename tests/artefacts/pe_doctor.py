#!/usr/bin/env python3
"""Makes a doctored copy of a PE32+ image for check_sys_self_test.sh: one
edit, then the PE checksum recomputed (except for the checksum edit), so
exactly the check that guards against the edit fails.

Usage: pe_doctor.py IN OUT EDIT
  checksum                     store a wrong checksum
  writable-text                mark .text writable
  no-nx                        clear NX_COMPAT
  rename-import:OLD:NEW        rename an imported routine (same length)
  mov-cr0:SYMBOL               put mov %cr0,%rax at a function's start
  eh-flag                      flag the first .xdata unwind entry EHANDLER
"""
import struct
import subprocess
import sys

sys.path.insert(0, __file__.rsplit("/", 1)[0])
from pe_facts import checksum  # noqa: E402


def sections(data):
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    count = struct.unpack_from("<H", data, pe + 6)[0]
    table = pe + 24 + struct.unpack_from("<H", data, pe + 20)[0]
    for i in range(count):
        name, vsize, rva, rawsize, rawptr = struct.unpack_from("<8sIIII", data, table + 40 * i)
        yield name.rstrip(b"\0").decode(), rva, rawptr, table + 40 * i


def main():
    source, target, edit = sys.argv[1:4]
    data = bytearray(open(source, "rb").read())
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    optional = pe + 24
    base = struct.unpack_from("<Q", data, optional + 24)[0]
    if edit == "checksum":
        struct.pack_into("<I", data, optional + 64, struct.unpack_from("<I", data, optional + 64)[0] ^ 1)
    elif edit == "writable-text":
        for name, _, _, header in sections(data):
            if name == ".text":
                flags = struct.unpack_from("<I", data, header + 36)[0]
                struct.pack_into("<I", data, header + 36, flags | 0x80000000)
    elif edit == "no-nx":
        value = struct.unpack_from("<H", data, optional + 70)[0]
        struct.pack_into("<H", data, optional + 70, value & ~0x100)
    elif edit.startswith("rename-import:"):
        _, old, new = edit.split(":")
        at = data.find(old.encode() + b"\0")
        data[at:at + len(new)] = new.encode()
    elif edit.startswith("mov-cr0:"):
        symbol = edit.split(":")[1]
        listing = subprocess.run(["x86_64-w64-mingw32-nm", source], capture_output=True,
                                 text=True).stdout
        address = next(int(line.split()[0], 16) for line in listing.splitlines()
                       if len(line.split()) == 3 and symbol in line.split()[2])
        rva = address - base
        for name, start, rawptr, header in sections(data):
            if name == ".text":
                at = rawptr + rva - start
                data[at:at + 3] = b"\x0f\x20\xc0"
    elif edit == "eh-flag":
        for name, _, rawptr, _ in sections(data):
            if name == ".xdata":
                data[rawptr] = (data[rawptr] & 0x07) | (1 << 3)
    else:
        sys.exit("unknown edit " + edit)
    if edit != "checksum":
        struct.pack_into("<I", data, optional + 64, checksum(bytes(data), optional + 64))
    open(target, "wb").write(data)


if __name__ == "__main__":
    main()
