#!/usr/bin/env python3
"""CPU time against wall time of the two programs while they wait.

  cpu_use.py cli PROGRAM     torvik-loader programs a small image on the
                             simulated reader, with a remove and an insert
                             prompt of 3 s each: CPU at most 5 % of wall time.
  cpu_use.py window SCREENSHOT_TOOL SAMPLE
                             the window (Qt offscreen, driven by
                             torvik_window_screenshot) presses Program with no
                             card in the simulated reader and waits its 30 s
                             for one: CPU at most 2 % of wall time during the
                             wait.

Exits 0 when the share is within its bound, 1 otherwise; prints the figures.
"""
import os
import resource
import subprocess
import sys
import tempfile
import time


def cli(program):
    with tempfile.TemporaryDirectory() as work:
        image = os.path.join(work, "small.tvk")
        with open(image, "wb") as f:
            f.write(bytes(range(64)))
        env = dict(os.environ, TORVIK_COM1="sim:card=in,remove=3000,insert=3000")
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        start = time.monotonic()
        run = subprocess.run([program, "program", "--port", "1", image], env=env, capture_output=True,
                             text=True, timeout=120)
        wall = time.monotonic() - start
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    print(f"torvik-loader with card prompts: {cpu:.3f} s CPU in {wall:.1f} s ({100 * cpu / wall:.2f} %)")
    if "Please insert card in card slot." not in run.stdout or "Card successfully programmed." not in run.stdout:
        print("the run did not program the card after its prompts:", run.stdout, run.stderr, sep="\n")
        return 1
    return 0 if cpu <= 0.05 * wall else 1


def window(program, sample):
    with tempfile.TemporaryDirectory() as work:
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen", TORVIK_COM1="sim:card=out",
                   XDG_CONFIG_HOME=work, HOME=work)
        proc = subprocess.Popen([program, os.path.join(work, "window.png"), sample], env=env,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        tick = os.sysconf("SC_CLK_TCK")

        def cpu_seconds():
            fields = open(f"/proc/{proc.pid}/stat").read().rsplit(")", 1)[1].split()
            return (int(fields[11]) + int(fields[12])) / tick

        # Reader setup takes about 1.5 s; the card wait then lasts 30 s.
        time.sleep(3)
        if proc.poll() is not None:
            print("the window program ended before its card wait")
            return 1
        c0, t0 = cpu_seconds(), time.monotonic()
        time.sleep(27)
        still_waiting = proc.poll() is None
        c1, t1 = (cpu_seconds(), time.monotonic()) if still_waiting else (c0, t0)
        try:
            proc.wait(timeout=60)
        except subprocess.TimeoutExpired:
            proc.kill()
            print("the window program did not end after its card wait")
            return 1
    if not still_waiting:
        print("the window program ended before 30 s: no card wait to measure")
        return 1
    cpu, wall = c1 - c0, t1 - t0
    print(f"window during a card wait: {cpu:.3f} s CPU in {wall:.1f} s ({100 * cpu / wall:.2f} %)")
    return 0 if cpu <= 0.02 * wall else 1


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "cli":
        sys.exit(cli(sys.argv[2]))
    if len(sys.argv) == 4 and sys.argv[1] == "window":
        sys.exit(window(sys.argv[2], sys.argv[3]))
    print(__doc__)
    sys.exit(2)
