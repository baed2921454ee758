"""Faults injected where the modules depend on something outside themselves: every NumPy function
a frame module calls, replaced in turn by one that raises or hands back something unfit, `np`
missing, and allocations too large to succeed. Each fault surfaces as its own exception or as the
frame's refusal with its message and traceback entry, leaks nothing, and leaves the module
working."""

import builtins
import gc
import sys

import numpy as np
import pytest
from support import FakeNumpy, entry, module_frames, native_frames, read_only, same_value

from quillbrax.accel import _convkit, _nearix, _pairmetric, _splitscan, _warpalign

RNG = np.random.default_rng(5)
X = RNG.normal(size=(6, 3))
LABELS = np.array([0, 1, 2, 1, 0, 2])
IMAGES = RNG.normal(size=(2, 5, 5, 3))
COLS = _convkit.im2col(IMAGES, 2, 2, 1, 1)[0]
POOLED, ARGMAX = _convkit.maxpool_forward(IMAGES, 2, 1)

# (label, module, call, NumPy functions the call reaches through the module's `np`)
CALLS = [
    ("pairwise_distances", _pairmetric, lambda: _pairmetric.pairwise_distances(X, X), ["empty"]),
    (
        "_best_split_classifier",
        _splitscan,
        lambda: _splitscan._best_split_classifier(X, LABELS, 1),
        ["unique", "zeros", "argsort"],
    ),
    (
        "_best_split_regressor",
        _splitscan,
        lambda: _splitscan._best_split_regressor(X, X[:, 0].copy(), 1),
        ["argsort"],
    ),
    (
        "im2col padded",
        _convkit,
        lambda: _convkit.im2col(IMAGES, 2, 2, 1, 1),
        ["ascontiguousarray", "pad", "empty"],
    ),
    (
        "im2col strided",
        _convkit,
        lambda: _convkit.im2col(IMAGES[:, ::-1], 2, 2, 1, 0),
        ["ascontiguousarray", "empty"],
    ),
    ("col2im", _convkit, lambda: _convkit.col2im(COLS, IMAGES.shape, 2, 2, 1, 1), ["zeros"]),
    (
        "maxpool_forward",
        _convkit,
        lambda: _convkit.maxpool_forward(IMAGES[:, :, ::-1], 2, 1),
        ["empty", "ascontiguousarray"],
    ),
    (
        "maxpool_backward",
        _convkit,
        lambda: _convkit.maxpool_backward(POOLED[::-1], ARGMAX[::-1], IMAGES.shape, 2, 1),
        ["zeros", "ascontiguousarray"],
    ),
]


class Injected(Exception):
    pass


def _add_axis(a):
    return a[..., None]


def _shorter(a):
    return a[:-1] if a.ndim and len(a) else a[..., None]


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
    ("returns read-only", read_only, "read-only"),
]


def faulty(name, fault, error):
    """np, with `name` raising `error` (fault None) or handing back fault(NumPy's result)."""
    real = getattr(np, name)

    def replacement(*args, **kwargs):
        if fault is None:
            raise error("injected")
        return fault(real(*args, **kwargs))

    return FakeNumpy(**{name: replacement})


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


@pytest.mark.slow
@pytest.mark.parametrize(
    "call, name, fault", CASES, ids=[f"{c[0]}-{n}-{f[0]}" for c, n, f in CASES]
)
def test_numpy_faults_surface_and_leave_the_module_working(monkeypatch, call, name, fault):
    label, module, run, _ = call
    fault_label, replace, error = fault
    clean = run()
    expected = _expected(label, module, name, fault_label, error)
    fake = faulty(name, replace, error if replace is None else None)
    watched = [X, LABELS, IMAGES, COLS, POOLED, ARGMAX, np, fake]

    def once():
        if expected is None:
            assert same_value(run(), clean)
        else:
            with pytest.raises(expected):
                run()

    with monkeypatch.context() as patch:
        patch.setattr(module, "np", fake)
        once()  # NumPy keeps references of its own from the first call of some functions
        gc.collect()
        references = [sys.getrefcount(obj) for obj in watched]
        for _ in range(20):
            once()
        gc.collect()
        assert [sys.getrefcount(obj) for obj in watched] == references
    assert fake.calls[name] >= 21, f"{label} never called np.{name}"
    assert module.np is np
    assert same_value(run(), clean)


# ---------------------------------------------------------------------------------------------
# What each frame module reports when np fails it: the message, and one traceback entry of the
# module, at the line of the statement.

P_X, P_Y = np.ones((2, 3)), np.zeros((4, 3))
S_X = np.array([[1.0], [2.0], [3.0], [4.0]])
S_LABELS, S_TARGETS = np.array([0, 0, 1, 1]), np.array([1.0, 1.0, 3.0, 3.0])
C_X = np.random.default_rng(9).standard_normal((2, 4, 5, 3))
C_OUT, C_ARGMAX = _convkit.maxpool_forward(np.ones((1, 4, 5, 2)), 2, 2)  # (1, 2, 2, 2)
F32_MESSAGE = "Buffer dtype mismatch, expected 'DTYPE_t' but got 'float'"
LIST_MESSAGE = "Cannot convert list to numpy.ndarray"


def raising(error, message):
    def replacement(*args, **kwargs):
        raise error(message)

    return replacement


def smaller(function):
    return lambda *args, **kwargs: function(*args, **kwargs)[..., :-1]


def pairwise(name):
    return (_pairmetric, name, lambda: getattr(_pairmetric, name)(P_X, P_Y))


def classify():
    return (
        _splitscan,
        "_best_split_classifier",
        lambda: _splitscan._best_split_classifier(S_X, S_LABELS, 1),
    )


def regress():
    return (
        _splitscan,
        "_best_split_regressor",
        lambda: _splitscan._best_split_regressor(S_X, S_TARGETS, 1),
    )


def convkit(name, *args):
    return (_convkit, name, lambda: getattr(_convkit, name)(*args))


# (module, function, call), np function replaced, replacement, exception, message (None:
# NumPy's own), line of the traceback entry
REPORTS = [
    *(
        (pairwise(name), "empty", replacement, error, message, line)
        for name, line in [
            ("pairwise_squared_euclidean", 16),
            ("pairwise_distances", 35),
            ("pairwise_manhattan_distances", 54),
        ]
        for replacement, error, message in [
            (raising(MemoryError, "no room"), MemoryError, "no room"),
            (lambda shape, dtype: [[0.0] * 4] * 2, TypeError, LIST_MESSAGE),
            (lambda shape, dtype: np.empty(shape, np.float32), ValueError, F32_MESSAGE),
            (
                lambda shape, dtype: np.empty((shape[0], shape[1] - 1), dtype),
                ValueError,
                "np.empty gave an array that is not of shape (2, 4)",
            ),
            (
                lambda shape, dtype: None,
                ValueError,
                "np.empty gave an array that is not of shape (2, 4)",
            ),
            (lambda shape, dtype: read_only(np.empty(shape, dtype)), ValueError, None),
        ]
    ),
    *(
        (call, "argsort", replacement, error, message, line)
        for call, line in [(classify(), 50), (regress(), 101)]
        for replacement, error, message in [
            (raising(RuntimeError, "argsort refused"), RuntimeError, "argsort refused"),
            (
                lambda column: np.array([0, 1, 2, 4]),
                IndexError,
                "np.argsort gave row index 4 at position 3, out of bounds for 4 rows",
            ),
            (
                lambda column: np.array([-1, 1, 2, 3]),
                IndexError,
                "np.argsort gave row index -1 at position 0, out of bounds for 4 rows",
            ),
            (
                lambda column: np.array([0, 1, 2]),
                ValueError,
                "np.argsort gave an order of length 3 for a column of 4 rows",
            ),
            (
                lambda column: np.arange(4, dtype=np.int32),
                ValueError,
                "Buffer dtype mismatch, expected 'ITYPE_t' but got 'int'",
            ),
            (
                lambda column: np.zeros((4, 1), dtype=np.intp),
                ValueError,
                "Buffer has wrong number of dimensions (expected 1, got 2)",
            ),
            (lambda column: [0, 1, 2, 3], TypeError, LIST_MESSAGE),
        ]
    ),
    (
        classify(),
        "unique",
        lambda y: np.unique(y).astype(float),
        ValueError,
        "Buffer dtype mismatch, expected 'INT_t' but got 'double'",
        28,
    ),
    (classify(), "unique", lambda y: np.unique(y)[1:], KeyError, "0", 36),
    (
        classify(),
        "zeros",
        lambda count, dtype: np.zeros(count + 1, dtype),
        ValueError,
        "np.zeros gave an array of length 3, not 2",
        34,
    ),
    (
        classify(),
        "zeros",
        lambda count, dtype: np.zeros(count, np.float32),
        ValueError,
        F32_MESSAGE,
        34,
    ),
    (
        convkit("im2col", C_X, 2, 2),
        "ascontiguousarray",
        smaller(np.ascontiguousarray),
        ValueError,
        "np.ascontiguousarray gave an array that is not of shape (2, 4, 5, 3)",
        26,
    ),
    (
        convkit("im2col", C_X, 2, 2, 1, 2),
        "pad",
        smaller(np.pad),
        ValueError,
        "np.pad gave an array that is not of shape (2, 8, 9, 3)",
        26,
    ),
    (
        convkit("im2col", C_X, 2, 2),
        "empty",
        smaller(np.empty),
        ValueError,
        "np.empty gave an array that is not of shape (24, 12)",
        31,
    ),
    (
        convkit("im2col", C_X, 2, 2),
        "ascontiguousarray",
        lambda a, dtype: np.zeros(3),
        ValueError,
        "Buffer has wrong number of dimensions (expected 4, got 1)",
        26,
    ),
    (
        convkit("im2col", C_X, 2, 2),
        "empty",
        lambda shape, dtype: [0.0] * shape[0],
        TypeError,
        LIST_MESSAGE,
        31,
    ),
    *(
        (
            convkit("col2im", np.ones((24, 12)), C_X.shape, 2, 2),
            "zeros",
            replacement,
            error,
            message,
            57,
        )
        for replacement, error, message in [
            (
                smaller(np.zeros),
                ValueError,
                "np.zeros gave an array that is not of shape (2, 4, 5, 3)",
            ),
            (
                lambda shape, dtype: None,
                ValueError,
                "np.zeros gave an array that is not of shape (2, 4, 5, 3)",
            ),
            (
                lambda shape, dtype: read_only(np.zeros(shape, dtype)),
                ValueError,
                "buffer source array is read-only",
            ),
        ]
    ),
    (
        convkit("maxpool_forward", C_X, 2, 2),
        "empty",
        lambda shape, dtype: np.empty((1, 1, 1, 1), dtype),
        ValueError,
        "np.empty gave an array that is not of shape (2, 2, 2, 3)",
        87,
    ),
    (
        convkit("maxpool_forward", C_X, 2, 2),
        "empty",
        lambda shape, dtype: np.empty(shape, np.float64),
        ValueError,
        "Buffer dtype mismatch, expected 'ITYPE_t' but got 'double'",
        88,
    ),
    (
        convkit("maxpool_forward", C_X, 2, 2),
        "ascontiguousarray",
        lambda a, dtype: np.ascontiguousarray(a[:1], dtype),
        ValueError,
        "np.ascontiguousarray gave an array that is not of shape (2, 4, 5, 3)",
        86,
    ),
    (
        convkit("maxpool_forward", C_X, 2, 2),
        "empty",
        raising(MemoryError, "no room"),
        MemoryError,
        "no room",
        82,
    ),
    (
        convkit("maxpool_backward", C_OUT, C_ARGMAX, (1, 4, 5, 2), 2, 2),
        "ascontiguousarray",
        lambda a, dtype: np.ascontiguousarray(a, dtype)[:, :1],
        ValueError,
        "np.ascontiguousarray gave an array that is not of shape (1, 2, 2, 2)",
        126,
    ),
    (
        convkit("maxpool_backward", C_OUT, C_ARGMAX, (1, 4, 5, 2), 2, 2),
        "zeros",
        lambda shape, dtype: np.zeros((1, 2, 2, 2)),
        ValueError,
        "np.zeros gave an array that is not of shape (1, 4, 5, 2)",
        125,
    ),
]


def only_entry_of(exc, module, name, line):
    """The failure passed through exactly one entry of the module, above whatever np ran."""
    frames = [f for f in native_frames(exc) if f[0] != __file__]  # not this file's lambdas
    return frames[:1] == [entry(module, name, line)] == module_frames(exc, module)


@pytest.mark.parametrize(
    "call, name, replacement, error, message, line",
    REPORTS,
    ids=[f"{r[0][1]}-{r[1]}-{i}" for i, r in enumerate(REPORTS)],
)
def test_numpy_faults_report_their_message_and_line(
    monkeypatch, call, name, replacement, error, message, line
):
    module, function, run = call
    monkeypatch.setattr(module, "np", FakeNumpy(**{name: replacement}))
    with pytest.raises(error) as caught:
        run()
    if message is not None:
        assert str(caught.value) == message
    assert only_entry_of(caught.value, module, function, line)


@pytest.mark.parametrize(
    "search, y", [("_best_split_classifier", S_LABELS), ("_best_split_regressor", S_TARGETS)]
)
def test_an_order_rewritten_once_np_argsort_returned_is_refused(monkeypatch, search, y):
    # The column X[:, j] that np.argsort sorted is released after the call, and its __del__ (X's
    # subclass) writes a row far outside X into the order: refused as any bad order is, never
    # read (it was read once checked, out of bounds).
    orders = []

    class RewritesOrder(np.ndarray):
        def __del__(self):
            if orders:
                orders[-1][0] = 10**9

    def argsort(column):
        orders.append(np.argsort(np.asarray(column)))
        return orders[-1]

    monkeypatch.setattr(_splitscan, "np", FakeNumpy(argsort=argsort))
    with pytest.raises(IndexError, match="row index 1000000000 at position 0, out of bounds"):
        getattr(_splitscan, search)(S_X.view(RewritesOrder), y, 1)


class _ViewA(np.ndarray):
    pass


class _ViewB(np.ndarray):
    pass


class _ViewC(np.ndarray):
    pass


class _Exports:
    # An object that exports another's buffer: its memoryview's exporter is a wrapper that
    # Python puts between the view and the array.
    def __init__(self, array):
        self.array = array

    def __buffer__(self, flags):
        return memoryview(self.array)


def _viewed(X, how):
    """X itself, or an array viewing X's memory through intermediate objects."""
    if how == "12 views":
        for k in range(12):
            X = X.view((_ViewA, _ViewB, _ViewC)[k % 3])
        return X
    if how == "as_strided":
        return np.lib.stride_tricks.as_strided(X, X.shape, X.strides)
    if how == "memoryview":
        return np.asarray(memoryview(X))
    if how == "__buffer__":
        return np.asarray(_Exports(X))
    return X


@pytest.mark.parametrize("freed_by", ["np.ascontiguousarray", "the caller"])
def test_a_view_of_freed_memory_is_refused(monkeypatch, freed_by):
    # np.empty gives a view of V, then Python code (a later np function, or the caller before the
    # call) reallocates V: the view points at freed memory when the body acquires it, which is
    # refused rather than written. A plain argument in the same state is refused alike.
    V = np.zeros(2 * 2 * 2 * 3)
    real_empty, real_contiguous = np.empty, np.ascontiguousarray

    def empty(shape, dtype=None):
        return V[:].reshape(shape) if dtype is np.float64 else real_empty(shape, dtype=dtype)

    def ascontiguousarray(a, dtype=None):
        V.resize(10**6, refcheck=False)
        return real_contiguous(a, dtype=dtype)

    if freed_by == "the caller":
        X = V[:].reshape(2, 2, 2, 3)
        V.resize(10**6, refcheck=False)
        call = lambda: _convkit.maxpool_forward(X, 1, 1)  # noqa: E731
    else:
        monkeypatch.setattr(
            _convkit, "np", FakeNumpy(empty=empty, ascontiguousarray=ascontiguousarray)
        )
        call = lambda: _convkit.maxpool_forward(C_X, 2, 2)  # noqa: E731
    with pytest.raises(ValueError, match=r"outside the memory of the array it views \(reallo"):
        call()


@pytest.mark.parametrize(
    "call",
    [
        lambda A: _pairmetric.pairwise_distances(A, P_Y[:, :2]),
        lambda A: _splitscan._best_split_regressor(A, S_TARGETS, 1),
        lambda A: _warpalign.dtw_path(A[:, 0], [1.0, 2.0], 1),
        lambda A: _nearix.KDTree(A),
    ],
    ids=["pairmetric", "splitscan", "warpalign", "nearix"],
)
def test_a_view_strided_past_its_array_is_refused(call):
    # as_strided makes views that reach past their array's memory, or whose extent overflows:
    # refused, never read.
    a = np.arange(10.0)
    for strides in [(80, 8), (2**62, 8)]:
        with pytest.raises(ValueError, match="outside the memory|reallocated"):
            call(np.lib.stride_tricks.as_strided(a, (4, 2), strides))


class _FreesOnInt:
    # An integer argument whose conversion (run before the arrays are acquired) frees the memory
    # of an array argument.
    def __init__(self, victim, value):
        self.victim, self.value = victim, value

    def __int__(self):
        self.victim.resize(1, refcheck=False)
        return self.value


@pytest.mark.parametrize("views", ["itself", "as_strided", "memoryview", "__buffer__"])
@pytest.mark.parametrize(
    "argument, call",
    [
        (S_X, lambda X, free: _splitscan._best_split_regressor(X, S_TARGETS, free(1))),
        (C_X, lambda X, free: _convkit.maxpool_forward(X, free(2), 2)),
    ],
    ids=["splitscan", "convkit"],
)
def test_arrays_cannot_be_reallocated_by_an_integer_argument(argument, call, views):
    X = argument.copy()
    with pytest.raises(ValueError, match="cannot resize"):
        call(_viewed(X, views), lambda value: _FreesOnInt(X, value))
    assert np.array_equal(X, argument)


@pytest.mark.parametrize(
    "module, name, call, argument",
    [
        (_pairmetric, "empty", lambda X: _pairmetric.pairwise_distances(X, P_Y), P_X),
        (_convkit, "empty", lambda X: _convkit.im2col(X, 2, 2), C_X),
        (_splitscan, "argsort", lambda X: _splitscan._best_split_regressor(X, S_TARGETS, 1), S_X),
    ],
    ids=["pairmetric", "convkit", "splitscan"],
)
@pytest.mark.parametrize("views", ["itself", "12 views", "as_strided", "memoryview", "__buffer__"])
def test_arrays_in_use_cannot_be_reallocated_under_the_call(
    monkeypatch, module, name, call, argument, views
):
    # Python code run inside a call (here a replaced np function) tries to free the memory of an
    # array the call reads, by ndarray.resize without NumPy's reference check: refused while the
    # call holds the array, so the kernel never reads freed memory; allowed again after it. The
    # argument may reach the array that owns the memory through a long chain of views (NumPy
    # collapses a chain only while its types stay the same), or through the objects NumPy puts
    # between an array and its memory's owner.
    X = argument.copy()
    given = _viewed(X, views)
    real = getattr(np, name)

    def replacement(*args, **kwargs):
        X.resize(1, refcheck=False)
        return real(*args, **kwargs)

    monkeypatch.setattr(module, "np", FakeNumpy(**{name: replacement}))
    with pytest.raises(ValueError, match="cannot resize"):
        call(given)
    assert np.array_equal(X, argument)
    del given
    X.resize(1, refcheck=False)
    assert X.shape == (1,)


class _Owning(np.ndarray):
    # An array subclass: the binding layer takes it as a view of it.
    pass


class _Reallocates:
    # A later argument whose conversion frees the memory of an earlier one (as ndarray.resize
    # without the reference check does, whatever views of it exist).
    def __init__(self, victim, value):
        self.victim, self.value = victim, value

    def __array__(self, dtype=None, copy=None):
        self.victim.resize(1, refcheck=False)
        return np.asarray(self.value, dtype=dtype)

    def __index__(self):
        self.victim.resize(1, refcheck=False)
        return self.value


@pytest.mark.parametrize("through", ["subclass", "memoryview", "__buffer__"])
@pytest.mark.parametrize("function, name", [("dtw_path", "x"), ("query", "Q")])
def test_an_argument_reallocated_by_a_later_conversion_is_refused(function, name, through):
    # The argument is a view of the array that a later argument's conversion frees: an array
    # subclass (which the binding layer takes as a view of it), or an array over a memoryview.
    rng = np.random.default_rng(3)
    owner = rng.random(40 if function == "dtw_path" else (40, 3))
    if through == "subclass":
        x = owner = owner.view(_Owning).copy()
    else:
        x = _viewed(owner, through)
    if function == "dtw_path":
        later = _Reallocates(owner, np.zeros(40))
        run = lambda: _warpalign.dtw_path(x, later, 5)  # noqa: E731
    else:
        tree = _nearix.KDTree(rng.random((100, 3)))
        later = _Reallocates(owner, 2)
        run = lambda: tree.query(x, later)  # noqa: E731
    with pytest.raises(ValueError) as caught:
        run()
    assert str(caught.value) == f"{name} was reallocated while the call's arguments were converted"


MISSING_NP = [
    pairwise("pairwise_squared_euclidean") + (16,),
    pairwise("pairwise_distances") + (35,),
    pairwise("pairwise_manhattan_distances") + (54,),
    classify() + (28,),
    regress() + (101,),
    convkit("maxpool_forward", C_X, 2, 2) + (82,),
]


@pytest.mark.parametrize("module, name, run, line", MISSING_NP, ids=[m[1] for m in MISSING_NP])
def test_missing_np_is_a_name_error_and_builtins_are_the_fallback(
    monkeypatch, module, name, run, line
):
    monkeypatch.delattr(module, "np")
    with pytest.raises(NameError) as caught:
        run()
    assert str(caught.value) == "name 'np' is not defined"
    assert only_entry_of(caught.value, module, name, line)
    monkeypatch.setattr(builtins, "np", np, raising=False)
    fallback = run()
    monkeypatch.undo()
    assert same_value(fallback, run())


# ---------------------------------------------------------------------------------------------
# The float64 conversion of an array argument in the pybind11 modules: NumPy running out of memory
# (or being interrupted) there surfaces as itself; any other failure is a type the binding
# layer cannot convert.


class _Failing:
    def __init__(self, error):
        self.error = error

    def __array__(self, dtype=None, copy=None):
        raise self.error


TREE = _nearix.KDTree(X)


@pytest.mark.parametrize(
    "call",
    [
        lambda a: _nearix.KDTree(a),
        lambda a: TREE.query(a, 2),
        lambda a: _warpalign.dtw_path(a, X[:, 0], 1),
        lambda a: _warpalign.dtw_path(X[:, 0], a, 1),
    ],
)
@pytest.mark.parametrize(
    ("error", "surfaces_as"),
    [
        (MemoryError("no room"), MemoryError),
        (KeyboardInterrupt("stop"), KeyboardInterrupt),
        (RuntimeError("odd object"), TypeError),
    ],
)
def test_a_conversion_out_of_memory_is_memory_error(call, error, surfaces_as):
    with pytest.raises(surfaces_as) as caught:
        call(_Failing(error))
    assert caught.value is error or "incompatible" in str(caught.value)
    assert TREE.query(X[:2], 1)[0].tolist() == [[0], [1]]


# ---------------------------------------------------------------------------------------------
# Sizes that are valid but cannot be allocated.


@pytest.mark.slow
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


@pytest.mark.slow
@pytest.mark.not_under_asan(
    reason="AddressSanitizer reports an impossible allocation as a fault instead of failing it"
)
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
