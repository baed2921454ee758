from typing import SupportsIndex

import numpy as np
from numpy.typing import ArrayLike, NDArray

class KDTree:
    # X is converted to a float64 (n, d) matrix; parameters are positional only.
    def __init__(self, X: ArrayLike, /) -> None: ...
    # Returns (indices int32 (nq, min(k, n)), squared distances float64 (nq, min(k, n))).
    def query(
        self, Q: ArrayLike, k: SupportsIndex, /
    ) -> tuple[NDArray[np.int32], NDArray[np.float64]]: ...
