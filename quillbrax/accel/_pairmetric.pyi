"""Accelerated pairwise distance routines."""

import numpy as np
from numpy.typing import NDArray

# X is (n, d) and Y (m, >= d), both float64 ndarrays of any strides; the result is (n, m).
def pairwise_squared_euclidean(
    X: NDArray[np.float64], Y: NDArray[np.float64]
) -> NDArray[np.float64]: ...
def pairwise_distances(X: NDArray[np.float64], Y: NDArray[np.float64]) -> NDArray[np.float64]: ...
def pairwise_manhattan_distances(
    X: NDArray[np.float64], Y: NDArray[np.float64]
) -> NDArray[np.float64]: ...

# doctest's table of extra tests; the module sets it to an empty dict.
__test__: dict[str, object]
