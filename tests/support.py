"""What the test files share: memory layouts of the same values, bit-exact comparison, objects
that probe integer conversion, a stand-in for a module's `np`, traceback inspection and runs in a
fresh interpreter."""

import collections
import ctypes
import math
import os
import subprocess
import sys
import tempfile
import textwrap
import traceback
import types

import numpy as np
from numpy.lib.stride_tricks import as_strided

# ---------------------------------------------------------------------------------------------
# The same values in other memory layouts. Each maker copies: the result never shares memory
# with its argument.


class Subclass(np.ndarray):
    pass


def read_only(a):
    a = np.array(a)
    a.flags.writeable = False
    return a


def unaligned(a):
    """A copy of `a` one byte into a buffer: a valid array that is not aligned."""
    a = np.asarray(a)
    raw = np.zeros(a.size * a.itemsize + 1, dtype=np.uint8)
    view = raw[1:].view(a.dtype).reshape(a.shape)
    view[...] = a
    return view


def spread(a, step=2, axes=None):
    """The values of `a` laid out `step` elements apart along `axes` (all by default), with -7.5
    in the gaps."""
    a = np.asarray(a)
    axes = range(a.ndim) if axes is None else axes
    steps = [step if k in axes else 1 for k in range(a.ndim)]
    big = np.full(tuple(max(1, s * t) for s, t in zip(a.shape, steps)), -7.5, dtype=a.dtype)
    view = big[tuple(slice(None, None, t) for t in steps)][tuple(slice(0, s) for s in a.shape)]
    view[...] = a
    return view


def reversed_strides(a, axes=None):
    """The values of `a` read through negative strides along `axes` (all by default)."""
    a = np.asarray(a)
    flip = tuple(
        slice(None, None, -1) if axes is None or k in axes else slice(None) for k in range(a.ndim)
    )
    return a[flip].copy()[flip]


def huge_strides(a, sign):
    """The first entry of `a` along axis 0, every axis of extent 1 given a stride of ±2**40:
    valid memory, since an axis of extent 1 is never stepped."""
    a = np.asarray(a)[:1].copy()
    strides = tuple(sign * 2**40 if s == 1 else st for s, st in zip(a.shape, a.strides))
    return as_strided(a, a.shape, strides)


def laid_out(a, layout):
    """`a` (float64, or converted to it) in the named layout, holding the same values."""
    a = np.asarray(a, dtype=np.float64)
    if layout == "fortran":
        return np.asfortranarray(a)
    if layout == "transposed":
        return np.ascontiguousarray(a.T).T
    if layout in ("strided", "spread"):
        return spread(a, 2)
    if layout == "reversed":
        return reversed_strides(a)
    if layout == "read-only":
        return read_only(a)
    if layout == "unaligned":
        return unaligned(a)
    if layout == "broadcast" and a.size:
        return np.broadcast_to(a.flat[0], a.shape)
    return a.copy()


LAYOUTS = [
    "C",
    "fortran",
    "transposed",
    "strided",
    "reversed",
    "read-only",
    "unaligned",
    "broadcast",
]

# ---------------------------------------------------------------------------------------------
# Comparison: equal bits, so that NaN equals NaN and 0.0 differs from -0.0.


def same_float(a, b):
    return math.copysign(1, a) == math.copysign(1, b) and (
        a == b or math.isnan(a) and math.isnan(b)
    )


def same_bits(a, b):
    """Equal shape, dtype and bit patterns, element by element, whatever the layouts."""
    a, b = np.ascontiguousarray(a), np.ascontiguousarray(b)
    return a.shape == b.shape and a.dtype == b.dtype and a.tobytes() == b.tobytes()


def same_value(a, b):
    """Equal type, and then equal bits: arrays by same_bits, floats by same_float, tuples item
    by item."""
    if isinstance(a, tuple) or isinstance(b, tuple):
        return (
            type(a) is type(b) and len(a) == len(b) and all(same_value(x, y) for x, y in zip(a, b))
        )
    if isinstance(a, np.ndarray) or isinstance(b, np.ndarray):
        return type(a) is type(b) and same_bits(a, b)
    if isinstance(a, float) and isinstance(b, float):
        return same_float(a, b)
    return type(a) is type(b) and a == b


# ---------------------------------------------------------------------------------------------
# Integer conversion probes.


class SubInt(int):
    pass


def int_probe(value=None, *, raises=None, slots=("__int__",)):
    """An object whose conversion slots (`__int__`, `__index__` or both) return `value`, or raise
    `raises` (an exception type and its message) anew on every call."""

    def slot(self):
        if raises is not None:
            raise raises[0](raises[1])
        return value

    name = f"Probe({'raises ' + raises[0].__name__ if raises else type(value).__name__})"
    return type(name, (), dict.fromkeys(slots, slot))()


BOTH_SLOTS = ("__int__", "__index__")
RAISING_INT = int_probe(raises=(ValueError, "no int"), slots=BOTH_SLOTS)
SUBCLASS_INT = int_probe(SubInt(2), slots=BOTH_SLOTS)  # a deprecated result of __int__


# ---------------------------------------------------------------------------------------------
# A stand-in for a module's `np`.


class FakeNumpy(types.SimpleNamespace):
    """What a module finds as `np` when a test replaces it: NumPy's own objects (with `only`,
    just those names), some functions replaced. Calls of a replaced function, or of one named in
    `recorded`, are counted by name in `calls`; with `log=True` each is also kept in `log` as
    (name, args, kwargs). NumPy's own functions are handed out unwrapped, so that a module can
    still recognise them."""

    def __init__(self, only=None, recorded=(), log=False, **replacements):
        super().__init__()
        self._only = only
        self.calls = collections.Counter()
        self.log = [] if log else None
        for name in only or ():
            setattr(self, name, getattr(np, name))
        for name in set(recorded) | set(replacements):
            setattr(self, name, self._counted(name, replacements.get(name, getattr(np, name))))

    def _counted(self, name, function):
        def call(*args, **kwargs):
            self.calls[name] += 1
            if self.log is not None:
                self.log.append((name, args, kwargs))
            return function(*args, **kwargs)

        return call

    def __getattr__(self, name):
        if name.startswith("_") or self._only is not None:
            raise AttributeError(name)
        return getattr(np, name)


# ---------------------------------------------------------------------------------------------
# Tracebacks, odd buffer exporters, calls through the fast calling convention, fresh interpreters.


def native_frames(exc):
    """(file name, function name, line) of the traceback entries below the test's own frame."""
    return [(f.filename, f.name, f.lineno) for f in traceback.extract_tb(exc.__traceback__)[1:]]


def module_frames(exc, module):
    """The traceback entries that a frame module's functions added (file name: its path)."""
    source = module.__name__.replace(".", "/")
    return [f for f in native_frames(exc) if f[0] == source]


def entry(module, function, line):
    """The traceback entry of `function` of a frame module at `line`."""
    return (module.__name__.replace(".", "/"), f"{module.__name__}.{function}", line)


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
    call.argtypes = [
        ctypes.py_object,
        ctypes.POINTER(ctypes.py_object),
        ctypes.c_size_t,
        ctypes.py_object,
    ]
    items = list(positional) + list(keyword_values)
    array = (ctypes.py_object * max(len(items), 1))(*items)
    return call(function, array, len(positional), tuple(keyword_names))


def outputs_on_every_kernel(script, directory):
    """Runs `script` (which writes its arrays to out.npz) in `directory`, once in a fresh
    interpreter per set of kernels: the portable ones, AVX2 and the widest the machine has (as
    far as it has them). Returns {"portable" | "avx2" | "widest": {name: array}}."""
    results = {}
    for kernels, environment in {
        "portable": {"QUILLBRAX_PORTABLE_KERNELS": "1"},
        "avx2": {"QUILLBRAX_NO_AVX512": "1"},
        "widest": {},
    }.items():
        subprocess.run(
            [sys.executable, "-c", script],
            check=True,
            cwd=directory,  # the installed package, not the sources
            env={**os.environ, "QUILLBRAX_PORTABLE_KERNELS": "", "QUILLBRAX_NO_AVX512": ""}
            | environment,
        )
        with np.load(os.path.join(directory, "out.npz")) as out:
            results[kernels] = {key: out[key] for key in out.files}
    return results


def run_python(code):
    """Runs `code` in a fresh interpreter; returns (exit status, stdout, stderr)."""
    # Run outside the checkout, so that the installed package is the one imported.
    done = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=120,
        cwd=tempfile.gettempdir(),
    )
    return done.returncode, done.stdout, done.stderr
