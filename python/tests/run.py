#!/usr/bin/env python3
"""Runs pytest on the package's tests as ctest does: under AddressSanitizer the
interpreter is started again with the sanitizer's runtime preloaded (a
sanitized libkalax.so cannot load without it); under ThreadSanitizer, or
without a runtime to preload, the tests are skipped (exit 77) saying why.
  run.py PYTEST_ARGS...   (environment: KALAX_SANITIZE, KALAX_SANITIZER_RUNTIME)"""
import os
import sys

from sanitized import environment

env = environment()
if env.get("LD_PRELOAD") != os.environ.get("LD_PRELOAD") and not os.environ.get("KALAX_PY_PRELOADED"):
    os.execve(sys.executable, [sys.executable] + sys.argv, dict(env, KALAX_PY_PRELOADED="1"))
import pytest  # noqa: E402  (after the re-execution above)

sys.exit(pytest.main(sys.argv[1:]))
