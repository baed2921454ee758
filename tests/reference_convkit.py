"""References for _convkit, written from the window geometry with NumPy slicing.

Patch extraction only copies, so sliding windows give the exact values. The scatter-adds loop over
output positions (oh, ow) in increasing order and add whole windows at a time: every pixel then
receives its contributions in the documented visiting order, one IEEE addition each, so the sums
carry the exact bits the kernels must give.
"""

import numpy as np
from numpy.lib.stride_tricks import sliding_window_view


def output_extent(size, kernel, stride, pad=0):
    return (size + 2 * pad - kernel) // stride + 1


def working_input(X, pad):
    X = np.array(X, dtype=np.float64, order="C")
    if pad > 0:
        X = np.pad(X, ((0, 0), (pad, pad), (pad, pad), (0, 0)))
    return X


def im2col(X, kh, kw, stride=1, pad=0):
    N, H, W, C = X.shape
    OH, OW = output_extent(H, kh, stride, pad), output_extent(W, kw, stride, pad)
    if kh == 0 or kw == 0:
        return np.empty((N * OH * OW, 0)), OH, OW
    windows = sliding_window_view(working_input(X, pad), (kh, kw), axis=(1, 2))
    windows = windows[:, : (OH - 1) * stride + 1 : stride, : (OW - 1) * stride + 1 : stride]
    assert windows.shape[1:3] == (OH, OW)
    # (N, OH, OW, C, kh, kw) -> rows (n, oh, ow), columns (i, j, c)
    cols = windows.transpose(0, 1, 2, 4, 5, 3).reshape(N * OH * OW, kh * kw * C)
    return np.ascontiguousarray(cols), OH, OW


def col2im(cols, shape, kh, kw, stride=1, pad=0):
    N, H, W, C = shape
    OH, OW = output_extent(H, kh, stride, pad), output_extent(W, kw, stride, pad)
    accumulator = np.zeros((N, H + 2 * pad, W + 2 * pad, C))
    blocks = np.asarray(cols).reshape(N, OH, OW, kh, kw, C)
    for oh in range(OH):
        for ow in range(OW):
            h, w = oh * stride, ow * stride
            accumulator[:, h : h + kh, w : w + kw, :] += blocks[:, oh, ow]
    return accumulator[:, pad:-pad, pad:-pad, :] if pad > 0 else accumulator


def maxpool_forward(X, k, stride):
    N, H, W, C = X.shape
    OH, OW = output_extent(H, k, stride), output_extent(W, k, stride)
    out = np.empty((N, OH, OW, C))
    argmax = np.empty((N, OH, OW, C), dtype=np.intp)
    for oh in range(OH):
        for ow in range(OW):
            window = X[:, oh * stride : oh * stride + k, ow * stride : ow * stride + k, :]
            best = window[:, 0, 0, :].copy()
            best_idx = np.zeros((N, C), dtype=np.intp)
            for idx in range(k * k):
                val = window[:, idx // k, idx % k, :]
                wins = val > best  # strict: first maximum wins, NaN never wins
                best[wins] = val[wins]
                best_idx[wins] = idx
            out[:, oh, ow] = best
            argmax[:, oh, ow] = best_idx
    return out, argmax


def maxpool_backward(grad, argmax, shape, k, stride):
    N, H, W, C = shape
    dX = np.zeros((N, H, W, C))
    n, c = np.meshgrid(np.arange(N), np.arange(C), indexing="ij")
    for oh in range(grad.shape[1]):
        for ow in range(grad.shape[2]):
            bi, bj = np.divmod(argmax[:, oh, ow, :], k)
            # within one window position every (n, c) targets a different element
            dX[n, oh * stride + bi, ow * stride + bj, c] += grad[:, oh, ow, :]
    return dX
