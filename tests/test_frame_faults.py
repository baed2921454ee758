"""Inputs that got past the frame before it checked every array where the kernel reads it: a second
view of an argument taken after Python code ran, sizes no allocation can hold, arrays from `np`
that share memory with an argument, labels changed while `np.argsort` is looked up, and a NumPy
that the modules' initialisation must not read beyond what it needs."""

import array as stdlib_array
import types
import warnings

import numpy as np
import pytest
import reference_splitscan as reference
from support import FakeNumpy, native_frames, run_python

from quillbrax.accel import _convkit, _pairmetric, _splitscan

COLS_SHAPE = "cols has shape (%d, %d), expected (N*OH*OW, kh*kw*C)"


# ---------------------------------------------------------------------------------------------
# col2im reads `cols` through a view acquired after the items of `shape` were read.


class ReshapingShape:
    """(1, 64, 64, 1) whose last item, when read, gives `cols` the shape (1, 4096)."""

    def __init__(self, cols):
        self.cols = cols

    def __getitem__(self, i):
        if i == 3:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", DeprecationWarning)  # NumPy 2.5 deprecates it
                self.cols.shape = (1, 4096)  # same memory, new extents
        return (1, 64, 64, 1)[i]


class ShrinkingExporter(np.ndarray):
    """Exports itself once, then a buffer of one row."""

    def __buffer__(self, flags):
        self.requests = getattr(self, "requests", 0) + 1
        if self.requests == 1:
            return super().__buffer__(flags)
        return memoryview(np.ones((1, self.shape[1])))


@pytest.mark.parametrize(
    "make_cols, shape, found",
    [
        (lambda: np.ones((4096, 1)), ReshapingShape, (1, 4096)),
        (lambda: np.ones((4096, 1)).view(ShrinkingExporter), lambda cols: (1, 64, 64, 1), (1, 1)),
    ],
)
def test_second_view_of_cols_is_checked_against_the_geometry(make_cols, shape, found):
    cols = make_cols()
    with pytest.raises(ValueError) as caught:
        _convkit.col2im(cols, shape(cols), 1, 1)
    assert str(caught.value).startswith(COLS_SHAPE % found)
    assert native_frames(caught.value)[0] == (
        "quillbrax/accel/_convkit",
        "quillbrax.accel._convkit.col2im",
        55,
    )


# ---------------------------------------------------------------------------------------------
# Sizes that cannot be allocated or addressed surface as MemoryError or ValueError.


class HugeUnique(types.SimpleNamespace):
    def __init__(self, length):
        super().__init__(
            zeros=np.zeros,
            argsort=np.argsort,
            float64=np.float64,
            unique=lambda y: np.broadcast_to(np.int64(0), (length,)),
        )


WIDE = np.broadcast_to(0.0, (1, 2**58))
HUGE = [
    ("pairwise_squared_euclidean", lambda: _pairmetric.pairwise_squared_euclidean(WIDE, WIDE)),
    ("pairwise_distances", lambda: _pairmetric.pairwise_distances(WIDE, WIDE)),
    ("pairwise_manhattan_distances", lambda: _pairmetric.pairwise_manhattan_distances(WIDE, WIDE)),
    (
        "unique of 2**59 labels",
        lambda: _splitscan._best_split_classifier(np.zeros((2, 1)), np.array([0, 1]), 1),
    ),
]


@pytest.mark.parametrize("label, run", HUGE, ids=[h[0] for h in HUGE])
def test_unallocatable_sizes_are_memory_or_value_errors(monkeypatch, label, run):
    monkeypatch.setattr(_splitscan, "np", HugeUnique(2**59))
    for _ in range(2):
        with pytest.raises((MemoryError, ValueError)) as caught:
            run()
        assert type(caught.value) in (MemoryError, ValueError) and str(caught.value)
    monkeypatch.undo()
    assert _splitscan._best_split_classifier(np.array([[0.0], [1.0]]), np.array([0, 1]), 1) == (
        0,
        0.5,
        0.0,
    )


# ---------------------------------------------------------------------------------------------
# An array the body writes never shares memory with an argument.


RNG = np.random.default_rng(12)
SQUARE = RNG.normal(size=(3, 3))
IMAGE = RNG.normal(size=(1, 2, 2, 3))
ROW = RNG.normal(size=(1, 3))
GRAD = RNG.normal(size=(1, 2, 2, 3))
ARGMAX = np.zeros((1, 2, 2, 3), dtype=np.intp)

# (module, numpy function, what it hands back, the call, the argument it aliases)
ALIASES = [
    (
        _pairmetric,
        "empty",
        lambda *a, **k: SQUARE,
        lambda: _pairmetric.pairwise_distances(SQUARE, SQUARE.copy()),
        "X",
    ),
    (
        _pairmetric,
        "empty",
        lambda *a, **k: SQUARE[::-1, ::-1],
        lambda: _pairmetric.pairwise_squared_euclidean(SQUARE, SQUARE.copy()),
        "X",
    ),
    (
        _pairmetric,
        "empty",
        lambda *a, **k: SQUARE.T,
        lambda: _pairmetric.pairwise_manhattan_distances(RNG.normal(size=(3, 2)), SQUARE),
        "Y",
    ),
    (
        _convkit,
        "empty",
        lambda shape, dtype: IMAGE.reshape(shape),
        lambda: _convkit.im2col(IMAGE, 1, 1),
        "X",
    ),
    (
        _convkit,
        "empty",
        lambda shape, dtype: IMAGE if dtype is np.float64 else np.empty(shape, dtype),
        lambda: _convkit.maxpool_forward(IMAGE, 1, 1),
        "X",
    ),
    (
        _convkit,
        "zeros",
        lambda shape, dtype: ROW.reshape(shape),
        lambda: _convkit.col2im(ROW, (1, 1, 1, 3), 1, 1),
        "cols",
    ),
    (
        _convkit,
        "zeros",
        lambda shape, dtype: GRAD,
        lambda: _convkit.maxpool_backward(GRAD, ARGMAX, (1, 2, 2, 3), 1, 1),
        "grad",
    ),
]


@pytest.mark.parametrize("module, name, replacement, run, argument", ALIASES)
def test_arrays_from_np_that_share_memory_with_an_argument_are_refused(
    monkeypatch, module, name, replacement, run, argument
):
    before = [a.copy() for a in (SQUARE, IMAGE, ROW, GRAD)]
    monkeypatch.setattr(module, "np", FakeNumpy(**{name: replacement}))
    with pytest.raises(
        ValueError, match=f"^np.{name} gave an array that shares memory with argument '{argument}'$"
    ):
        run()
    for array, copy in zip((SQUARE, IMAGE, ROW, GRAD), before):
        assert array.tobytes() == copy.tobytes()


@pytest.mark.parametrize("given", [lambda a: a, memoryview, bytearray], ids=["array", "mv", "copy"])
def test_an_argument_that_is_no_array_is_not_written_either(monkeypatch, given):
    # `shape` is an array.array (or a memoryview of it) whose memory np.zeros hands back: refused,
    # like an array argument's. Where the argument is a copy of it, the memory is free to use.
    shape = stdlib_array.array("q", (1, 1, 1, 3))
    zeros = lambda s, dtype: np.frombuffer(shape, dtype, 3).reshape(s)  # noqa: E731
    monkeypatch.setattr(_convkit, "np", FakeNumpy(zeros=zeros))
    if given is bytearray:
        assert _convkit.col2im(ROW, bytearray(shape.tolist()), 1, 1).tobytes() == ROW.tobytes()
        return
    message = "^np.zeros gave an array that shares memory with argument 'shape'$"
    with pytest.raises(ValueError, match=message):
        _convkit.col2im(ROW, given(shape), 1, 1)
    assert shape.tolist() == [1, 1, 1, 3]


class _PythonExporter(stdlib_array.array):
    calls = 0

    def __buffer__(self, flags):
        type(self).calls += 1
        return memoryview(stdlib_array.array("q", self))


def test_the_overlap_check_runs_no_exporter_written_in_python():
    # Asking an object for its memory may run Python code, which must not run mid-check: an
    # argument whose class defines __buffer__ in Python is not asked (array.array's own is).
    shape = _PythonExporter("q", (1, 1, 1, 3))
    assert _convkit.col2im(ROW, shape, 1, 1).tobytes() == ROW.tobytes()
    assert _PythonExporter.calls == 0


def test_two_written_arrays_must_not_share_memory(monkeypatch):
    shared = np.empty((1, 2, 2, 3))
    monkeypatch.setattr(
        _convkit,
        "np",
        FakeNumpy(
            empty=lambda shape, dtype: shared if dtype is np.float64 else shared.view(np.intp)
        ),
    )
    with pytest.raises(
        ValueError,
        match="^np.empty gave an array that shares memory with another array of this call$",
    ):
        _convkit.maxpool_forward(IMAGE, 1, 1)


# ---------------------------------------------------------------------------------------------
# The labels a sweep reads are those y holds after np.argsort was looked up for that feature.


class ArgsortLookupChangesY:
    """numpy, except that looking up `argsort` for the `at`-th time rewrites y."""

    def __init__(self, y, labels, at):
        self.y, self.labels, self.at, self.lookups = y, labels, at, 0

    def __getattr__(self, name):
        return getattr(np, name)

    @property
    def argsort(self):
        self.lookups += 1
        if self.lookups == self.at:
            self.y[:] = self.labels
        return np.argsort


@pytest.mark.parametrize(
    "X, y, labels, at",
    [
        ([[1.0], [2.0], [3.0], [4.0]], [0, 0, 1, 1], [0, 1, 0, 1], 1),
        (RNG.normal(size=(12, 3)), RNG.integers(0, 3, 12), RNG.integers(0, 3, 12), 2),
        (RNG.normal(size=(12, 3)), RNG.integers(0, 3, 12), RNG.integers(0, 3, 12), 3),
    ],
)
def test_sweep_reads_the_labels_after_the_argsort_lookup(monkeypatch, X, y, labels, at):
    X, labels = np.array(X), np.array(labels)
    y_native, y_reference = np.array(y), np.array(y)
    monkeypatch.setattr(_splitscan, "np", ArgsortLookupChangesY(y_native, labels, at))
    got = _splitscan._best_split_classifier(X, y_native, 1)
    expected = reference.best_split_classifier(
        X, y_reference, 1, numpy=ArgsortLookupChangesY(y_reference, labels, at)
    )
    assert got == expected and (y_native == labels).all()


# ---------------------------------------------------------------------------------------------
# Initialisation reads of NumPy only what it needs: its native interface and numpy.ndarray.


@pytest.mark.parametrize(
    "module, error, line",
    [
        ("_pairmetric", "ImportError: numpy.core.multiarray failed to import (", 1),
        ("_splitscan", "ImportError: numpy.core.multiarray failed to import (", 1),
        ("_convkit", "ModuleNotFoundError: import of numpy halted; None in sys.modules", 1),
    ],
)
def test_import_without_numpy_fails_with_the_module_entry(module, error, line):
    status, out, err = run_python(f"""
        import sys, traceback
        sys.modules["numpy"] = None
        try:
            import quillbrax.accel.{module}
        except BaseException as e:
            print(type(e).__name__ + ": " + str(e))
            print([(f.filename, f.name, f.lineno) for f in traceback.extract_tb(e.__traceback__)])
    """)
    assert status == 0, err
    message, entries = out.strip().splitlines()[-2:]
    assert message.startswith(error)
    assert repr((f"quillbrax/accel/{module}", f"init quillbrax.accel.{module}", line)) in entries


def test_a_numpy_without_argsort_imports_every_module():
    status, out, err = run_python("""
        import numpy
        del numpy.argsort
        from quillbrax.accel import _convkit, _pairmetric, _splitscan
        print(_pairmetric.pairwise_distances(numpy.zeros((1, 1)), numpy.ones((1, 1)))[0, 0])
    """)
    assert status == 0, err
    assert out.split() == ["1.0"]
