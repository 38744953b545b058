#!/usr/bin/env python3
"""Runs pytest on the package's tests as ctest does: under AddressSanitizer the
interpreter is started again with the sanitizer's runtime preloaded (a
sanitized libkalax.so cannot load without it); under ThreadSanitizer, or
without a runtime to preload, the tests are skipped (exit 77) saying why.
  run.py PYTEST_ARGS...   (environment: KALAX_SANITIZE, KALAX_SANITIZER_RUNTIME)"""
import os
import sys

sanitize = os.environ.get("KALAX_SANITIZE", "")
runtime = os.environ.get("KALAX_SANITIZER_RUNTIME", "")
if "thread" in sanitize:
    print("skipped: ThreadSanitizer's runtime cannot be preloaded into the Python interpreter")
    sys.exit(77)
if "address" in sanitize and not os.environ.get("KALAX_PY_PRELOADED"):
    if not runtime or not os.path.exists(runtime):
        print("skipped: no shared AddressSanitizer runtime to preload (%r)" % runtime)
        sys.exit(77)
    env = dict(os.environ, LD_PRELOAD=runtime, KALAX_PY_PRELOADED="1",
               # The interpreter's own allocations are not ours to judge.
               ASAN_OPTIONS="detect_leaks=0:" + os.environ.get("ASAN_OPTIONS", ""))
    os.execve(sys.executable, [sys.executable] + sys.argv, env)
import pytest  # noqa: E402  (after the re-execution above)

sys.exit(pytest.main(sys.argv[1:]))
