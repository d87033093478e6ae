#!/usr/bin/env python3
"""Builds the benchmark's large update package from the demo package: the
same configuration, address map and default blocks, with a firmware image that
fills the radio's firmware area (0x60000 bytes, the largest the tool sends) and
voice prompts that fill the
whole voice window (0x830000, 0xBD000 bytes).

    make_large_package.py VKT DEMO_PACKAGE_DIR OUT_DIR

The firmware and voice files keep the demo's internal names and versions, so
the demo radio (type 2, VK2150EMA01, R01.02.03) takes the package as one
version newer.
"""
import os
import shutil
import struct
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "samples"))
import make_images  # noqa: E402

VERSION = "R01.02.04"
VOICE_ADDRESS = 0x830000
VOICE_LENGTH = 0xBD000
SECTIONS = 3
SECTION_LENGTH = 0xFFF6  # W = L + 2 = 0xFFF8 words: 0x1FFF0 data bytes a section


def large_firmware(out_path):
    """Marker, version, a 3-entry table and 3 sections of 0x1FFF0 bytes:
    393 196 bytes, just below the 0x60000-byte firmware area."""
    body = bytearray()
    table = [0x00010000 + i * 0x20000 for i in range(SECTIONS)]
    body += struct.pack(">H4sH", 0x09AA, make_images.version_bytes(VERSION), len(table))
    for entry in table:
        body += struct.pack(">I", entry)
    label = b"VKT BENCH FIRMWARE R01.02.04 "
    words = SECTION_LENGTH + 2
    for s in range(SECTIONS):
        data = bytearray((label * (2 * words // len(label) + 1))[: 2 * words])
        data[-1] = s
        body += struct.pack(">H", SECTION_LENGTH) + data
    body += b"\x00\x00"
    with open(out_path, "wb") as f:
        f.write(body)


def pack(vkt, args):
    subprocess.run([vkt, "ftf", "pack"] + args, check=True, stdout=subprocess.DEVNULL)


def main(argv):
    if len(argv) != 4:
        sys.stderr.write(__doc__)
        return 2
    vkt, demo, out = argv[1:]
    os.makedirs(out, exist_ok=True)
    for name in os.listdir(demo):
        if name.endswith(".ftf") or name == "config.xml":
            shutil.copy(os.path.join(demo, name), os.path.join(out, name))
    work = os.path.join(out, "sources")
    os.makedirs(work, exist_ok=True)
    firmware = os.path.join(work, "firmware.bin")
    voice = os.path.join(work, "voice.srec")
    large_firmware(firmware)
    make_images.srec(VOICE_ADDRESS, VOICE_LENGTH, "VKT BENCH VOICE PROMPTS", voice)
    pack(vkt, ["--type", "3", "--name", "VKT_FW_EMEA", "--version", VERSION, "--region", "EMEA",
               firmware, os.path.join(out, "pkg001.ftf")])
    pack(vkt, ["--type", "1", "--name", "VOICE_" + VERSION, "--version", VERSION, voice,
               os.path.join(out, "pkg003.ftf")])
    shutil.rmtree(work)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
