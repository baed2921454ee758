"""Accelerated convolution and max-pooling routines."""

from collections.abc import Sequence
from typing import SupportsInt

import numpy as np
from numpy.typing import NDArray

# Batches are float64 (N, H, W, C), channels last; shape arguments are (N, H, W, C).

# Returns (columns (N*OH*OW, kh*kw*C), OH, OW).
def im2col(
    X: NDArray[np.float64],
    kh: SupportsInt,
    kw: SupportsInt,
    stride: SupportsInt = 1,
    pad: SupportsInt = 0,
) -> tuple[NDArray[np.float64], int, int]: ...
def col2im(
    cols: NDArray[np.float64],
    shape: Sequence[SupportsInt],
    kh: SupportsInt,
    kw: SupportsInt,
    stride: SupportsInt = 1,
    pad: SupportsInt = 0,
) -> NDArray[np.float64]: ...

# Returns (out (N, OH, OW, C), argmax intp (N, OH, OW, C)).
def maxpool_forward(
    X: NDArray[np.float64], k: SupportsInt, stride: SupportsInt
) -> tuple[NDArray[np.float64], NDArray[np.intp]]: ...
def maxpool_backward(
    grad: NDArray[np.float64],
    argmax: NDArray[np.intp],
    shape: Sequence[SupportsInt],
    k: SupportsInt,
    stride: SupportsInt,
) -> NDArray[np.float64]: ...

# doctest's table of extra tests; the module sets it to an empty dict.
__test__: dict[str, object]
