"""Loaded by every interpreter of the sanitizer run (this folder is on its PYTHONPATH).

The sanitizer runtimes are preloaded for the module, not for ffmpeg, ffprobe or the test doubles:
they move out of the environment at once, so children start plain, and the tests put them back
for the Python interpreters they start themselves (conftest.python_env)."""
import os

if os.environ.get("KESTRIN_SANITIZED"):
    for _name in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS"):
        if _name in os.environ:
            os.environ["KESTRIN_SAVED_" + _name] = os.environ.pop(_name)
