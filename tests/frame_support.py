"""Helpers for the frame tests: traceback inspection, odd exporters and subprocess runs."""

import ctypes
import subprocess
import sys
import tempfile
import textwrap
import traceback

import numpy as np


def native_frames(exc):
    """(file name, function name, line) of the traceback entries below the test's own frame."""
    return [(f.filename, f.name, f.lineno) for f in traceback.extract_tb(exc.__traceback__)[1:]]


class Exporter(np.ndarray):
    """An ndarray subclass whose buffer is that of another object (for formats ndarray never
    exports)."""

    def __buffer__(self, flags):
        return memoryview(self.payload)


def exporter(payload, shape=(2, 2)):
    array = np.zeros(shape).view(Exporter)
    array.payload = payload
    return array


def vectorcall(function, positional, keyword_names, keyword_values):
    """Calls `function` through the fast calling convention with arbitrary keyword names."""
    call = ctypes.pythonapi.PyObject_Vectorcall
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t,
                     ctypes.py_object]
    items = list(positional) + list(keyword_values)
    array = (ctypes.py_object * max(len(items), 1))(*items)
    return call(function, array, len(positional), tuple(keyword_names))


def run_python(code):
    """Runs `code` in a fresh interpreter; returns (exit status, stdout, stderr)."""
    # Run outside the checkout, so that the installed package is the one imported.
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=120, cwd=tempfile.gettempdir())
    return done.returncode, done.stdout, done.stderr
