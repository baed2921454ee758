"""Hostile inputs for every function and constructor of the five modules.

Each case ends either in the result that the same call gives on a plain C-contiguous copy of the
argument's values (itself checked against the references) or in the exception type the module
documents for it, and leaves every argument byte-for-byte as it was.
"""

import warnings

import hostile
import numpy as np
import pytest
import reference
import reference_convkit
import reference_nearix
import reference_splitscan
import reference_warpalign
from hostile import Outcome, count, outcome, same_outcome, same_snapshot, snapshot
from hypothesis import given, settings
from hypothesis import strategies as st
from support import RAISING_INT, SUBCLASS_INT, laid_out, same_value, unaligned

from quillbrax.accel import _convkit, _nearix, _pairmetric, _splitscan, _warpalign

# Each drawn case is cheap: five times the examples of the profile in use (see conftest.py).
BATTERY = settings(max_examples=5 * settings.default.max_examples)

RNG = np.random.default_rng(7)
Q0 = RNG.normal(size=(4, 2))


def build_and_query(X):
    return _nearix.KDTree(X).query(Q0, 3)


def query_tree(X):
    tree = _nearix.KDTree(X)
    return lambda Q, k: tree.query(Q, k)


X_TREE = RNG.normal(size=(6, 2))
TREE = _nearix.KDTree(X_TREE)
IMAGES = RNG.normal(size=(2, 5, 5, 2))
COLS, _, _ = reference_convkit.im2col(IMAGES, 2, 3, 1, 1)
POOLED, ARGMAX = reference_convkit.maxpool_forward(IMAGES, 2, 2)


class Function:
    """One public callable: its module, valid arguments, and how each argument is declared."""

    def __init__(self, module, name, call, args, arrays, ints=(), frame=True):
        self.module, self.name, self.call, self.args = module, name, call, tuple(args)
        self.arrays = arrays  # {position: (element dtype, number of dimensions)}
        self.ints = ints  # positions of integer parameters
        self.frame = frame  # the kernel module frame (else the pybind11 binding conventions)

    def __repr__(self):
        return f"{self.module}.{self.name}"

    def with_arg(self, i, value):
        args = list(self.args)
        args[i] = value
        return args


FUNCTIONS = [
    *(
        Function(
            "_pairmetric",
            name,
            getattr(_pairmetric, name),
            [RNG.normal(size=(4, 3)), RNG.normal(size=(5, 4))],
            {0: (np.float64, 2), 1: (np.float64, 2)},
        )
        for name in (
            "pairwise_squared_euclidean",
            "pairwise_distances",
            "pairwise_manhattan_distances",
        )
    ),
    Function("_nearix", "KDTree", build_and_query, [X_TREE], {0: (None, 2)}, frame=False),
    Function("_nearix", "KDTree.query", TREE.query, [Q0, 3], {0: (None, 2)}, [1], frame=False),
    Function(
        "_warpalign",
        "dtw_path",
        _warpalign.dtw_path,
        [RNG.normal(size=5), RNG.normal(size=7), 2],
        {0: (None, 1), 1: (None, 1)},
        [2],
        frame=False,
    ),
    Function(
        "_splitscan",
        "_best_split_classifier",
        _splitscan._best_split_classifier,
        [RNG.normal(size=(8, 2)), RNG.integers(0, 3, size=8), 1],
        {0: (np.float64, 2), 1: (np.int64, 1)},
        [2],
    ),
    Function(
        "_splitscan",
        "_best_split_regressor",
        _splitscan._best_split_regressor,
        [RNG.normal(size=(8, 2)), RNG.normal(size=8), 1],
        {0: (np.float64, 2), 1: (np.float64, 1)},
        [2],
    ),
    Function(
        "_convkit",
        "im2col",
        _convkit.im2col,
        [IMAGES, 2, 3, 1, 1],
        {0: (np.float64, 4)},
        [1, 2, 3, 4],
    ),
    Function(
        "_convkit",
        "col2im",
        _convkit.col2im,
        [COLS, IMAGES.shape, 2, 3, 1, 1],
        {0: (np.float64, 2)},
        [2, 3, 4, 5],
    ),
    Function(
        "_convkit",
        "maxpool_forward",
        _convkit.maxpool_forward,
        [IMAGES, 2, 2],
        {0: (np.float64, 4)},
        [1, 2],
    ),
    Function(
        "_convkit",
        "maxpool_backward",
        _convkit.maxpool_backward,
        [RNG.normal(size=POOLED.shape), ARGMAX, IMAGES.shape, 2, 2],
        {0: (np.float64, 4), 1: (np.intp, 4)},
        [3, 4],
    ),
]

ARRAY_PARAMETERS = [(f, i) for f in FUNCTIONS for i in f.arrays]
INT_PARAMETERS = [(f, i) for f in FUNCTIONS for i in f.ints]


def checked_call(function, args):
    """Calls with snapshots taken before and compared after; returns the outcome."""
    before = [snapshot(a) for a in args]
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        got = outcome(function.call, *args)
    for position, (a, b) in enumerate(zip(before, [snapshot(a) for a in args])):
        assert same_snapshot(a, b), f"{function} changed argument {position}: " + str(
            [(x, y) for x, y in zip(a, b) if x != y]
        )
    count(function.module)
    return got


def clean_outcome(function, args):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        return outcome(function.call, *args)


def test_valid_arguments_succeed():
    for function in FUNCTIONS:
        got = checked_call(function, function.args)
        assert got.error is None, f"{function}: {got}"


def _expected_for_array(function, i, variant):
    """The outcome the call must have, and the other outcomes also allowed."""
    dtype, ndim = function.arrays[i]
    if not function.frame:
        # Cast to float64 by the binding layer; what cannot be cast is its TypeError.
        if variant.values is None:
            return Outcome(error=TypeError), []
        return clean_outcome(function, function.with_arg(i, variant.values)), []
    if not variant.ndarray:
        return Outcome(error=TypeError), []
    if (
        variant.dtype != np.dtype(dtype)
        or variant.dtype.byteorder == ">"
        or variant.value.ndim != ndim
    ):
        return Outcome(error=ValueError), []
    values = np.array(variant.value, dtype=dtype, order="C", copy=True)
    expected = clean_outcome(function, function.with_arg(i, values))
    allowed = []
    if function.module == "_convkit" and not variant.value.flags.writeable:
        allowed.append(Outcome(error=ValueError))  # viewed in place, which needs write access
    if not variant.plain:
        allowed += [Outcome(error=ValueError), Outcome(error=TypeError)]
    return expected, allowed


@pytest.mark.parametrize("function, i", ARRAY_PARAMETERS, ids=lambda v: str(v))
def test_array_arguments(function, i):
    failures = []
    for variant in hostile.array_variants(function.args[i]):
        expected, allowed = _expected_for_array(function, i, variant)
        got = checked_call(function, function.with_arg(i, variant.value))
        if not same_outcome(got, expected) and not any(same_outcome(got, a) for a in allowed):
            failures.append(f"{variant.label}: {got}, expected {expected}")
    assert not failures, f"{function} argument {i}:\n" + "\n".join(failures)


@pytest.mark.parametrize("function, i", INT_PARAMETERS, ids=lambda v: str(v))
def test_integer_arguments(function, i):
    failures = []
    convert = hostile.frame_int32 if function.frame else hostile.binding_int32
    for label, value in hostile.INTEGERS:
        model = convert(value)
        if isinstance(model, type):
            expected = Outcome(error=model)
        else:
            expected = clean_outcome(function, function.with_arg(i, model))
        got = checked_call(function, function.with_arg(i, value))
        if not same_outcome(got, expected):
            failures.append(f"{label}: {got}, expected {expected}")
    assert not failures, f"{function} argument {i}:\n" + "\n".join(failures)


class ShortIndexable:
    def __getitem__(self, i):
        if i > 1:
            raise IndexError(i)
        return 2


SHAPES = [
    ("list", lambda s: list(s)),
    ("array", lambda s: np.array(s)),
    ("intp array", lambda s: np.array(s, dtype=np.intp)),
    ("float items", lambda s: tuple(float(v) + 0.5 for v in s)),
    ("numpy items", lambda s: tuple(np.int32(v) for v in s)),
    ("five items", lambda s: tuple(s) + (7,)),
    ("three items", lambda s: tuple(s)[:3]),
    ("empty", lambda s: ()),
    ("None", lambda s: None),
    ("str", lambda s: "abcd"),
    ("dict", lambda s: {0: 1}),
    ("short indexable", lambda s: ShortIndexable()),
    ("negative item", lambda s: (-s[0],) + tuple(s)[1:]),
    ("zero item", lambda s: (0,) + tuple(s)[1:]),
    ("huge item", lambda s: (2**62,) + tuple(s)[1:]),
    ("beyond 64 bits", lambda s: (2**64,) + tuple(s)[1:]),
    ("huge spatial", lambda s: (s[0], 2**62, 2**62, s[3])),
    ("other channels", lambda s: tuple(s)[:3] + (s[3] + 1,)),
    ("other height", lambda s: (s[0], s[1] + 1) + tuple(s)[2:]),
    ("object items", lambda s: (object(),) + tuple(s)[1:]),
    ("raising items", lambda s: (RAISING_INT,) + tuple(s)[1:]),
    ("int-subclass items", lambda s: (SUBCLASS_INT,) + tuple(s)[1:]),
]


def _shape_model(shape):
    """The four extents that indexing and 64-bit conversion make of `shape`, or an exception."""
    items = []
    for k in range(4):
        try:
            item = shape[k]
        except Exception as e:
            return type(e)
        if isinstance(item, np.ndarray) or isinstance(item, int) and type(item) is int:
            value = int(item)
        else:
            slot = getattr(type(item), "__int__", None)
            if slot is None:
                return TypeError
            try:
                value = slot(item)
            except Exception as e:
                return type(e)
            if type(value) is not int:
                return DeprecationWarning if isinstance(value, int) else TypeError
        if not -(2**63) <= value < 2**63:
            return OverflowError
        items.append(value)
    return tuple(items)


@pytest.mark.parametrize(
    "function", [f for f in FUNCTIONS if f.name in ("col2im", "maxpool_backward")], ids=str
)
def test_shape_arguments(function):
    i = 1 if function.name == "col2im" else 2
    failures = []
    for label, make in SHAPES:
        shape = make(IMAGES.shape)
        model = _shape_model(shape)
        if isinstance(model, type):
            expected = Outcome(error=model)
        else:
            expected = clean_outcome(function, function.with_arg(i, model))
        got = checked_call(function, function.with_arg(i, shape))
        if not same_outcome(got, expected):
            failures.append(f"{label}: {got}, expected {expected}")
    assert not failures, f"{function}:\n" + "\n".join(failures)


# ---------------------------------------------------------------------------------------------
# Shapes and values drawn by hypothesis, against the references.

LAYOUTS = ["C", "reversed", "spread", "fortran", "read-only", "unaligned", "broadcast"]


ELEMENTS = st.one_of(
    st.floats(-8, 8, width=16),
    st.sampled_from([0.0, -0.0, np.nan, np.inf, -np.inf, 1e308, -1e308, 5e-324]),
)


def matrix(shape, data, layout, nan=True):
    values = st.floats(-8, 8, width=16) if not nan else ELEMENTS
    flat = data.draw(st.lists(values, min_size=int(np.prod(shape)), max_size=int(np.prod(shape))))
    return laid_out(np.array(flat, dtype=np.float64).reshape(shape), layout)


@pytest.fixture(autouse=True)
def quiet_references():
    # The references overflow to infinity as IEEE arithmetic does; NumPy would warn about it.
    with np.errstate(all="ignore"):
        yield


def run(function, args, expected):
    got = checked_call(function, args)
    assert same_outcome(got, expected), f"{function}: {got}, expected {expected}"


def fn(name):
    return next(f for f in FUNCTIONS if f.name == name)


@pytest.mark.slow
@BATTERY
@given(
    n=st.integers(0, 4),
    m=st.integers(0, 4),
    d=st.integers(0, 3),
    extra=st.integers(-2, 2),
    layouts=st.tuples(st.sampled_from(LAYOUTS), st.sampled_from(LAYOUTS)),
    data=st.data(),
)
def test_pairwise_shapes_and_layouts(n, m, d, extra, layouts, data):
    X = matrix((n, d), data, layouts[0])
    Y = matrix((m, max(0, d + extra)), data, layouts[1])
    for name, metric in [
        ("pairwise_squared_euclidean", "squared"),
        ("pairwise_distances", "euclidean"),
        ("pairwise_manhattan_distances", "manhattan"),
    ]:
        if Y.shape[1] < d:
            expected = Outcome(error=ValueError)
        else:
            expected = Outcome(value=reference.pairwise(X, Y[:, :d], metric))
        run(fn(name), [X, Y], expected)


@pytest.mark.slow
@BATTERY
@given(
    n=st.integers(0, 6),
    d=st.integers(0, 3),
    nq=st.integers(0, 3),
    dq=st.integers(0, 3),
    k=st.integers(-2, 8),
    layouts=st.tuples(st.sampled_from(LAYOUTS), st.sampled_from(LAYOUTS)),
    data=st.data(),
)
def test_tree_shapes_and_layouts(n, d, nq, dq, k, layouts, data):
    X = matrix((n, d), data, layouts[0], nan=data.draw(st.booleans()))
    Q = matrix((nq, dq), data, layouts[1])
    builds = not (d == 0 and n >= 2) and not np.isnan(X).any()
    if not builds:
        run(fn("KDTree"), [X], Outcome(error=ValueError))
        return
    tree = _nearix.KDTree(X)
    query = Function("_nearix", "KDTree.query", tree.query, [Q, k], {}, frame=False)
    if dq != d or k < 0:
        run(query, [Q, k], Outcome(error=ValueError))
        return
    got = checked_call(query, [Q, k])
    assert got.error is None, got
    indices, distances = got.value
    # Which of equally distant samples is reported depends on the tree's shape for duplicates,
    # which is not fixed; each index must still be distinct and at its reported distance, and the
    # distances those of the reference unless some are NaN (inf - inf), which orders nothing.
    _, want = reference_nearix.tree_search(np.array(X), np.array(Q), k)
    unordered = any(
        dist != dist
        for row in reference_nearix.brute_force(np.array(X), np.array(Q), n)
        for dist, _ in row
    )
    if not unordered:
        assert same_value(distances, np.array(want, dtype=np.float64).reshape(nq, min(k, n)))
    for q, row, row_distances in zip(np.array(Q), indices, distances):
        assert len(set(row.tolist())) == len(row)
        for i, dist in zip(row, row_distances):
            assert same_value(reference_nearix.squared_distance(q, np.array(X)[i]), float(dist))


@pytest.mark.slow
@BATTERY
@given(
    n=st.integers(0, 6),
    m=st.integers(0, 6),
    window=st.integers(-3, 8),
    layouts=st.tuples(st.sampled_from(LAYOUTS), st.sampled_from(LAYOUTS)),
    data=st.data(),
)
def test_dtw_shapes_and_layouts(n, m, window, layouts, data):
    x = matrix((n,), data, layouts[0])
    y = matrix((m,), data, layouts[1])
    path, cost = reference_warpalign.dtw_path(x, y, window)
    expected = Outcome(value=(np.array(path, dtype=np.int32).reshape(len(path), 2), cost))
    run(fn("dtw_path"), [x, y, window], expected)


@pytest.mark.slow
@BATTERY
@given(
    n=st.integers(0, 6),
    m=st.integers(0, 3),
    extra=st.integers(-2, 2),
    min_samples_leaf=st.integers(-2, 4),
    layout=st.sampled_from(LAYOUTS),
    data=st.data(),
)
def test_split_shapes_and_layouts(n, m, extra, min_samples_leaf, layout, data):
    X = matrix((n, m), data, layout)
    length = max(0, n + extra)
    labels = np.array(
        data.draw(st.lists(st.integers(-2, 2), min_size=length, max_size=length)), dtype=np.int64
    )
    targets = matrix((length,), data, data.draw(st.sampled_from(LAYOUTS)))
    for name, y, ref in [
        ("_best_split_classifier", labels, reference_splitscan.best_split_classifier),
        ("_best_split_regressor", targets, reference_splitscan.best_split_regressor),
    ]:
        if length < n:
            expected = Outcome(error=ValueError)
        else:
            expected = Outcome(value=ref(np.array(X), np.array(y), min_samples_leaf))
        run(fn(name), [X, y, min_samples_leaf], expected)


def in_place_read_only(a):
    """_convkit views a C-contiguous float64 array in place, which needs write access."""
    return a.flags.c_contiguous and not a.flags.writeable


def _patch_fits(H, W, kh, kw, stride, pad):
    return kh >= 0 and kw >= 0 and stride >= 1 and kh <= H + 2 * pad and kw <= W + 2 * pad


@pytest.mark.slow
@BATTERY
@given(
    shape=st.tuples(st.integers(0, 2), st.integers(0, 5), st.integers(0, 5), st.integers(0, 2)),
    kh=st.integers(-1, 4),
    kw=st.integers(-1, 4),
    stride=st.integers(-1, 3),
    pad=st.integers(-2, 2),
    layout=st.sampled_from(LAYOUTS),
    data=st.data(),
)
def test_patches_shapes_and_layouts(shape, kh, kw, stride, pad, layout, data):
    N, H, W, C = shape
    X = matrix(shape, data, layout)
    fits = _patch_fits(H, W, kh, kw, stride, pad)
    if not fits:
        expected = Outcome(error=ValueError)
    else:
        cols, OH, OW = reference_convkit.im2col(X, kh, kw, stride, pad)
        expected = Outcome(value=(cols, OH, OW))
    got = checked_call(fn("im2col"), [X, kh, kw, stride, pad])
    if not same_outcome(got, expected) and in_place_read_only(X) and pad <= 0:
        expected = Outcome(error=ValueError)  # viewed in place, which needs write access
    assert same_outcome(got, expected), f"im2col: {got}, expected {expected}"
    if fits:
        rows = N * OH * OW + data.draw(st.sampled_from([0, 0, -1, 1]))
        columns = kh * kw * C + data.draw(st.sampled_from([0, 0, -1, 1]))
        cols = matrix(
            (max(rows, 0), max(columns, 0)),
            data,
            data.draw(st.sampled_from(["C", "reversed", "spread", "broadcast"])),
        )
        if cols.shape != (N * OH * OW, kh * kw * C):
            expected = Outcome(error=ValueError)
        else:
            expected = Outcome(
                value=np.ascontiguousarray(
                    reference_convkit.col2im(cols, shape, kh, kw, stride, pad)
                )
            )
        got = checked_call(fn("col2im"), [cols, shape, kh, kw, stride, pad])
        if not cols.flags.writeable:
            expected = Outcome(error=ValueError)  # viewed in place, which needs write access
        if got.error is None:
            got = Outcome(value=np.ascontiguousarray(got.value))
        assert same_outcome(got, expected), f"col2im: {got}, expected {expected}"


@pytest.mark.slow
@BATTERY
@given(
    shape=st.tuples(st.integers(0, 2), st.integers(0, 5), st.integers(0, 5), st.integers(0, 2)),
    k=st.integers(-1, 4),
    stride=st.integers(-1, 3),
    layout=st.sampled_from(LAYOUTS),
    grad_change=st.sampled_from([None, None, 0, 1, 2, 3]),
    bad_index=st.booleans(),
    data=st.data(),
)
def test_pooling_shapes_and_layouts(shape, k, stride, layout, grad_change, bad_index, data):
    N, H, W, C = shape
    X = matrix(shape, data, layout)
    fits = 1 <= k <= min(H, W) and stride >= 1
    expected = (
        Outcome(value=reference_convkit.maxpool_forward(X, k, stride))
        if fits
        else Outcome(error=ValueError)
    )
    got = checked_call(fn("maxpool_forward"), [X, k, stride])
    if not same_outcome(got, expected) and in_place_read_only(X):
        expected = Outcome(error=ValueError)
    assert same_outcome(got, expected), f"maxpool_forward: {got}, expected {expected}"
    if not fits:
        return
    out, argmax = reference_convkit.maxpool_forward(np.array(X), k, stride)
    grad_shape = list(out.shape)
    if grad_change is not None:
        grad_shape[grad_change] += 1
    grad = matrix(tuple(grad_shape), data, data.draw(st.sampled_from(LAYOUTS)))
    argmax = argmax.copy()
    if bad_index and argmax.size:
        argmax.flat[data.draw(st.integers(0, argmax.size - 1))] = data.draw(
            st.sampled_from([-1, k * k, 2**62, -(2**63)])
        )
    valid = grad_change is None and not (bad_index and argmax.size)
    if valid:
        expected = Outcome(value=reference_convkit.maxpool_backward(grad, argmax, shape, k, stride))
    else:
        expected = Outcome(error=ValueError)
    got = checked_call(fn("maxpool_backward"), [grad, argmax, shape, k, stride])
    if not same_outcome(got, expected) and in_place_read_only(grad):
        expected = Outcome(error=ValueError)
    assert same_outcome(got, expected), f"maxpool_backward: {got}, expected {expected}"


def test_value_comparison_tells_results_apart():
    # The oracle itself: bits, types and exception types all count.
    assert not same_value(np.array([0.0]), np.array([-0.0]))
    assert same_value(np.array([np.nan]), np.array([np.nan]))
    assert not same_value((1, 2.0), (1, 2))
    assert not same_outcome(Outcome(error=TypeError), Outcome(error=ValueError))
    a = np.zeros(3)
    before = snapshot(a[::2])
    a[1] = 1.0  # outside the view, inside its buffer
    assert not same_snapshot(before, snapshot(a[::2]))


UNALIGNED_CALLS = [
    ("pairwise_distances", lambda a: _pairmetric.pairwise_distances(a(4, 3), a(5, 3))),
    ("_best_split_regressor", lambda a: _splitscan._best_split_regressor(a(8, 2), a(8), 1)),
    ("im2col", lambda a: _convkit.im2col(a(2, 4, 4, 3), 2, 2, 1, 0)),
    ("maxpool_forward", lambda a: _convkit.maxpool_forward(a(2, 4, 4, 3), 2, 1)),
    ("col2im", lambda a: _convkit.col2im(a(18, 12), (2, 4, 4, 3), 2, 2, 1, 0)),
    (
        "maxpool_backward",
        lambda a: _convkit.maxpool_backward(
            a(2, 3, 3, 3), np.zeros((2, 3, 3, 3), np.intp), (2, 4, 4, 3), 2, 1
        ),
    ),
]


@pytest.mark.parametrize("name, call", UNALIGNED_CALLS, ids=[c[0] for c in UNALIGNED_CALLS])
def test_unaligned_arrays_are_read_where_they_are(name, call):
    # An array at an odd byte offset is a valid float64 array. The kernels once read it through
    # pointers to double, undefined behaviour that the sanitizer build reports.
    values = {}

    def make(aligned):
        def array(*shape):
            key = shape
            if key not in values:
                values[key] = RNG.normal(size=shape)
            return values[key].copy() if aligned else unaligned(values[key])

        return array

    odd = make(False)
    assert not odd(3).flags.aligned
    assert same_value(call(odd), call(make(True)))
