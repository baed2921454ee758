"""What a body does with NumPy at call time: `np` looked up on every call, results checked, and
failures reported at the statement's line."""

import builtins
import types

import numpy as np
import pytest

from quillbrax.accel import _pairmetric
from frame_support import native_frames

X = np.ones((2, 3))
Y = np.zeros((4, 3))
SOURCE = "quillbrax/accel/_pairmetric"
CASES = [  # function, allocation line
    ("pairwise_squared_euclidean", 16),
    ("pairwise_distances", 35),
    ("pairwise_manhattan_distances", 54),
]


def fake_numpy(empty):
    return types.SimpleNamespace(float64=np.float64, empty=empty)


def raising_empty(shape, dtype):
    raise MemoryError("no room for %r" % (shape,))


def read_only_empty(shape, dtype):
    out = np.empty(shape, dtype)
    out.flags.writeable = False
    return out


@pytest.mark.parametrize("name, line", CASES)
@pytest.mark.parametrize("empty, error, message", [
    (raising_empty, MemoryError, "no room for (2, 4)"),
    (lambda shape, dtype: [[0.0] * 4] * 2, TypeError, "Cannot convert list to numpy.ndarray"),
    (lambda shape, dtype: np.empty(shape, np.float32), ValueError,
     "Buffer dtype mismatch, expected 'DTYPE_t' but got 'float'"),
    (lambda shape, dtype: np.empty((shape[0], shape[1] - 1), dtype), ValueError,
     "np.empty gave an array that is not of shape (2, 4)"),
    (lambda shape, dtype: None, ValueError, "np.empty gave an array that is not of shape (2, 4)"),
    (read_only_empty, ValueError, None),  # NumPy's own message for a writable request
])
def test_result_failures_report_at_allocation_line(monkeypatch, name, line, empty, error,
                                                   message):
    monkeypatch.setattr(_pairmetric, "np", fake_numpy(empty))
    with pytest.raises(error) as caught:
        getattr(_pairmetric, name)(X, Y)
    if message is not None:
        assert str(caught.value) == message
    assert native_frames(caught.value)[0] == (SOURCE, f"quillbrax.accel._pairmetric.{name}",
                                              line)


def test_np_is_looked_up_at_every_call(monkeypatch):
    calls = []

    def counting_empty(shape, dtype):
        calls.append((shape, dtype))
        return np.empty(shape, dtype)

    monkeypatch.setattr(_pairmetric, "np", fake_numpy(counting_empty))
    _pairmetric.pairwise_distances(X, Y)
    _pairmetric.pairwise_manhattan_distances(X, Y)
    assert calls == [((2, 4), np.float64)] * 2


@pytest.mark.parametrize("name, line", CASES)
def test_missing_np_is_a_name_error_and_builtins_are_the_fallback(monkeypatch, name, line):
    monkeypatch.delattr(_pairmetric, "np")
    with pytest.raises(NameError) as caught:
        getattr(_pairmetric, name)(X, Y)
    assert str(caught.value) == "name 'np' is not defined"
    assert native_frames(caught.value)[-1][2] == line
    monkeypatch.setattr(builtins, "np", np, raising=False)
    assert getattr(_pairmetric, name)(X, Y).shape == (2, 4)


def test_failed_calls_release_their_buffers(monkeypatch):
    # A buffer still held after a failed call would keep the array from being resized.
    a = np.ones((3, 3))
    b = np.ones((3, 3))
    monkeypatch.setattr(_pairmetric, "np", fake_numpy(raising_empty))
    for _ in range(3):
        with pytest.raises(MemoryError):
            _pairmetric.pairwise_distances(a, b)
    a.resize((2, 2), refcheck=False)
    b.resize((2, 2), refcheck=False)
