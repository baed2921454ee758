"""What a body does with NumPy at call time: `np` looked up on every call, and the buffers of a
failed call released. (What np hands back, and np missing, are checked in test_faults.py.)"""

import numpy as np
import pytest
from support import FakeNumpy

from quillbrax.accel import _pairmetric

X = np.ones((2, 3))
Y = np.zeros((4, 3))


def test_np_is_looked_up_at_every_call(monkeypatch):
    fake = FakeNumpy(only=("float64",), recorded=("empty",), log=True)
    monkeypatch.setattr(_pairmetric, "np", fake)
    _pairmetric.pairwise_distances(X, Y)
    _pairmetric.pairwise_manhattan_distances(X, Y)
    assert fake.log == [("empty", ((2, 4),), {"dtype": np.float64})] * 2
    assert all(kwargs["dtype"] is np.float64 for _, _, kwargs in fake.log)


def test_failed_calls_release_their_buffers(monkeypatch):
    # A buffer still held after a failed call would keep the array from being resized.
    a = np.ones((3, 3))
    b = np.ones((3, 3))

    def raising_empty(shape, dtype):
        raise MemoryError("no room")

    monkeypatch.setattr(_pairmetric, "np", FakeNumpy(empty=raising_empty))
    for _ in range(3):
        with pytest.raises(MemoryError):
            _pairmetric.pairwise_distances(a, b)
    a.resize((2, 2), refcheck=False)
    b.resize((2, 2), refcheck=False)
