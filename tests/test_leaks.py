"""Repeated calls leak nothing: not a reference to an argument or to what the modules take from
NumPy, not a Python object, not native memory, on success and on every kind of failure."""

import gc
import os
import sys
import tracemalloc

import numpy as np
import pytest
from support import RAISING_INT, SUBCLASS_INT, read_only

from quillbrax.accel import _convkit, _nearix, _pairmetric, _splitscan, _warpalign

RNG = np.random.default_rng(11)
X2 = RNG.normal(size=(6, 3))
Y2 = RNG.normal(size=(5, 3))
LABELS = RNG.integers(0, 3, size=6)
TARGETS = RNG.normal(size=6)
IMAGES = RNG.normal(size=(2, 5, 5, 3))
COLS = _convkit.im2col(IMAGES, 2, 2, 1, 1)[0]
POOLED, ARGMAX = _convkit.maxpool_forward(IMAGES, 2, 1)
TREE = _nearix.KDTree(X2)
FLOAT32 = X2.astype(np.float32)
BIG_ENDIAN = X2.astype(">f8")
READ_ONLY = read_only(IMAGES)
INT32 = ARGMAX.astype(np.int32)
BAD_ARGMAX = np.full_like(ARGMAX, 9)


# (label, function, arguments, exception raised or None)
CALLS = [
    ("pairwise ok", _pairmetric.pairwise_distances, (X2, Y2), None),
    ("pairwise ok strided", _pairmetric.pairwise_manhattan_distances, (X2[::2], Y2.T.T), None),
    ("pairwise wrong type", _pairmetric.pairwise_squared_euclidean, (X2, [1.0]), TypeError),
    ("pairwise float32", _pairmetric.pairwise_distances, (FLOAT32, Y2), ValueError),
    ("pairwise big-endian", _pairmetric.pairwise_distances, (X2, BIG_ENDIAN), ValueError),
    ("pairwise ndim", _pairmetric.pairwise_distances, (X2, IMAGES), ValueError),
    ("pairwise columns", _pairmetric.pairwise_distances, (X2, Y2[:, :2]), ValueError),
    ("pairwise arity", _pairmetric.pairwise_distances, (X2,), TypeError),
    ("tree ok", _nearix.KDTree, (X2,), None),
    ("tree from list", _nearix.KDTree, (X2.tolist(),), None),
    ("tree NaN", _nearix.KDTree, (np.array([[np.nan]]),), ValueError),
    ("tree ndim", _nearix.KDTree, (X2[0],), ValueError),
    ("tree wrong type", _nearix.KDTree, (object(),), TypeError),
    ("query ok", TREE.query, (Y2, 3), None),
    ("query columns", TREE.query, (Y2[:, :2], 3), ValueError),
    ("query negative k", TREE.query, (Y2, -1), ValueError),
    ("query float k", TREE.query, (Y2, 2.5), TypeError),
    ("dtw ok", _warpalign.dtw_path, (TARGETS, X2[:, 0], 2), None),
    ("dtw ndim", _warpalign.dtw_path, (X2, TARGETS, 2), ValueError),
    ("dtw huge window", _warpalign.dtw_path, (TARGETS, TARGETS, 2**31), TypeError),
    ("classifier ok", _splitscan._best_split_classifier, (X2, LABELS, 1), None),
    ("classifier pure", _splitscan._best_split_classifier, (X2, np.zeros(6, np.int64), 1), None),
    ("classifier short y", _splitscan._best_split_classifier, (X2, LABELS[:3], 1), ValueError),
    ("classifier int32 y", _splitscan._best_split_classifier, (X2, INT32[0, 0, 0], 1), ValueError),
    ("classifier overflow", _splitscan._best_split_classifier, (X2, LABELS, 2**40), OverflowError),
    (
        "classifier raising __int__",
        _splitscan._best_split_classifier,
        (X2, LABELS, RAISING_INT),
        ValueError,
    ),
    (
        "classifier int subclass",
        _splitscan._best_split_classifier,
        (X2, LABELS, SUBCLASS_INT),
        DeprecationWarning,
    ),
    ("regressor ok", _splitscan._best_split_regressor, (X2, TARGETS, 1), None),
    ("regressor arity", _splitscan._best_split_regressor, (X2, TARGETS, 1, 2), TypeError),
    ("im2col ok", _convkit.im2col, (IMAGES, 2, 2, 1, 1), None),
    ("im2col in place", _convkit.im2col, (IMAGES, 3, 3), None),
    ("im2col read-only", _convkit.im2col, (READ_ONLY, 2, 2), ValueError),
    ("im2col window", _convkit.im2col, (IMAGES, 9, 2), ValueError),
    ("col2im ok", _convkit.col2im, (COLS, IMAGES.shape, 2, 2, 1, 1), None),
    ("col2im short shape", _convkit.col2im, (COLS, (2, 5), 2, 2, 1, 1), IndexError),
    ("col2im cols shape", _convkit.col2im, (COLS[1:], IMAGES.shape, 2, 2, 1, 1), ValueError),
    ("maxpool ok", _convkit.maxpool_forward, (IMAGES, 2, 1), None),
    ("maxpool stride", _convkit.maxpool_forward, (IMAGES, 2, 0), ValueError),
    ("maxpool backward ok", _convkit.maxpool_backward, (POOLED, ARGMAX, IMAGES.shape, 2, 1), None),
    (
        "maxpool backward index",
        _convkit.maxpool_backward,
        (POOLED, BAD_ARGMAX, IMAGES.shape, 2, 1),
        ValueError,
    ),
    (
        "maxpool backward int32",
        _convkit.maxpool_backward,
        (POOLED, INT32, IMAGES.shape, 2, 1),
        ValueError,
    ),
]

# What the frame modules take from NumPy at every call.
NUMPY_OBJECTS = [
    np,
    np.ndarray,
    np.float64,
    np.intp,
    np.int64,
    np.empty,
    np.zeros,
    np.unique,
    np.argsort,
    np.pad,
    np.ascontiguousarray,
]


def call_once(function, args, error):
    if error is None:
        function(*args)
        return
    with pytest.raises(error):
        function(*args)


def block_count():
    return sum(stat.count for stat in tracemalloc.take_snapshot().statistics("filename"))


# Calls that return a new object ("classifier pure" returns the module's one no-split tuple).
SUCCEEDING = [c[:3] for c in CALLS if c[3] is None and c[0] != "classifier pure"]


@pytest.mark.parametrize("label, function, args", SUCCEEDING, ids=[c[0] for c in SUCCEEDING])
def test_what_a_call_returns_holds_no_extra_reference(label, function, args):
    # Cheap enough for the quick run: a reference too many on a result shows at once.
    result = function(*args)
    assert sys.getrefcount(result) == 2  # `result` and the argument of getrefcount
    if type(result) is tuple:
        # the tuple, `item` and the argument; small ints are immortal
        assert all(sys.getrefcount(item) == 3 for item in result if not isinstance(item, int))


@pytest.mark.slow
@pytest.mark.parametrize("label, function, args, error", CALLS, ids=[c[0] for c in CALLS])
def test_repeated_calls_leak_no_reference_and_no_object(label, function, args, error):
    calls = 200
    for _ in range(100):  # warm caches and free lists
        call_once(function, args, error)
    watched = list(args) + NUMPY_OBJECTS
    gc.collect()
    references = [sys.getrefcount(obj) for obj in watched]
    growth = []
    tracemalloc.start()
    try:
        # Three rounds: a leak grows each by at least one block per call, while caches that fill
        # for a while after the warm-up (the binding layer's exception path on NumPy 1.26 and on
        # Python 3.13) grow less with every round.
        for _ in range(3):
            gc.collect()
            blocks, size = block_count(), tracemalloc.get_traced_memory()[0]
            for _ in range(calls):
                call_once(function, args, error)
            gc.collect()
            growth.append((block_count() - blocks, tracemalloc.get_traced_memory()[0] - size))
    finally:
        tracemalloc.stop()
    assert [sys.getrefcount(obj) for obj in watched] == references
    grown_blocks, grown_size = min(growth)
    assert grown_blocks < calls // 4, growth
    assert grown_size < 16 * 1024, growth


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


BIG = RNG.normal(size=(300, 40))
BIG_IMAGES = RNG.normal(size=(4, 40, 40, 8))
BIG_POOLED, BIG_ARGMAX = _convkit.maxpool_forward(BIG_IMAGES, 2, 2)

# Calls whose results or native scratch storage take a megabyte or so: a leak of either per call
# shows in the resident size.
BIG_CALLS = [
    ("pairwise", lambda: _pairmetric.pairwise_distances(BIG, BIG)),
    ("tree", lambda: _nearix.KDTree(RNG.normal(size=(40000, 2)))),
    ("query", lambda: _nearix.KDTree(BIG).query(BIG, 300)),
    ("dtw", lambda: _warpalign.dtw_path(BIG[:, 0].repeat(4), BIG[:, 1].repeat(4), 1200)),
    ("dtw refused", lambda: pytest.raises(ValueError, _warpalign.dtw_path, BIG, BIG[0], 1)),
    ("im2col", lambda: _convkit.im2col(BIG_IMAGES, 3, 3, 1, 1)),
    ("col2im", lambda: _convkit.col2im(np.ones((4 * 40 * 40, 72)), BIG_IMAGES.shape, 3, 3, 1, 1)),
    ("maxpool", lambda: _convkit.maxpool_forward(BIG_IMAGES, 2, 2)),
    (
        "maxpool backward",
        lambda: _convkit.maxpool_backward(BIG_POOLED, BIG_ARGMAX, BIG_IMAGES.shape, 2, 2),
    ),
    (
        "maxpool backward refused",
        lambda: pytest.raises(
            ValueError,
            _convkit.maxpool_backward,
            BIG_POOLED,
            BIG_ARGMAX + 9,
            BIG_IMAGES.shape,
            2,
            2,
        ),
    ),
]


@pytest.mark.slow
@pytest.mark.not_under_asan(reason="freed memory stays resident in AddressSanitizer's quarantine")
@pytest.mark.parametrize("label, call", BIG_CALLS, ids=[c[0] for c in BIG_CALLS])
def test_repeated_calls_keep_the_resident_size(label, call):
    for _ in range(5):
        call()
    gc.collect()
    before = resident_bytes()
    for _ in range(40):
        call()
    gc.collect()
    # Each of these calls allocates about a megabyte: 40 leaked would be 40 MB.
    assert resident_bytes() - before < 12 * 2**20
