"""Fixtures: a registry of its own per test (the library registered into it),
simulated units (kalax-unitsim) on free ports, and a port nobody listens on.

The package comes from PYTHONPATH (the build's python/ folder); the simulated
unit from $KALAX_UNITSIM, else next to the library, else the PATH."""
import os
import select
import shutil
import socket
import subprocess
import time

import pytest

import kalax


def _unitsim_path():
    for candidate in (os.environ.get("KALAX_UNITSIM"),
                      os.path.join(os.path.dirname(kalax.library_path), "kalax-unitsim"),
                      shutil.which("kalax-unitsim")):
        if candidate and os.access(candidate, os.X_OK):
            return candidate
    return None


@pytest.fixture(autouse=True)
def registry(tmp_path, monkeypatch):
    path = tmp_path / "registry.reg"
    monkeypatch.setenv("KALAX_REGISTRY", str(path))
    kalax.register()
    return path


class SimulatedUnit:
    def __init__(self, args):
        path = _unitsim_path()
        if path is None:
            pytest.fail("kalax-unitsim not found: set KALAX_UNITSIM or build it")
        # A sanitized unit carries its runtime linked in: not the interpreter's preloaded one.
        env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
        self.process = subprocess.Popen([path, "--port", "0"] + list(args), stdout=subprocess.PIPE,
                                        stderr=subprocess.STDOUT, text=True, env=env)
        self.port = None
        # Read as it arrives, never blocking past the deadline: a unit that starts and
        # says nothing fails the test instead of hanging it.
        fd = self.process.stdout.fileno()
        deadline = time.monotonic() + 10
        pending = b""
        while self.port is None:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([fd], [], [], left)[0]:
                break
            chunk = os.read(fd, 4096)
            if not chunk:
                break
            *lines, pending = (pending + chunk).split(b"\n")
            for line in lines:
                line = line.decode(errors="replace").rstrip()
                if line.startswith("http://127.0.0.1:") and line.endswith("/values.xml"):
                    self.port = int(line.split(":")[2].split("/")[0])
                    break
        if self.port is None:
            self.stop()
            pytest.fail("the simulated unit did not start")

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(5)
        self.process.stdout.close()


@pytest.fixture
def unitsim():
    """unitsim(*options) starts a simulated unit and returns its port."""
    started = []

    def start(*args):
        unit = SimulatedUnit(args)
        started.append(unit)
        return unit.port

    yield start
    for unit in started:
        unit.stop()


@pytest.fixture
def closed_port():
    """A local port that refuses connections."""
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


@pytest.fixture(autouse=True)
def nothing_left_over():
    """Every test leaves its thread's queue empty and delivers its handlers' errors."""
    yield
    kalax.detach()
    kalax.pump(0)
