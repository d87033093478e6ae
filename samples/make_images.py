#!/usr/bin/env python3
"""Generates the demo package's images: a firmware image that passes the
firmware check, and codeplug streams (S-record text) for the default blocks
and the voice prompts.

    make_images.py firmware OUT.bin
    make_images.py srec ADDRESS LENGTH LABEL OUT.srec [VERSION]

The firmware image carries its version R01.02.04 at bytes 2..5 (a letter and
three numbers); with VERSION (like R01.02.04) the codeplug stream starts with
those four bytes, so a radio can tell the version of what was written.
"""
import struct
import sys


def firmware(out_path):
    """Marker 0x09AA, a 32-bit value (the version: 'R', 1, 2, 4), a table of
    32-bit entries, sections."""
    body = bytearray()
    sections = 7
    table = [0x00010000 + i * 0x2002 for i in range(sections)]
    body += struct.pack(">H4sH", 0x09AA, version_bytes("R01.02.04"), len(table))
    for entry in table:
        body += struct.pack(">I", entry)
    label = b"VKT DEMO FIRMWARE R01.02.04 "
    for s in range(sections):
        length = 0x0FFE  # W = L + 2 = 0x1000 words: 0x2000 data bytes
        words = length + 2
        if words % 4:
            words += 4 - words % 4
        data = bytearray((label * (2 * words // len(label) + 1))[: 2 * words])
        data[-1] = s
        body += struct.pack(">H", length) + data
    body += b"\x00\x00"  # a filler, so the last section ends before the image does
    with open(out_path, "wb") as f:
        f.write(body)


def version_bytes(text):
    """'R01.02.04' -> b'R\x01\x02\x04'."""
    letter, numbers = text[0], text[1:].split(".")
    return letter.encode("ascii") + bytes(int(n) for n in numbers)


def srec(address, length, label, out_path, version=None):
    """S3 records covering [address, address + length) with recognisable bytes,
    starting with the four version bytes when a version is given."""
    text = (label + " ").encode("ascii")
    data = bytes(text[i % len(text)] for i in range(length))
    if version:
        data = (version_bytes(version) + data)[:length]
    lines = []
    header = b"VKT DEMO"
    lines.append(record("0", 2, 0, header))
    for offset in range(0, length, 32):
        lines.append(record("3", 4, address + offset, data[offset:offset + 32]))
    lines.append(record("7", 4, address, b""))
    with open(out_path, "w", newline="\n") as f:
        f.write("\n".join(lines) + "\n")


def record(kind, address_bytes, address, data):
    body = address.to_bytes(address_bytes, "big") + data
    count = len(body) + 1
    checksum = (~(count + sum(body))) & 0xFF
    return "S" + kind + ("%02X" % count) + body.hex().upper() + ("%02X" % checksum)


def main(argv):
    if len(argv) == 3 and argv[1] == "firmware":
        firmware(argv[2])
    elif len(argv) in (6, 7) and argv[1] == "srec":
        srec(int(argv[2], 16), int(argv[3], 16), argv[4], argv[5], *argv[6:])
    else:
        sys.stderr.write(__doc__)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
