"""Faults injected where the modules depend on something outside themselves: every NumPy function
a frame module calls, replaced in turn by one that raises or hands back something unfit, and
allocations too large to succeed. Each fault surfaces as its own exception or as the frame's
refusal, leaks nothing, and leaves the module working."""

import gc
import sys
import types

import numpy as np
import pytest

from quillbrax.accel import _convkit, _nearix, _pairmetric, _splitscan, _warpalign

RNG = np.random.default_rng(5)
X = RNG.normal(size=(6, 3))
LABELS = np.array([0, 1, 2, 1, 0, 2])
IMAGES = RNG.normal(size=(2, 5, 5, 3))
COLS = _convkit.im2col(IMAGES, 2, 2, 1, 1)[0]
POOLED, ARGMAX = _convkit.maxpool_forward(IMAGES, 2, 1)

# (label, module, call, NumPy functions the call reaches through the module's `np`)
CALLS = [
    ("pairwise_distances", _pairmetric,
     lambda: _pairmetric.pairwise_distances(X, X), ["empty"]),
    ("_best_split_classifier", _splitscan,
     lambda: _splitscan._best_split_classifier(X, LABELS, 1), ["unique", "zeros", "argsort"]),
    ("_best_split_regressor", _splitscan,
     lambda: _splitscan._best_split_regressor(X, X[:, 0].copy(), 1), ["argsort"]),
    ("im2col padded", _convkit,
     lambda: _convkit.im2col(IMAGES, 2, 2, 1, 1), ["ascontiguousarray", "pad", "empty"]),
    ("im2col strided", _convkit,
     lambda: _convkit.im2col(IMAGES[:, ::-1], 2, 2, 1, 0), ["ascontiguousarray", "empty"]),
    ("col2im", _convkit,
     lambda: _convkit.col2im(COLS, IMAGES.shape, 2, 2, 1, 1), ["zeros"]),
    ("maxpool_forward", _convkit,
     lambda: _convkit.maxpool_forward(IMAGES[:, :, ::-1], 2, 1), ["empty", "ascontiguousarray"]),
    ("maxpool_backward", _convkit,
     lambda: _convkit.maxpool_backward(POOLED[::-1], ARGMAX[::-1], IMAGES.shape, 2, 1),
     ["zeros", "ascontiguousarray"]),
]


class Injected(Exception):
    pass


def _add_axis(a):
    return a[..., None]


def _shorter(a):
    return a[:-1] if a.ndim and len(a) else a[..., None]


def _read_only(a):
    a = np.array(a)
    a.flags.writeable = False
    return a


# (label, how the real result is replaced, exception expected; None: the result is unchanged)
FAULTS = [
    ("raises", None, Injected),
    ("raises MemoryError", None, MemoryError),
    ("returns a list", lambda a: a.tolist(), TypeError),
    ("returns an object", lambda a: object(), TypeError),
    ("returns None", lambda a: None, ValueError),
    ("returns float32", lambda a: np.zeros_like(a, dtype=np.float32), ValueError),
    ("returns int32", lambda a: np.zeros_like(a, dtype=np.int32), ValueError),
    ("returns big-endian", lambda a: a.astype(a.dtype.newbyteorder(">")), ValueError),
    ("returns another ndim", _add_axis, ValueError),
    ("returns a shorter array", _shorter, ValueError),
    ("returns read-only", _read_only, "read-only"),
]


class FaultyNumpy(types.ModuleType):
    """numpy, except that one function misbehaves; counts that function's calls."""

    def __init__(self, name, fault, error):
        super().__init__("numpy")
        self.calls = 0
        real = getattr(np, name)

        def replacement(*args, **kwargs):
            self.calls += 1
            if fault is None:
                raise error("injected")
            return fault(real(*args, **kwargs))

        setattr(self, name, replacement)

    def __getattr__(self, name):
        return getattr(np, name)


# Where a fault reaches something other than the frame's checks first.
OVERRIDES = {
    # fewer classes than labels: a label is missing from the class table
    ("unique", "returns None"): KeyError,
    ("unique", "returns a shorter array"): KeyError,
    # with pad > 0 the contiguous input is only handed to np.pad, which takes any array-like
    ("im2col padded", "ascontiguousarray", "returns a list"): None,
    ("im2col padded", "ascontiguousarray", "returns read-only"): None,
    ("im2col padded", "ascontiguousarray", "returns an object"): ValueError,
}


def _expected(label, module, name, fault, error):
    for key in ((name, fault), (label, name, fault)):
        if key in OVERRIDES:
            return OVERRIDES[key]
    if error != "read-only":
        return error
    # Arrays the kernels write, or view in place with write access, refuse a read-only buffer.
    written = {"empty", "zeros", "pad", "ascontiguousarray"} if module is _convkit else {"empty"}
    return ValueError if name in written else None


CASES = [(call, name, fault) for call in CALLS for name in call[3] for fault in FAULTS]


@pytest.mark.parametrize("call, name, fault", CASES,
                         ids=[f"{c[0]}-{n}-{f[0]}" for c, n, f in CASES])
def test_numpy_faults_surface_and_leave_the_module_working(monkeypatch, call, name, fault):
    label, module, run, _ = call
    fault_label, replace, error = fault
    clean = run()
    expected = _expected(label, module, name, fault_label, error)
    faulty = FaultyNumpy(name, replace, error if replace is None else None)
    watched = [X, LABELS, IMAGES, COLS, POOLED, ARGMAX, np, faulty]
    with monkeypatch.context() as patch:
        patch.setattr(module, "np", faulty)
        gc.collect()
        references = [sys.getrefcount(obj) for obj in watched]
        for _ in range(20):
            if expected is None:
                assert _same(run(), clean)
            else:
                with pytest.raises(expected):
                    run()
        gc.collect()
        assert [sys.getrefcount(obj) for obj in watched] == references
    assert faulty.calls >= 20, f"{label} never called np.{name}"
    assert module.np is np
    assert _same(run(), clean)


def _same(a, b):
    if isinstance(a, tuple):
        return type(b) is tuple and len(a) == len(b) and all(_same(x, y) for x, y in zip(a, b))
    if isinstance(a, np.ndarray):
        return a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()
    return a == b or a != a and b != b


# ---------------------------------------------------------------------------------------------
# Sizes that are valid but cannot be allocated.

def test_query_results_too_large_to_allocate_are_memory_error():
    tree = _nearix.KDTree(RNG.normal(size=(2**16, 1)))
    # 2^31 − 1 query rows by 2^16 neighbours: 2^47 cells of each result, more than any machine.
    Q = np.broadcast_to(0.0, (2**31 - 1, 1))
    gc.collect()
    references = sys.getrefcount(Q), sys.getrefcount(tree)
    for _ in range(3):
        with pytest.raises(MemoryError):
            tree.query(Q, 2**16)
    gc.collect()
    assert (sys.getrefcount(Q), sys.getrefcount(tree)) == references
    indices, distances = tree.query(np.zeros((1, 1)), 2)
    assert indices.shape == (1, 2) and distances[0, 0] <= distances[0, 1]


@pytest.mark.not_under_asan(
    reason="AddressSanitizer reports an impossible allocation as a fault instead of failing it")
def test_dtw_storage_too_large_to_allocate_is_memory_error():
    # 2^23 by 2^23 − 1 elements in a band 2^22 wide: about 2^46 cells, more than the address
    # space. np.zeros leaves its pages untouched.
    x = np.zeros(2**23)
    y = x[1:]
    gc.collect()
    references = sys.getrefcount(x), sys.getrefcount(y)
    for _ in range(3):
        with pytest.raises(MemoryError):
            _warpalign.dtw_path(x, y, 2**22)
    gc.collect()
    assert (sys.getrefcount(x), sys.getrefcount(y)) == references
    path, cost = _warpalign.dtw_path(np.array([0.0, 1.0]), np.array([0.0, 2.0]), 1)
    assert path.tolist() == [[0, 0], [1, 1]] and cost == 1.0
