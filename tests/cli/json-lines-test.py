#!/usr/bin/python3
"""Runs torvik-loader --json on the built-in simulated reader in the ways a
line controller meets it (program, read, verify, check and ports: success,
usage errors, failures, a card that differs, --speed, --repeat, an
interrupt, and a line of four readers) and checks every line it writes against
docs/torvik-loader-json.schema.json: each line one object that the schema
takes and that carries t, exactly one result, last, whose status is the exit
status and whose version is the schema's; a failed run's result names its
failure.

Usage: json-lines-test.py TORVIK_LOADER SCHEMA
The runs go in parallel, in real time, about 30 seconds in all (the line of
readers programs two cards at each of its four stations)."""

import json
import os
import signal
import subprocess
import sys
import tempfile
import threading

try:
    import jsonschema
except ImportError:
    sys.exit("python3-jsonschema is missing (tools/packages.txt lists it)")


def main():
    loader, schema_path = sys.argv[1], sys.argv[2]
    with open(schema_path) as f:
        schema = json.load(f)
    jsonschema.Draft7Validator.check_schema(schema)
    validator = jsonschema.Draft7Validator(schema)

    scratch = tempfile.mkdtemp(prefix="torvik-json-")
    image = os.path.join(scratch, "card.tvk")
    with open(image, "wb") as f:
        f.write(bytes((i * 7 + 3) & 0xFF for i in range(100)))
    fast = "sim:card=out,insert=100"

    # name: (arguments, expected exit statuses, when to send SIGINT).
    runs = {
        "programmed": (["program", "--json", "-n", "--device", fast, image], {0}, None),
        "programmed, read pass": (["program", "--json", "--device", fast, image], {0}, None),
        "programmed, each block": (["program", "--json", "--verify=each", "--device", fast, image], {0}, None),
        "at 6.00 MHz": (["program", "--json", "-n", "--clock", "6.00", "--device", fast, image], {0}, None),
        "given speed": (["program", "--json", "-n", "--speed", "34200", "--device", fast, image], {0}, None),
        "usage, missing image": (["program", "--json", os.path.join(scratch, "missing.tvk")], {2}, None),
        "usage, bad option": (["verify", "--json", "--port", "x", image], {2}, None),
        "usage, bad address": (["check", "--json", "--device", "rfc2217://host:0"], {2}, None),
        "wrong card": (["program", "--json", "--device", fast + ",atr=3B02", image], {7}, None),
        "reader silent": (["program", "--json", "--device", fast + ",silent=1", image], {5}, None),
        "bad cell": (["program", "--json", "--device", fast + ",badcell=0x30", image], {8}, None),
        "port": (["program", "--json", "--port", "2", "--device", "rfc2217://127.0.0.1:1", image], {3}, None),
        "partly programmed": (["program", "--json", "-n", "--device", fast + ",lose_ack_block=0x20:10", image], {8},
                              None),
        "verify differs": (["verify", "--json", "--device", fast, image], {10}, None),
        "read": (["read", "--json", "--length", "64", "--device", fast, os.path.join(scratch, "out.bin")], {0}, None),
        "check": (["check", "--json", "--device", fast], {0}, None),
        "check, no speed": (["check", "--json", "--device", fast + ",window=20000-20500"], {9}, None),
        "read, no speed": (["read", "--json", "--length", "64", "--device", fast + ",window=20000-20500",
                            os.path.join(scratch, "none.bin")], {9}, None),
        "ports": (["ports", "--json"], {0}, None),
        "usage, ports": (["ports", "--json", "--port", "2"], {2}, None),
        "repeat": (["program", "--repeat", "-n", "--json", "--device", "sim", image], {130}, '"event":"card"'),
        "interrupt": (["program", "--json", "--device", "sim:card=in", image], {130}, '"event":"status"'),
        "line": (["program", "-p", "1-4", "--count", "2", "-n", "--calibrate=once", "--json", image], {0}, None),
        "line, check": (["check", "-p", "1,3", "--json"], {0}, None),
        "line, interrupt": (["program", "-p", "1,2", "--repeat", "-n", "--json", image], {130}, '"event":"card"'),
    }
    # A line's ports are simulated readers, each through its TORVIK_COM<N>.
    line = dict(os.environ, **{f"TORVIK_COM{n}": "sim" for n in range(1, 5)})
    processes = {}
    for name, (args, _, _) in runs.items():
        processes[name] = subprocess.Popen([loader] + args, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                           stdin=subprocess.DEVNULL, text=True,
                                           env=line if name.startswith("line") else None)

    failures = []
    outputs = {}

    def collect(name, stop_at):
        # Reads the run's lines; at the marker, stops the run as Ctrl-C does.
        p = processes[name]
        lines = []
        for line in p.stdout:
            lines.append(line)
            if stop_at is not None and stop_at in line and p.poll() is None:
                p.send_signal(signal.SIGINT)
                stop_at = None
        p.stderr.read()
        p.wait()
        outputs[name] = (p.returncode, lines)

    threads = [threading.Thread(target=collect, args=(name, stop_at)) for name, (_, _, stop_at) in runs.items()]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    for name, p in processes.items():
        if p.poll() is None:
            p.kill()
            failures.append(f"{name}: did not end in time")
            outputs.setdefault(name, (None, []))

    for name, (args, expected, _) in runs.items():
        status, lines = outputs[name]
        if status not in expected:
            failures.append(f"{name}: exit status {status}, expected one of {sorted(expected)}")
        objects = []
        for n, line in enumerate(lines, 1):
            try:
                obj = json.loads(line)
            except ValueError:
                failures.append(f"{name}: line {n} is not JSON: {line!r}")
                continue
            for error in validator.iter_errors(obj):
                failures.append(f"{name}: line {n} {line.strip()}: {error.message}")
            if "t" not in obj:
                failures.append(f"{name}: line {n} carries no t")
            objects.append(obj)
        results = [o for o in objects if o.get("event") == "result"]
        if len(results) != 1 or not objects or objects[-1].get("event") != "result":
            failures.append(f"{name}: {len(results)} result objects, the last line is {lines[-1:]!r}")
        elif results[0]["status"] != status:
            failures.append(f"{name}: result status {results[0]['status']}, exit status {status}")
        elif results[0].get("version") != schema["definitions"]["result"]["properties"]["version"]["const"]:
            failures.append(f"{name}: result version {results[0].get('version')}")
        elif status not in (0, 2) and "failure" not in results[0]:
            failures.append(f"{name}: a failed run's result names no failure")
        if name.startswith(("programmed", "given speed")) and not any(o.get("event") == "speed" for o in objects):
            failures.append(f"{name}: no speed object")
        if name == "repeat" and not any(o.get("event") == "card" for o in objects):
            failures.append("repeat: no card object")
        if name.startswith("line") and results:
            # Every object but the result names its station, one of the run's.
            stations = {o.get("station") for o in objects if o.get("event") != "result"}
            if stations != set(results[0].get("stations", [])):
                failures.append(f"{name}: objects of stations {sorted(stations, key=str)}")
        if name == "line":
            cards = [(o["station"], o["card"]) for o in objects
                     if o.get("event") == "card" and o.get("result") == "programmed"]
            if sorted(cards) != [(s, c) for s in range(1, 5) for c in (1, 2)]:
                failures.append(f"line: programmed cards {sorted(cards)}")
        verifying = any(o.get("event") == "status" and o.get("text", "").startswith("Verifying ") for o in objects)
        if name.startswith("programmed, ") and not verifying:
            failures.append(f"{name}: no \"Verifying\" status during the read pass")
        print(f"{name}: exit {status}, {len(lines)} lines")

    for failure in failures:
        print("FAIL " + failure)
    print(f"runs checked: {len(runs)}, with faults: {len({f.split(':')[0] for f in failures})}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
