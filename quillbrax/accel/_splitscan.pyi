"""Accelerated decision tree split search routines."""

from typing import SupportsInt

import numpy as np
from numpy.typing import NDArray

# (feature, threshold, score) of the best split, or (None, None, None) when there is none.
_Split = tuple[int, float, float] | tuple[None, None, None]

def _best_split_classifier(
    X: NDArray[np.float64], y: NDArray[np.int64], min_samples_leaf: SupportsInt
) -> _Split: ...
def _best_split_regressor(
    X: NDArray[np.float64], y: NDArray[np.float64], min_samples_leaf: SupportsInt
) -> _Split: ...

# doctest's table of extra tests; the module sets it to an empty dict.
__test__: dict[str, object]
