"""The frame tests' helpers now live in support.py; this name stays for the tests that import it."""

from support import Exporter, exporter, native_frames, run_python, vectorcall  # noqa: F401
