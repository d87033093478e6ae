#!/usr/bin/env python3
"""The bytes a full update puts on the wire, for each radio type, compared
with recorded ones: `vkt --simulate --trace FILE update --yes` of the demo
package, unpaced, against a fresh simulated radio of type 0, 1 and 2. A
change to how requests are built, sent or judged shows up here as the first
record that differs. With --record the files in the data folder are written
afresh instead (for a change to the traffic that is meant).

The trace is condensed before it is compared: time stamps go, the cable
monitor's polling (COUNT, DESCRIBE) goes, since it depends on timing, and
every write or read of more than 16 bytes becomes one record with its
length, its first 16 bytes and a CRC-32 of all of its bytes."""

import argparse
import difflib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import zlib

# Radio type and the update's extra options. A type 0 radio has no place for
# a user-defined voice, so the demo package can update it only without
# keeping the personality.
RUNS = [(0, ["--no-keep-personality"]), (1, []), (2, [])]

STAMP = re.compile(r"^\[ *[0-9.]+\] ")
BYTES = re.compile(r"^(TX|RX) (\d+) \+([0-9A-F]{4}): ?(.*)$")


def condense(trace_text):
    """The trace as records, one a line, without time stamps."""
    out = []
    current = None  # [direction, rate, bytes]

    def flush():
        nonlocal current
        if current is None:
            return
        direction, rate, data = current
        head = " ".join(f"{b:02X}" for b in data[:16])
        if len(data) <= 16:
            out.append(f"{direction} {rate}: {head}")
        else:
            out.append(f"{direction} {rate} {len(data)} bytes: {head} ... "
                       f"crc {zlib.crc32(bytes(data)):08X}")
        current = None

    for line in trace_text.splitlines():
        line = STAMP.sub("", line)
        if line.startswith(("COUNT ", "DESCRIBE ")):
            continue
        m = BYTES.match(line)
        if m:
            direction, rate, offset = m.group(1), m.group(2), int(m.group(3), 16)
            data = [int(x, 16) for x in m.group(4).split()]
            if offset == 0 or current is None or current[0] != direction:
                flush()
                current = [direction, rate, []]
            current[2].extend(data)
            continue
        flush()
        out.append(line)
    flush()
    return "\n".join(out) + "\n"


def run_update(args, radio_type, extra, work):
    data_dir = os.path.join(work, f"data{radio_type}")
    shutil.copytree(args.data, data_dir)
    trace = os.path.join(work, f"trace{radio_type}.txt")
    runtime = os.path.join(work, f"run{radio_type}")
    os.mkdir(runtime, 0o700)
    env = {k: v for k, v in os.environ.items() if not k.startswith("VKT_")}
    env.update(XDG_RUNTIME_DIR=runtime, VKT_SIM_OPTIONS=f"--type {radio_type}")
    done = subprocess.run(
        [args.vkt, "--simulate", "--package", args.package, "--data-dir", data_dir,
         "--trace", trace, "update", "--yes"] + extra,
        env=env, stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=120)
    if done.returncode != 0:
        sys.exit(f"type {radio_type}: vkt update exited {done.returncode}\n{done.stderr}")
    with open(trace, encoding="utf-8") as f:
        return condense(f.read())


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--vkt", required=True)
    parser.add_argument("--package", required=True, help="the demo package folder")
    parser.add_argument("--data", required=True, help="the demo data folder")
    parser.add_argument("--expected", required=True, help="folder of the recorded frames")
    parser.add_argument("--record", action="store_true", help="write the recorded frames")
    args = parser.parse_args()

    failed = False
    with tempfile.TemporaryDirectory(prefix="vkt-frames-") as work:
        for radio_type, extra in RUNS:
            frames = run_update(args, radio_type, extra, work)
            path = os.path.join(args.expected, f"update-frames-type{radio_type}.txt")
            if args.record:
                with open(path, "w", encoding="utf-8") as f:
                    f.write(frames)
                print(f"type {radio_type}: {frames.count(chr(10))} records written to {path}")
                continue
            with open(path, encoding="utf-8") as f:
                expected = f.read()
            if frames != expected:
                failed = True
                diff = difflib.unified_diff(expected.splitlines(), frames.splitlines(),
                                            "recorded", "this run", n=2, lineterm="")
                print(f"type {radio_type}: the frames differ from {path}:")
                for n, line in enumerate(diff):
                    if n == 40:
                        print("...")
                        break
                    print(line)
            else:
                print(f"type {radio_type}: {frames.count(chr(10))} records as recorded")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
