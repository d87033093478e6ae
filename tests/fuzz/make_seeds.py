#!/usr/bin/env python3
"""Writes the fuzz targets' seed corpora into CORPUS/<target>/ from the
sample sources and the demo package a fuzz build tree made.

    make_seeds.py SOURCE_DIR BUILD_DIR CORPUS_DIR
"""
import pathlib
import sys


def checksum(data):
    return (255 - (sum(data) & 0xFF)) & 0xFF


def frame(opcode, data):
    if len(data) + 1 <= 14:
        head = bytes([0xF0 + len(data) + 1, opcode])
    else:
        n = len(data) + 1
        head = bytes([0xFF, opcode, n >> 8, n & 0xFF])
    body = head + bytes(data)
    return body + bytes([checksum(body)])


def sbep_seeds():
    """Each request answered by an acknowledge and a plausible reply frame."""
    replies = [
        frame(0x8C, [0x00]),
        frame(0x95, [0x00, 0x00]),
        frame(0x84, [0x00, 0x82, 0x00, 0x00]),
        frame(0x80, [0x00, 0x82, 0x00, 0x00] + list(range(64))),
        frame(0x80, [0x00, 0x82, 0x00, 0x00] + [0x5A] * 300),
        frame(0x8F, [0x01]),
        frame(0x83, list(b"R\x01\x02\x03")),
    ]
    seeds = {}
    for which in range(14):
        for n, reply in enumerate(replies):
            for flags in (0, 1):
                chunk = bytes([0x50]) + reply
                # Two chunks: the request itself and a retry or the next
                # exchange of the same request.
                n = len(chunk).to_bytes(2, "big")
                seed = bytes([0, which, flags]) + n + chunk + n + chunk
                seeds[f"req{which:02d}-r{n}-f{flags}"] = seed
    return seeds


def main():
    source, build, corpus = (pathlib.Path(a) for a in sys.argv[1:4])
    data = build / "data"
    gen = build / "samples"
    seeds = {name: {} for name in
             ("fuzz_ftf", "fuzz_flash", "fuzz_address_map", "fuzz_stream", "fuzz_config",
              "fuzz_setup", "fuzz_sbep", "fuzz_console")}
    address_map = (source / "samples/address_map.txt").read_bytes()
    for ftf in sorted(data.glob("*.ftf")):
        raw = ftf.read_bytes()
        if len(raw) <= 64 * 1024:  # the firmware file would slow every run down
            seeds["fuzz_ftf"][ftf.stem] = b"\x01" + raw
            seeds["fuzz_ftf"][ftf.stem + "-nofix"] = b"\x00" + raw
        seeds["fuzz_ftf"][ftf.stem + "-head"] = b"\x01" + raw[:512]
    firmware = gen / "firmware.bin"
    if firmware.exists():
        seeds["fuzz_flash"]["firmware"] = firmware.read_bytes()
        seeds["fuzz_flash"]["firmware-head"] = firmware.read_bytes()[:4096]
    seeds["fuzz_address_map"]["demo"] = address_map
    for srec in sorted(gen.glob("*.srec")):
        text = srec.read_bytes()[:8192]
        seeds["fuzz_stream"][srec.stem] = text
        seeds["fuzz_stream"][srec.stem + "-mapped"] = address_map + b"\0" + text
    seeds["fuzz_config"]["demo"] = (source / "samples/config.xml").read_bytes()
    seeds["fuzz_setup"]["demo"] = (source / "samples/setup.xml").read_bytes()
    seeds["fuzz_sbep"] = sbep_seeds()
    seeds["fuzz_console"] = {
        "session": b"WM_TOOL_UPDATE_START 0 2056\nVKT_TOOL_RAISE 0 0\n",
        "split": b"WM_TOOL_UPDATE_START 18446744073709551615 -9223372036854775808\nWM_",
        "bad": b"WM_TOOL_UPDATE_START  0 1\r\n",
    }
    for target, files in seeds.items():
        folder = corpus / target
        folder.mkdir(parents=True, exist_ok=True)
        for name, content in files.items():
            (folder / f"seed-{name}").write_bytes(content)


if __name__ == "__main__":
    main()
