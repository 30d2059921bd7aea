#!/usr/bin/python3
"""serve's metrics file, read by the Prometheus text parser of Python's client (a real parser, not
our own): the values match what was sent, the line outcomes add up, and a file that cannot be
written is said once while serving goes on.

    serve_metrics_test.py TAVREL_CLI
"""
import os
import signal
import socket
import subprocess
import sys
import tempfile
import time

from prometheus_client.parser import text_string_to_metric_families

CLI = sys.argv[1]
KEY = "00112233445566778899aabbccddeeff"
failures = []
checks = []


def check(condition, what):
    checks.append(what)
    if not condition:
        failures.append(what)
        print("serve_metrics_test: FAIL:", what, file=sys.stderr)


def wait_for(condition, seconds=10):
    end = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > end:
            return False
        time.sleep(0.01)
    return True


def start_serve(args, err_path):
    err = open(err_path, "wb")
    serve = subprocess.Popen([CLI, "serve", "--simulate=2", "--udp-bind", "127.0.0.1", "--port", "0"] + args,
                             stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err)
    port = []

    def listening():
        text = open(err_path, encoding="utf-8", errors="replace").read()
        at = text.find("listening on 127.0.0.1:")
        if at < 0 or "\n" not in text[at:]:
            return False
        port.append(int(text[at + 23:].split()[0]))
        return True

    check(wait_for(listening), "serve said where it listens")
    check(wait_for(lambda: "serving sim:gadget-2" in open(err_path, encoding="utf-8").read()),
          "serve serves both gadgets")
    return serve, port[0] if port else 0


def metrics(path):
    samples = {}
    for family in text_string_to_metric_families(open(path, encoding="utf-8").read()):
        for sample in family.samples:
            key = sample.name + "".join("{%s=%s}" % item for item in sorted(sample.labels.items()))
            samples[key] = sample.value
    return samples


def send(port, payload, source="127.0.0.1"):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
        sock.bind((source, 0))
        sock.sendto(payload, ("127.0.0.1", port))


def openssl_client(port, identity, data):
    client = subprocess.Popen(["openssl", "s_client", "-dtls1_2", "-nocommands", "-quiet", "-psk_identity", identity,
                               "-psk", KEY, "-connect", "127.0.0.1:%d" % port],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    client.stdin.write(data)
    client.stdin.flush()
    return client


with tempfile.TemporaryDirectory() as folder:
    keys = os.path.join(folder, "keys")
    with open(keys, "w") as file:
        file.write("rig-7 %s\n" % KEY)
    os.chmod(keys, 0o600)
    prom = os.path.join(folder, "serve.prom")
    err_path = os.path.join(folder, "err.txt")
    serve, port = start_serve(["--keys", keys, "--allow", "127.0.0.1", "--metrics-file", prom, "--verbose"], err_path)
    check(wait_for(lambda: os.path.exists(prom)), "the metrics file is written at start")
    check(metrics(prom).get("tavrel_serve_sessions") == 0, "no session at start")

    send(port, b"plain line")                     # no DTLS handshake
    send(port, b"x" * 17000)                      # too long even for a record
    send(port, b"from elsewhere", "127.0.0.2")    # not allowed
    stranger = openssl_client(port, "nobody", b"A\n")
    check(wait_for(lambda: "unknown identity 'nobody'" in open(err_path, encoding="utf-8").read()),
          "the stranger is refused")
    stranger.kill()
    rig = openssl_client(port, "rig-7", "按键：A\n按键：B\n".encode())
    answers = b""
    while b"queued 2" not in answers:
        chunk = rig.stdout.read1(100)
        if not chunk:
            break
        answers += chunk
    rig.stdin.write(b"\xff\xfe\nA\n")             # not UTF-8: the record's two lines are refused
    rig.stdin.flush()
    while b"refused: not valid UTF-8" not in answers:
        chunk = rig.stdout.read1(100)
        if not chunk:
            break
        answers += chunk
    check(b"refused: not valid UTF-8" in answers, "the bad record is answered as refused")
    check(wait_for(lambda: "执行脚本：按键：B" in open(err_path, encoding="utf-8").read()), "the good lines ran")
    serve.send_signal(signal.SIGTERM)
    check(serve.wait(10) == 0, "serve stops with 0")
    rig.kill()

    values = metrics(prom)
    expected = {
        "tavrel_serve_datagrams_refused_total{reason=not_dtls}": 1,
        "tavrel_serve_datagrams_refused_total{reason=too_long}": 1,
        "tavrel_serve_datagrams_refused_total{reason=not_allowed}": 1,
        "tavrel_serve_datagrams_refused_total{reason=unreadable}": 0,
        "tavrel_serve_handshakes_refused_total{reason=unknown_identity}": 1,
        "tavrel_serve_lines_received_total": 4,
        "tavrel_serve_lines_total{outcome=run}": 2,
        "tavrel_serve_lines_total{outcome=refused_not_utf8}": 2,
        "tavrel_serve_lines_total{outcome=dropped_queue_full}": 0,
        "tavrel_serve_write_failures_total": 0,
        "tavrel_serve_gadgets_served": 2,
        "tavrel_serve_queue_lines": 0,
        "tavrel_serve_sessions": 0,
    }
    for name, value in expected.items():
        check(values.get(name) == value, "%s is %s, not %s" % (name, value, values.get(name)))
    outcomes = sum(v for k, v in values.items() if k.startswith("tavrel_serve_lines_total{"))
    check(outcomes + values["tavrel_serve_queue_lines"] == values["tavrel_serve_lines_received_total"],
          "the outcomes and the waiting lines add up to the lines received")
    check(values["tavrel_serve_datagrams_received_total"] >= 3, "datagrams are counted")
    check(not os.path.exists(prom + ".tmp"), "no temporary file is left")

    # A metrics file that cannot be written is said once; serving goes on.
    err_path = os.path.join(folder, "err2.txt")
    serve, port = start_serve(["--metrics-file", os.path.join(folder, "missing", "serve.prom"), "--verbose"], err_path)
    send(port, "按键：C".encode("gbk"))
    check(wait_for(lambda: "执行脚本：按键：C" in open(err_path, encoding="utf-8").read()), "lines still run")
    serve.send_signal(signal.SIGTERM)
    check(serve.wait(10) == 0, "serve stops with 0")
    said = open(err_path, encoding="utf-8").read()
    check(said.count("cannot write the metrics file") == 1, "the failure is said once: " + said)

print("serve_metrics_test: %d checks, %d failed" % (len(checks), len(failures)))
sys.exit(1 if failures else 0)
