from typing import SupportsIndex

import numpy as np
from numpy.typing import ArrayLike, NDArray

# Returns (path int32 (L, 2) from (0, 0) to (n - 1, m - 1), un-normalised cost).
def dtw_path(
    x: ArrayLike, y: ArrayLike, window: SupportsIndex, /
) -> tuple[NDArray[np.int32], float]: ...
