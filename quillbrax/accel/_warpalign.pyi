from typing import SupportsIndex

import numpy as np
from numpy.typing import ArrayLike, NDArray

# Returns (path int32 (L, 2) ending at (n - 1, m - 1), un-normalised cost); the path starts at
# (0, 0) whenever the costs stay finite and well below 1e308.
def dtw_path(
    x: ArrayLike, y: ArrayLike, window: SupportsIndex, /
) -> tuple[NDArray[np.int32], float]: ...
