#!/usr/bin/python3
"""tavrel-cli --json, read by Python's json module (a strict RFC 8259 parser, not our own): every
command's main paths and failures give JSON Lines only on standard output, in valid UTF-8, with
the documented keys; the exit status is the one the text mode gives; hostile paths and words come
through whole; a standard output that cannot be written fails the run.

    json_output_test.py TAVREL_CLI
"""
import json
import os
import subprocess
import sys
import tempfile

CLI = sys.argv[1]
failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("json_output_test: FAIL:", what, file=sys.stderr)


def run(args, stdin=b""):
    done = subprocess.run([CLI] + args, input=stdin, capture_output=True, timeout=60)
    return done.returncode, done.stdout, done.stderr


def objects(args, stdin=b""):
    """Runs with --json; every line of standard output must be one JSON object."""
    status, out, err = run(args + ["--json"], stdin)
    what = " ".join(args)
    try:
        text = out.decode("utf-8", errors="strict")
    except UnicodeDecodeError as error:
        check(False, f"{what}: standard output is not UTF-8: {error}")
        return status, []
    check(text == "" or text.endswith("\n"), f"{what}: the last line is not ended")
    parsed = []
    for line in text.splitlines():
        try:
            value = json.loads(line)
        except json.JSONDecodeError as error:
            check(False, f"{what}: not JSON: {line!r}: {error}")
            continue
        check(isinstance(value, dict), f"{what}: not an object: {line!r}")
        parsed.append(value)
    text_status, _, _ = run(args, stdin)
    check(status == text_status, f"{what}: exit {status} with --json, {text_status} without")
    return status, parsed


def expect_error(args, status_wanted, stdin=b""):
    status, found = objects(args, stdin)
    what = " ".join(args)
    check(status == status_wanted, f"{what}: exit {status}, wanted {status_wanted}")
    check(len(found) >= 1 and set(found[-1]) == {"error", "status"}, f"{what}: no error object: {found}")
    if found:
        check(found[-1].get("status") == status_wanted, f"{what}: error object {found[-1]}")
        check(isinstance(found[-1].get("error"), str) and found[-1]["error"], f"{what}: empty error")
    return found


with tempfile.TemporaryDirectory() as folder:
    state = os.path.join(folder, "state.txt")
    script = os.path.join(folder, "script.txt")
    with open(script, "w", encoding="utf-8") as f:
        f.write("按键：A\n延时：100毫秒\n")
    sim = ["--simulate=2", "--sim-state", state, "--all"]

    # Gadget commands: one object per gadget, with what each learned.
    status, found = objects(["download"] + sim + ["--if-changed", "--verify", script])
    check(status == 0, f"download: exit {status}")
    check([(o["path"], o["command"], o["result"], o["changed"]) for o in found]
          == [("sim:gadget-1", "download", "ok", True), ("sim:gadget-2", "download", "ok", True)],
          f"download: {found}")
    status, found = objects(["download"] + sim + ["--if-changed", script])
    check(status == 0 and [(o["result"], o["changed"]) for o in found] == [("unchanged", False)] * 2,
          f"download again: {status} {found}")
    status, found = objects(["id"] + sim)
    check(status == 0 and [o.get("identifier_number") for o in found] == [0x12345678, 0x12345679],
          f"id: {found}")
    check(all(isinstance(o.get("identifier"), str) and o["changed"] is False for o in found), f"id: {found}")
    status, found = objects(["flash", "read", "--simulate", "--sim-state", os.path.join(folder, "f.txt")])
    check(status == 0 and len(found) == 1 and len(found[0].get("flash", "")) == 256, f"flash read: {found}")
    check(set(found[0].get("flash", "x")) <= set("0123456789ABCDEF"), f"flash read: {found}")
    for command in (["start"], ["stop"], ["reboot"], ["flash", "clear"]):
        status, found = objects(command + sim)
        check(status == 0 and [(o["result"], o["changed"]) for o in found] == [("ok", True)] * 2,
              f"{command}: {found}")
    status, found = objects(["send", "--simulate", "按键：A", "乱写一行"])
    check(status == 0 and found and found[0].get("lines_run") == 2 and found[0].get("lines_skipped") == 0,
          f"send: {found}")

    # devices: one object per interface.
    status, found = objects(["devices", "--simulate"])
    check(status == 0 and [o["gadget"] for o in found] == [True, False, False], f"devices: {found}")
    check(all(set(o) == {"path", "vendor_id", "product_id", "input_report_bytes", "output_report_bytes",
                         "gadget", "access", "access_error", "product"} for o in found), f"devices keys: {found}")

    # compile and list: one object each, the messages with their line numbers. Words from outside
    # (a quote, a backslash, a control character) come through whole.
    status, found = objects(["compile"], "按键：A\n乱写\"\\\x01\n".encode())
    check(status == 0 and len(found) == 1, f"compile: {found}")
    if found:
        check(found[0]["record_count"] == 1 and found[0]["records"][1] == "20 04 00", f"compile: {found}")
        check([m["line"] for m in found[0]["messages"]] == [2], f"compile messages: {found}")
        check("乱写\"\\" in found[0]["messages"][0]["text"] if found[0]["messages"] else False,
              f"compile message text: {found}")
    status, found = objects(["list"], b"E1 01 01\nzz\n20 04 00\n")
    check(status == 0 and len(found) == 1, f"list: {found}")
    if found:
        check([(r["number"], r["line"], r["record"]) for r in found[0]["records"]]
              == [(1, 1, "E1 01 01"), (2, 3, "20 04 00")], f"list: {found}")
        check([m["line"] for m in found[0]["messages"]] == [2], f"list messages: {found}")

    # send --to: one object, what was sent.
    status, found = objects(["send", "--to", "127.0.0.1:9", "按键：A"])
    check(status == 0 and len(found) == 1 and found[0].get("sent") == 1 and found[0]["dtls"] is False,
          f"send --to: {found}")

    # Failures: still nothing but JSON on standard output.
    expect_error(["id", "--bogus"], 2)
    expect_error(["bogus"], 2)
    expect_error(["download", "--simulate", os.path.join(folder, "missing.txt")], 2)
    expect_error(["download", "--simulate"], 2, "乱写\n".encode())
    expect_error(["id", "--simulate=2"], 2)  # two gadgets and none chosen
    expect_error(["start", "--simulate=0"], 3)
    with open(os.path.join(folder, "damaged.txt"), "w") as f:
        f.write("not a state file\n")
    expect_error(["id", "--simulate", "--sim-state", os.path.join(folder, "damaged.txt")], 2)
    expect_error(["send", "--to", "127.0.0.1:0"], 2)

    # A hostile path: a byte that is no UTF-8, a line break and a quote. The gadget is not there.
    hostile = b"sim:\xff\n\"gadget"
    done = subprocess.run([CLI.encode(), b"id", b"--simulate", b"--device", hostile, b"--json"],
                          capture_output=True, timeout=60)
    lines = done.stdout.decode("utf-8").splitlines()
    check(done.returncode == 3 and len(lines) == 2, f"hostile path: {done.returncode} {lines}")
    if lines:
        first = json.loads(lines[0])
        check(first["path"] == "sim:\\xFF\n\"gadget" and first["result"] == "failed"
              and first["reason"] == "not present" and first["changed"] is False, f"hostile path: {first}")

    # A standard output that cannot be written fails the run, and says so on standard error.
    with open("/dev/full", "wb") as full:
        done = subprocess.run([CLI, "id", "--simulate", "--json"], stdout=full, stderr=subprocess.PIPE,
                              timeout=60)
    check(done.returncode == 1 and b"cannot write standard output" in done.stderr,
          f"/dev/full: {done.returncode} {done.stderr!r}")

if failures:
    print(f"json_output_test: {len(failures)} failed", file=sys.stderr)
    sys.exit(1)
print("json_output_test: passed")
