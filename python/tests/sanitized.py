"""The environment an interpreter needs to load this build's libkalax.so.

A library built with AddressSanitizer loads only into a process that has the
sanitizer's runtime preloaded; ThreadSanitizer's runtime cannot be preloaded
into the interpreter at all. Used by the test runners (ctest's environment:
KALAX_SANITIZE, KALAX_SANITIZER_RUNTIME)."""
import os
import sys


def environment():
    """os.environ, plus the preload a sanitized build needs; exits 77 (skipped),
    saying why, where no interpreter can load the library."""
    sanitize = os.environ.get("KALAX_SANITIZE", "")
    env = dict(os.environ)
    if "thread" in sanitize:
        print("skipped: ThreadSanitizer's runtime cannot be preloaded into the Python interpreter")
        sys.exit(77)
    if "address" in sanitize:
        runtime = os.environ.get("KALAX_SANITIZER_RUNTIME", "")
        if not runtime or not os.path.exists(runtime):
            print("skipped: no shared AddressSanitizer runtime to preload (%r)" % runtime)
            sys.exit(77)
        # The interpreter's own allocations are not ours to judge.
        env.update(LD_PRELOAD=runtime, ASAN_OPTIONS="detect_leaks=0:" + env.get("ASAN_OPTIONS", ""))
    return env
