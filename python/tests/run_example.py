#!/usr/bin/env python3
"""Runs an example of python/examples as the README shows it: against units
served by `kalax sim` ($KALAX), the library registered first with
`python3 -m kalax register` (into a registry file of the test's own).
  run_example.py EXAMPLE.py   (exit 77: skipped, saying why, as run.py does)"""
import os
import re
import subprocess
import sys
import tempfile

from sanitized import environment

env = environment()
example = sys.argv[1]
with tempfile.TemporaryDirectory() as folder:
    env["KALAX_REGISTRY"] = os.path.join(folder, "registry.reg")
    subprocess.run([sys.executable, "-m", "kalax", "register", "-q"], env=env, check=True, timeout=60)
    sim = subprocess.Popen([os.environ["KALAX"], "sim", "--port", "0", "--units", "2", "--log-period", "3600"], stdout=subprocess.PIPE,
                           text=True, env={k: v for k, v in env.items() if k != "LD_PRELOAD"})
    try:
        first = sim.stdout.readline()
        ports = re.search(r"127\.0\.0\.1:(\d+)-(\d+)", first)
        if not ports:
            sys.exit("unexpected first line from kalax sim: %r" % first)
        units = ["127.0.0.1:" + p for p in ports.groups()]

        def run(*args):
            done = subprocess.run([sys.executable, example] + list(args), env=env, capture_output=True,
                                  text=True, timeout=60)
            print(done.stdout + done.stderr, end="")
            if done.returncode:
                sys.exit("%s exited with %d" % (os.path.basename(example), done.returncode))
            return done.stdout

        if example.endswith("read_units.py"):
            out = run(*units)
            assert all(u in out for u in units) and out.count("Serverraum") >= 2, "no table of both units"
        else:
            csv = os.path.join(folder, "unit.csv")
            out = run(units[0], csv)
            with open(csv, "rb") as f:
                text = f.read()
            assert text.count(b"\r\n") > 10 and ("%d bytes of log, %d of them new" % (len(text), len(text))) in out
            # The unit may log a round between the two runs (a slow, sanitized build): the second
            # run must then add just that round's lines, never the old ones again.
            size, new = map(int, re.search(r"(\d+) bytes of log, (\d+) of them new", run(units[0], csv)).groups())
            with open(csv, "rb") as f:
                again = f.read()
            assert again.startswith(text), "a second run changed what the file held"
            assert len(again) == len(text) + new and size >= len(text) + new, "the file grew by more than was new"
            old = set(text.split(b"\r\n")) - {b""}
            assert not old & set(again[len(text):].split(b"\r\n")), "a second run added lines again"
    finally:
        sim.terminate()
        sim.wait(10)
