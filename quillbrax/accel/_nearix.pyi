from typing import SupportsIndex

import numpy as np
from numpy.typing import ArrayLike, NDArray

# pybind11 creates its classes with a metaclass of its own (pybind11_builtins.pybind11_type).
class _pybind11_type(type): ...

class KDTree(metaclass=_pybind11_type):
    # X is converted to a float64 (n, d) matrix; parameters are positional only.
    def __init__(self, X: ArrayLike, /) -> None: ...
    # Returns (indices int32 (nq, min(k, n)), squared distances float64 (nq, min(k, n))).
    def query(
        self, Q: ArrayLike, k: SupportsIndex, /
    ) -> tuple[NDArray[np.int32], NDArray[np.float64]]: ...
