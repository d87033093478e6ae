#!/usr/bin/env python3
"""Every vkt command with --json, on success and on failure, run as a script
would run it: the object on stdout must validate against the schema, its
"ok" must match the exit code, and the error category must be the expected
one. The radio commands use the built-in simulated radio."""

import argparse
import fcntl
import glob
import json
import os
import shutil
import subprocess
import sys
import tempfile

import jsonschema


class Runner:
    def __init__(self, vkt, schema, work):
        self.vkt = vkt
        self.validator = jsonschema.Draft202012Validator(schema)
        self.failures = []
        self.env = {k: v for k, v in os.environ.items()
                    if not k.startswith("VKT_") and k != "XDG_RUNTIME_DIR"}
        runtime = os.path.join(work, "run")
        os.mkdir(runtime, 0o700)
        self.env["XDG_RUNTIME_DIR"] = runtime
        self.env["VKT_SIM_OPTIONS"] = ""
        self.runtime = runtime
        self.seen = set()

    def run(self, name, args, exit_code, category=None, env=None, lines=False):
        """Runs vkt with args; checks the exit code and every JSON object."""
        full_env = dict(self.env, **(env or {}))
        done = subprocess.run([self.vkt] + args, env=full_env, stdin=subprocess.DEVNULL,
                              capture_output=True, text=True, timeout=120)
        return self.check(name, done, exit_code, category, lines)

    def check(self, name, done, exit_code, category=None, lines=False):
        """Checks a finished vkt run's exit code and every JSON object; the
        first object."""
        args = done.args[1:]
        problems = []
        if done.returncode != exit_code:
            problems.append(f"exit code {done.returncode}, expected {exit_code}")
        out = done.stdout.splitlines()
        if not lines and len(out) != 1:
            problems.append(f"{len(out)} lines on stdout, expected one object")
        objects = []
        for line in out:
            try:
                objects.append(json.loads(line))
            except ValueError as e:
                problems.append(f"not JSON: {e}: {line!r}")
        for obj in objects:
            for error in self.validator.iter_errors(obj):
                problems.append(f"schema: {error.message} at {list(error.absolute_path)}")
            if obj.get("ok") != (exit_code == 0):
                problems.append(f"ok is {obj.get('ok')} with exit code {exit_code}")
            got = (obj.get("error") or {}).get("category")
            if got != category:
                problems.append(f"error category {got}, expected {category}")
            self.seen.add((obj.get("command"), obj.get("ok")))
        if not objects:
            problems.append("no JSON object")
        if problems:
            self.failures.append(
                f"{name}: vkt {' '.join(args)}\n  " + "\n  ".join(problems) +
                f"\n  stdout: {done.stdout.strip()}\n  stderr: {done.stderr.strip()}")
        return objects[0] if objects else {}


def copy_package_with_lost_files(package, target):
    """The demo package with its firmware and voice files and one default
    block gone: three files lost."""
    shutil.copytree(package, target)
    for name in ("pkg001.ftf", "pkg003.ftf", "pkg005.ftf"):
        os.remove(os.path.join(target, name))


def start_radio(radio_sim, link, serial, faults=()):
    """vkt-radio-sim at ten times the line rate on a pty linked to `link`."""
    args = [radio_sim, "--type", "2", "--model", "VK2150EMA01", "--serial", serial,
            "--firmware", "R01.02.03", "--codeplug", "R01.02.03", "--pace", "10",
            "--link", link]
    for fault in faults:
        args += ["--fault", fault]
    radio = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    radio.stdout.readline()  # the pty's path: the radio is ready
    return radio


def check_fleet(r, o, work):
    """Three radios on three ptys updated in parallel, the second pulled off
    its cable half-way: the other two are updated, the summary and the JSON
    name the failed one and its backup, every run is in the journal, and the
    fleet exits with 1. Before that, a fleet update with --verify that is
    not confirmed: its plan says the flash is read back."""
    data = os.path.join(work, "fleet-data")
    shutil.copytree(o.data, data)
    links = [os.path.join(work, f"radio{i}") for i in range(3)]
    radios = [start_radio(o.radio_sim, link, f"123ABC001{i}",
                          ("pull@r100",) if i == 1 else ()) for i, link in enumerate(links)]
    try:
        env = {"VKT_TTY_PORTS": ";".join(f"{link}=QX CPS Cable" for link in links)}
        fleet = ["--backend", "tty", "--package", o.package, "--data-dir", data, "fleet"]
        info = r.run("fleet info", fleet + ["info", "--json"], 0, env=env)
        if [x.get("serial_number") for x in info.get("radios", [])] != \
                ["123ABC0010", "123ABC0011", "123ABC0012"]:
            r.failures.append(f"fleet info: three radios expected, got {info}")
        full_env = dict(r.env, **env)
        # --verify, not confirmed: the plan of each radio says so, and so
        # does the JSON; nothing is written.
        declined = subprocess.run([r.vkt] + fleet + ["update", "--verify", "--json"],
                                  env=full_env, stdin=subprocess.DEVNULL, capture_output=True,
                                  text=True, timeout=60)
        plan = r.check("fleet update --verify, not confirmed", declined, 3, "DECLINED")
        if plan.get("verify") is not True or "flash read back" not in declined.stderr:
            r.failures.append(f"fleet update --verify: the plan does not say so:\n"
                              f"{declined.stderr}")
        done = subprocess.run([r.vkt] + fleet + ["update", "--yes", "--json"], env=full_env,
                              stdin=subprocess.DEVNULL, capture_output=True, text=True,
                              timeout=120)
        update = r.check("fleet update, one radio pulled", done, 1, "UPDATE")
        by_port = {x.get("port"): x for x in update.get("radios", [])}
        results = [by_port.get(link, {}).get("result") for link in links]
        if results != ["updated", "failed", "updated"]:
            r.failures.append(f"fleet update: results {results}\n  {done.stdout}")
        plans = [(by_port.get(link, {}).get("plan") or {}).get("personality") for link in links]
        if plans != ["kept"] * 3:
            r.failures.append(f"fleet update: each radio's plan keeps the personality: {plans}")
        failed = by_port.get(links[1], {})
        backup = failed.get("backup")
        if not backup or not os.path.isfile(backup) or not failed.get("needs_update"):
            r.failures.append(f"fleet update: the failed radio names no backup: {failed}")
        elif links[1] not in update.get("error", {}).get("messages", [""])[1]:
            r.failures.append(f"fleet update: the error does not name the failed radio")
        summary = done.stderr[done.stderr.find("These radios need"):]
        if links[1] not in summary or str(backup) not in summary or links[0] in summary:
            r.failures.append(f"fleet update: the summary does not name the failed radio and "
                              f"its backup alone:\n{done.stderr}")
        history = r.run("history after the fleet", ["--data-dir", data, "history", "--json"], 0)
        states = sorted(run.get("state") for run in history.get("runs", []))
        if states != ["failed", "succeeded", "succeeded"]:
            r.failures.append(f"fleet update: journal states {states}")
    finally:
        for radio in radios:
            radio.terminate()
            radio.wait(timeout=10)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--vkt", required=True)
    parser.add_argument("--schema", required=True)
    parser.add_argument("--package", required=True)
    parser.add_argument("--data", required=True)
    parser.add_argument("--radio-sim", required=True)
    o = parser.parse_args()
    with open(o.schema) as f:
        schema = json.load(f)
    jsonschema.Draft202012Validator.check_schema(schema)

    work = tempfile.mkdtemp(prefix="vkt-json-")
    try:
        data = os.path.join(work, "data")
        shutil.copytree(o.data, data)
        r = Runner(o.vkt, schema, work)
        sim = ["--simulate", "--data-dir", data]
        tty = ["--backend", "tty", "--package", o.package, "--data-dir", data,
               "--port", "/nonexistent/tty"]

        # The radio commands, against the simulated radio.
        r.run("info", sim + ["info", "--json"], 0)
        r.run("info without the cable", tty + ["info", "--json"], 1, "CABLE")
        silent = r.run("info, the radio does not answer", sim + ["info", "--json"], 1, "SBEP",
                       env={"VKT_SIM_OPTIONS": "--fault noack@r1x50"})
        if (silent.get("error") or {}).get("hint") != \
                "Is the radio switched on and seated in the charger?":
            r.failures.append(f"a silent radio gets no hint: {silent}")
        r.run("update declined", sim + ["update", "--json"], 3, "DECLINED")
        dry = r.run("update dry run", sim + ["update", "--dry-run", "--yes", "--json"], 0)
        if not dry.get("dry_run") or not isinstance(dry.get("plan"), dict):
            r.failures.append(f"the dry run shows no plan: {dry}")
        updated = r.run("update", sim + ["update", "--yes", "--verify", "--json"], 0)
        if not (updated.get("verify") or {}).get("match"):
            r.failures.append(f"update --verify: the written flash does not match: {updated}")
        verified = r.run("verify", sim + ["verify", "--json"], 0)
        voi = [a for a in (verified.get("verify") or {}).get("areas", []) if a["area"] == "VOI"]
        # One bad flash cell in the voice window, on a radio of its own: the
        # verifying update fails at that address and keeps the backup; a
        # verify afterwards finds the same byte.
        if len(voi) != 1:
            r.failures.append(f"verify names no VOI area: {verified}")
        else:
            bad = voi[0]["address"] + 0x123
            flipped = os.path.join(work, "flipped")
            shutil.copytree(o.data, flipped)
            on_flipped = ["--simulate", "--data-dir", flipped]
            failed = r.run("update --verify, a flipped bit",
                           on_flipped + ["update", "--yes", "--verify", "--json"], 1, "FLASH",
                           env={"VKT_SIM_OPTIONS": f"--flip-flash-bit {bad:#x}"})
            found = [a["first_difference"] for a in (failed.get("verify") or {}).get("areas", [])
                     if not a["match"]]
            if found != [bad] or not os.path.isfile(failed.get("backup") or ""):
                r.failures.append(f"update --verify: {bad:#x} and a kept backup expected: {failed}")
            again = r.run("verify, a flipped bit", on_flipped + ["verify", "--json"], 1, "FLASH")
            if [a["first_difference"] for a in again["verify"]["areas"] if not a["match"]] != [bad]:
                r.failures.append(f"verify: {bad:#x} expected: {again}")
        r.run("update up to date", sim + ["update", "--yes", "--json"], 3, "UP_TO_DATE")
        r.run("update up to date, dry run", sim + ["update", "--dry-run", "--json"], 3,
              "UP_TO_DATE")
        locks = glob.glob(os.path.join(r.runtime, "*.lock"))
        if len(locks) != 1:
            r.failures.append(f"the radio lock file is missing: {locks}")
        else:
            with open(locks[0], "w") as held:
                fcntl.flock(held, fcntl.LOCK_EX)
                r.run("update while locked", sim + ["update", "--yes", "--json"], 1, "LOCKED")
                r.run("serial while locked", sim + ["serial", "123ABC0009", "--json"], 1,
                      "LOCKED")
        password = os.path.join(work, "password")
        with open(password, "w") as f:
            f.write("4815162342\n")
        r.run("serial", sim + ["serial", "123ABC0002", "--password-file", password, "--json"], 0)
        r.run("serial, wrong password", sim + ["serial", "123ABC0003", "--json"], 1, "LOGIN",
              env={"VKT_DEALER_PASSWORD": "0000"})
        r.run("serial without a password", sim + ["serial", "123ABC0003", "--json"], 2, "USAGE")
        r.run("serial, bad number", sim + ["serial", "12", "--json"], 1, "INPUT",
              env={"VKT_DEALER_PASSWORD": "4815162342"})
        r.run("identity", sim + ["identity", "--json"], 0)
        r.run("identity without the cable", tty + ["identity", "--json"], 1, "CABLE")
        r.run("cables", sim + ["cables", "--json"], 0)
        r.run("cables, unknown back-end", ["--backend", "nosuch", "cables", "--json"], 2, "USAGE")
        r.run("monitor", sim + ["monitor", "--seconds", "1.3", "--json"], 0, lines=True)
        # An update that fails after the personality was saved (the cable
        # is pulled), on a radio of its own.
        failing = os.path.join(work, "failing")
        shutil.copytree(o.data, failing)
        failed = r.run("update fails",
                       ["--simulate", "--data-dir", failing, "update", "--yes", "--json"], 1,
                       "SBEP", env={"VKT_SIM_OPTIONS": "--fault pull@r60"})
        backup = failed.get("backup")
        if not backup or not os.path.isfile(backup):
            r.failures.append(f"the failed update names no personality backup: {backup!r}")
        else:
            on_failing = ["--simulate", "--data-dir", failing]
            info = r.run("info after the failure", on_failing + ["info", "--json"], 0)
            if not info.get("interrupted_run"):
                r.failures.append("info does not name the interrupted update")
            r.run("history", on_failing + ["history", "--json"], 0)
            r.run("personality show", ["personality", "show", backup, "--json"], 0)
            r.run("recover", on_failing + ["recover", "--yes", "--json"], 0)
            r.run("recover, nothing left", on_failing + ["recover", "--yes", "--json"], 3,
                  "NOTHING_TO_RECOVER")
            r.run("personality restore",
                  on_failing + ["personality", "restore", backup, "--json"], 0)
        bad = os.path.join(work, "bad.pvk")
        with open(bad, "wb") as f:
            f.write(b"not a backup")
        r.run("personality show, bad file", ["personality", "show", bad, "--json"], 1, "FILE")
        r.run("personality restore, bad file",
              sim + ["personality", "restore", bad, "--json"], 1, "FILE")

        check_fleet(r, o, work)

        # The package makers' commands.
        r.run("package check", ["--package", o.package, "--data-dir", data,
                                "package", "check", "--json"], 0)
        lost = os.path.join(work, "lost")
        copy_package_with_lost_files(o.package, lost)
        check = r.run("package check, lost files",
                      ["--package", lost, "--data-dir", data, "package", "check", "--json"],
                      1, "INI")
        errors = [p for p in check.get("problems", []) if p["severity"] == "error"]
        if [p["internal_name"] for p in errors] != [
                "VKT_FW_EMEA", "VOICE_R01.02.04", "VK2160EMA02DEFR01.02.04"]:
            r.failures.append(f"package check: three lost files expected, got {errors}")
        ftf = os.path.join(o.package, "pkg002.ftf")
        r.run("ftf show", ["ftf", "show", ftf, "--json"], 0)
        broken = os.path.join(work, "broken.ftf")
        with open(ftf, "rb") as f:
            content = bytearray(f.read())
        content[-1] ^= 1
        with open(broken, "wb") as f:
            f.write(content)
        r.run("ftf show, damaged", ["ftf", "show", broken, "--json"], 1, "FTF")
        r.run("ftf show, no file", ["ftf", "show", os.path.join(work, "none"), "--json"], 1,
              "FILE")

        # Command lines that cannot be parsed.
        unknown = r.run("unknown command", ["updat", "--json"], 2, "USAGE")
        if unknown.get("result") != "unknown command 'updat' (did you mean 'update'?)":
            r.failures.append(f"unknown command: {unknown.get('result')!r}")
        r.run("unknown option", ["info", "--bogus", "--json"], 2, "USAGE")

        for failure in r.failures:
            print("FAILED " + failure, file=sys.stderr)
        print(f"{len(r.seen)} command outcomes checked; {len(r.failures)} failures")
        return 1 if r.failures else 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
