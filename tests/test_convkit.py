"""_convkit: im2col/col2im and max pooling against the references, edge cases of the geometry,
refusals, read-only inputs, what the bodies do with `np`, and initialisation."""

import ctypes
import inspect

import numpy as np
import pytest
import reference_convkit as ref
from hypothesis import given
from hypothesis import strategies as st
from support import (
    FakeNumpy,
    entry,
    exporter,
    module_frames,
    read_only,
    reversed_strides,
    run_python,
    same_bits,
    same_value,
    spread,
    unaligned,
)

from quillbrax.accel import _convkit

SOURCE = "quillbrax/accel/_convkit"
im2col, col2im = _convkit.im2col, _convkit.col2im
maxpool_forward, maxpool_backward = _convkit.maxpool_forward, _convkit.maxpool_backward


def frame_of(caught, name, line):
    """The failure passed through exactly one entry of the module: `name` at `line`."""
    return module_frames(caught.value, _convkit) == [entry(_convkit, name, line)]


def image_layout(X, layout):
    """X (equal values, same dtype) in another memory layout; "strided" keeps the channels of a
    pixel adjacent."""
    if layout == "fortran":
        return np.asfortranarray(X)
    if layout == "reversed":
        return reversed_strides(X, axes=(1, 3))
    if layout == "strided":
        return spread(X, 2, axes=(2,))
    return X


# ---------------------------------------------------------------------------------------------
# The module and its function objects.

SIGNATURES = [
    ("im2col", 13, "(X, kh, kw, stride=1, pad=0)", (1, 0)),
    ("col2im", 45, "(cols, shape, kh, kw, stride=1, pad=0)", (1, 0)),
    ("maxpool_forward", 75, "(X, k, stride)", None),
    ("maxpool_backward", 107, "(grad, argmax, shape, k, stride)", None),
]


def test_module_attributes():
    assert _convkit.__doc__ == "Accelerated convolution and max-pooling routines."
    assert _convkit.np is np and _convkit.__test__ == {}
    names = [k for k in vars(_convkit) if not k.startswith("__") or k == "__test__"]
    assert names == ["np", "im2col", "col2im", "maxpool_forward", "maxpool_backward", "__test__"]


@pytest.mark.parametrize("name, line, signature, defaults", SIGNATURES)
def test_function_objects(name, line, signature, defaults):
    function = getattr(_convkit, name)
    assert function.__name__ == function.__qualname__ == name
    assert function.__module__ == "quillbrax.accel._convkit" and function.__doc__ is None
    assert function.__defaults__ == defaults
    assert str(inspect.signature(function)) == signature
    assert function.__code__.co_firstlineno == line and function.__code__.co_filename == SOURCE


# ---------------------------------------------------------------------------------------------
# Against the references, over random geometry, layouts and padding.


@st.composite
def patch_cases(draw):
    N, H, W, C = (draw(st.integers(0, hi)) for hi in (3, 7, 7, 3))
    pad = draw(st.integers(-(min(H, W) // 2), 2))
    kh = draw(st.integers(0, H + 2 * pad))
    kw = draw(st.integers(0, W + 2 * pad))
    stride = draw(st.integers(1, 4))
    layout = draw(st.sampled_from(["contiguous", "fortran", "reversed", "strided"]))
    seed = draw(st.integers(0, 2**32 - 1))
    return (N, H, W, C), kh, kw, stride, pad, layout, np.random.default_rng(seed)


@given(patch_cases())
def test_im2col_and_col2im_equal_the_references(case):
    shape, kh, kw, stride, pad, layout, rng = case
    X = image_layout(rng.standard_normal(shape), layout)
    X_before = X.copy()
    cols, OH, OW = im2col(X, kh, kw, stride, pad)
    expected, OH_ref, OW_ref = ref.im2col(X, kh, kw, stride, pad)
    assert (OH, OW) == (OH_ref, OW_ref) and type(OH) is int
    assert cols.flags.c_contiguous and same_bits(cols, expected)

    G = rng.standard_normal(cols.shape)
    G_in = {"fortran": np.asfortranarray(G), "reversed": np.flip(np.flip(G).copy())}.get(layout, G)
    G_before = G_in.copy()
    dX = col2im(G_in, shape, kh, kw, stride, pad)
    assert same_bits(dX, ref.col2im(G, shape, kh, kw, stride, pad))
    assert same_bits(X, X_before) and same_bits(G_in, G_before)  # arguments never written
    # adjoint: <im2col(X), G> = <X, col2im(G)>, up to the rounding of the two sums (a negative
    # pad uses only the leading rows and columns of X)
    used = X[:, : shape[1] + 2 * min(pad, 0), : shape[2] + 2 * min(pad, 0)]
    left, right = np.vdot(cols, G), np.vdot(used, dX)
    assert abs(left - right) <= 1e-12 * (1.0 + np.abs(cols).sum() * np.abs(G).max(initial=0))


@st.composite
def pool_cases(draw):
    # up to 9 channels: whole groups of adjacent channels and a remainder
    N, C = draw(st.integers(0, 3)), draw(st.integers(0, 9))
    H, W = draw(st.integers(1, 8)), draw(st.integers(1, 8))
    k = draw(st.integers(1, min(H, W)))
    stride = draw(st.integers(1, 4))
    layout = draw(st.sampled_from(["contiguous", "fortran", "reversed", "strided"]))
    seed = draw(st.integers(0, 2**32 - 1))
    return (N, H, W, C), k, stride, layout, np.random.default_rng(seed)


@given(pool_cases())
def test_maxpool_equals_the_reference(case):
    shape, k, stride, layout, rng = case
    # few distinct values, so that ties are common, and some NaNs
    values = rng.integers(0, 4, shape).astype(np.float64)
    values[rng.random(shape) < 0.15] = np.nan
    X = image_layout(values, layout)
    X_before = X.copy()
    out, argmax = maxpool_forward(X, k, stride)
    expected_out, expected_argmax = ref.maxpool_forward(values, k, stride)
    assert out.flags.c_contiguous and argmax.flags.c_contiguous and argmax.dtype == np.intp
    assert same_bits(out, expected_out) and np.array_equal(argmax, expected_argmax)
    assert same_bits(X, X_before)

    grad = rng.standard_normal(out.shape)
    for record in (argmax, rng.integers(0, k * k, out.shape)):  # forward's and arbitrary routes
        grad_in, record_in = image_layout(grad, layout), image_layout(record, layout)
        dX = maxpool_backward(grad_in, record_in, shape, k, stride)
        assert dX.flags.c_contiguous and dX.shape == shape
        assert same_bits(dX, ref.maxpool_backward(grad, record, shape, k, stride))
        assert same_bits(grad_in, grad) and np.array_equal(record_in, record)


# ---------------------------------------------------------------------------------------------
# Edge cases of the geometry.


def test_overlapping_windows_are_counted():
    cols, OH, OW = im2col(np.zeros((1, 3, 3, 1)), 2, 2)
    assert (OH, OW, cols.shape) == (2, 2, (4, 4))
    counts = col2im(np.ones((4, 4)), (1, 3, 3, 1), 2, 2)
    assert counts[0, :, :, 0].tolist() == [[1, 2, 1], [2, 4, 2], [1, 2, 1]]


def test_overlap_sums_follow_the_visiting_order():
    # pixel (1, 1) of a 3 x 3 image is offset (1, 1), (1, 0), (0, 1) of windows 0, 1, 2:
    # (1e16 + 1) + 1 is 1e16 in row order, while 1e16 + (1 + 1) would be 1e16 + 2
    cols = np.zeros((4, 4))
    cols[0, 3], cols[1, 2], cols[2, 1] = 1e16, 1.0, 1.0
    dX = col2im(cols, (1, 3, 3, 1), 2, 2)
    assert dX[0, 1, 1, 0] == 1e16
    assert same_bits(dX, ref.col2im(cols, (1, 3, 3, 1), 2, 2))
    grad = np.array([1e16, 1.0, 1.0, 0.0]).reshape(1, 2, 2, 1)  # the same for pooling
    dX = maxpool_backward(grad, np.array([3, 2, 1, 0]).reshape(1, 2, 2, 1), (1, 3, 3, 1), 2, 1)
    assert dX[0, 1, 1, 0] == 1e16


def _nan(payload):
    return np.array([0x7FF8000000000000 | payload], dtype=np.int64).view(np.float64)[0]


# Where two NaNs meet in a sum, x86 keeps the first operand's: the sum's own, as `acc + entry`
# reads, whichever path the layout takes (runs of kw·C doubles, pairs or single elements).
@pytest.mark.parametrize("C", [1, 3, 4])
@pytest.mark.parametrize("layout", ["C", "F"])
def test_where_nans_meet_the_sum_keeps_its_own(C, layout):
    # a 1 x 3 image, a 1 x 2 kernel: pixel 1 is the second column of window 0, then the first
    # of window 1
    cols = np.zeros((2, 2 * C))
    cols[0, C:], cols[1, :C] = _nan(1), _nan(2)
    cols = np.asfortranarray(cols) if layout == "F" else cols
    assert same_bits(col2im(cols, (1, 1, 3, C), 1, 2)[0, 0, 1], np.full(C, _nan(1)))
    # pooling: windows 0 and 1 of a 2 x 3 image both send their gradient to pixel (0, 1)
    grad = np.stack([np.full(C, _nan(1)), np.full(C, _nan(2))]).reshape(1, 1, 2, C)
    argmax = np.stack([np.full(C, 1), np.full(C, 0)]).reshape(1, 1, 2, C)
    grad, argmax = (np.asfortranarray(a) if layout == "F" else a for a in (grad, argmax))
    dX = maxpool_backward(grad, argmax, (1, 2, 3, C), 2, 1)
    assert same_bits(dX[0, 0, 1], np.full(C, _nan(1)))


# The accumulations read and write unaligned arrays too (columns and gradients as given, the
# accumulator as np.zeros returns it), in runs of odd length: pairs, then one.
@pytest.mark.parametrize("C", [1, 3])
def test_accumulation_through_unaligned_arrays(monkeypatch, C):
    X = np.random.default_rng(C).standard_normal((2, 4, 5, C))
    cols = im2col(X, 3, 3, 1, 1)[0]
    grad = X[:, :3, :4] * 3.0
    argmax = maxpool_forward(X, 2, 1)[1]
    expected = col2im(cols, X.shape, 3, 3, 1, 1), maxpool_backward(grad, argmax, X.shape, 2, 1)
    fake = FakeNumpy(zeros=lambda shape, dtype=None: unaligned(np.zeros(shape, dtype)))
    monkeypatch.setattr(_convkit, "np", fake)
    got = (
        col2im(unaligned(cols), X.shape, 3, 3, 1, 1),
        maxpool_backward(unaligned(grad), argmax, X.shape, 2, 1),
    )
    assert fake.calls["zeros"] == 2 and not got[1].flags.aligned
    assert same_bits(got[0], expected[0]) and same_bits(got[1], expected[1])


@pytest.mark.parametrize("k", [1, 2, 3])
def test_round_trip_with_tiling_windows(k):
    X = np.random.default_rng(k).standard_normal((2, 2 * k, 3 * k, 3))
    cols, OH, OW = im2col(X, k, k, k)
    assert (OH, OW) == (2, 3) and same_bits(col2im(cols, X.shape, k, k, k), X)


def test_unit_kernel_is_a_reshape():
    X = np.arange(2 * 3 * 4 * 5.0).reshape(2, 3, 4, 5)
    assert same_bits(im2col(X, 1, 1)[0], X.reshape(24, 5))


def test_padding_one_with_a_3x3_kernel():
    X = np.arange(1.0, 1 + 2 * 4 * 5 * 2).reshape(2, 4, 5, 2)
    cols, OH, OW = im2col(X, 3, 3, 1, 1)
    assert (OH, OW) == (4, 5)
    corner = cols[0].reshape(3, 3, 2)  # window (0, 0): top row and left column in the border
    assert np.all(corner[0] == 0) and np.all(corner[:, 0] == 0) and np.all(corner[1:, 1:] != 0)
    assert np.array_equal(corner[1:, 1:], X[0, :2, :2])


def test_col2im_with_padding_returns_the_interior_view():
    cols = np.random.default_rng(2).standard_normal((2 * 4 * 5, 3 * 3 * 2))
    dX = col2im(cols, (2, 4, 5, 2), 3, 3, 1, 1)
    assert dX.shape == (2, 4, 5, 2) and not dX.flags.c_contiguous
    assert dX.base is not None and dX.base.shape == (2, 6, 7, 2) and dX.base.flags.c_contiguous
    assert np.shares_memory(dX, dX.base) and same_bits(dX, dX.base[:, 1:-1, 1:-1, :])
    # whatever falls into the border is discarded
    assert dX.base[:, 0].any() and same_bits(dX, ref.col2im(cols, (2, 4, 5, 2), 3, 3, 1, 1))


@pytest.mark.parametrize("pad", [0, -1])
def test_col2im_without_positive_padding_returns_the_accumulator(pad):
    OH = 4 + 2 * pad
    dX = col2im(np.ones((2 * OH * OH, 4)), (2, 5, 5, 1), 2, 2, 1, pad)
    assert dX.shape == (2, 5 + 2 * pad, 5 + 2 * pad, 1) and dX.flags.c_contiguous
    assert dX.base is None and dX[0, 0, 0, 0] == 1 and dX[0, 1, 1, 0] == 4


def test_stride_beyond_the_kernel_and_trailing_rows_are_skipped():
    # 2 x 2 windows every 3 pixels over 7 x 7: rows and columns 2 (between windows) and 5, 6
    # (beyond the last whole window) are never covered
    X = np.ones((1, 7, 7, 2))
    skipped_rows = skipped_cols = [2, 5, 6]
    X[:, skipped_rows] = np.nan
    X[:, :, skipped_cols] = np.nan
    cols, OH, OW = im2col(X, 2, 2, 3)
    assert (OH, OW) == (2, 2) and not np.isnan(cols).any()
    dX = col2im(np.ones_like(cols), X.shape, 2, 2, 3)
    assert np.all(dX[:, skipped_rows] == 0) and np.all(dX[:, :, skipped_cols] == 0)
    assert dX.sum() == cols.size

    out, argmax = maxpool_forward(X, 2, 3)
    assert out.shape == (1, 2, 2, 2) and not np.isnan(out).any()
    dX = maxpool_backward(np.ones_like(out), argmax, X.shape, 2, 3)
    assert np.all(dX[:, skipped_rows] == 0) and np.all(dX[:, :, skipped_cols] == 0)


def test_negative_padding_uses_only_the_leading_rows_and_columns():
    X = np.random.default_rng(3).standard_normal((1, 5, 6, 2))
    cols, OH, OW = im2col(X, 2, 2, 1, -1)
    assert (OH, OW) == (2, 3)
    assert same_bits(cols, im2col(X[:, :3, :4].copy(), 2, 2)[0])
    assert col2im(cols, X.shape, 2, 2, 1, -1).shape == (1, 3, 4, 2)


@pytest.mark.parametrize(
    "shape, kh, kw, stride, pad, OH, OW, columns",
    [
        ((0, 4, 5, 2), 2, 3, 1, 0, 3, 3, 12),  # N = 0
        ((2, 4, 5, 0), 2, 3, 2, 1, 3, 3, 0),  # C = 0
        ((2, 4, 5, 3), 0, 2, 1, 0, 5, 4, 0),  # kh = 0
        ((2, 4, 5, 3), 2, 0, 3, 1, 2, 3, 0),  # kw = 0
    ],
)
def test_empty_extents(shape, kh, kw, stride, pad, OH, OW, columns):
    cols, oh, ow = im2col(np.ones(shape), kh, kw, stride, pad)
    assert (oh, ow) == (OH, OW) and cols.shape == (shape[0] * OH * OW, columns)
    dX = col2im(cols, shape, kh, kw, stride, pad)
    assert dX.shape == shape and not dX.any()


def test_numpy_failures_propagate_unchanged():
    # kh = kw = 0 makes the column count 0 whatever C is, so only np.zeros sees the negative C
    with pytest.raises(ValueError) as caught:
        col2im(np.ones((20, 0)), (1, 3, 4, -2), 0, 0)
    assert str(caught.value) == "negative dimensions are not allowed"
    assert frame_of(caught, "col2im", 56)


@pytest.mark.parametrize("k, stride", [(9, 1), (10, 3), (3, 2)])
def test_windows_larger_than_eight_by_eight_and_many_channels(k, stride):
    rng = np.random.default_rng(k)
    values = rng.integers(0, 3, (2, 12, 11, 13)).astype(np.float64)
    values[rng.random(values.shape) < 0.1] = np.nan
    out, argmax = maxpool_forward(values, k, stride)
    expected_out, expected_argmax = ref.maxpool_forward(values, k, stride)
    assert same_bits(out, expected_out) and np.array_equal(argmax, expected_argmax)
    for record in (argmax, rng.integers(0, k * k, out.shape)):
        grad = rng.standard_normal(out.shape)
        assert same_bits(
            maxpool_backward(grad, record, values.shape, k, stride),
            ref.maxpool_backward(grad, record, values.shape, k, stride),
        )


def test_ties_pick_the_first_maximum():
    X = np.array([[5.0, 5.0], [1.0, 5.0]]).reshape(1, 2, 2, 1)
    out, argmax = maxpool_forward(X, 2, 2)
    assert out.ravel().tolist() == [5.0] and argmax.ravel().tolist() == [0]
    dX = maxpool_backward(np.full((1, 1, 1, 1), 3.0), argmax, X.shape, 2, 2)
    assert dX.ravel().tolist() == [3.0, 0.0, 0.0, 0.0]


@pytest.mark.parametrize(
    "window, value, index",
    [
        ([np.nan, 1.0, 7.0, 2.0], np.nan, 0),  # NaN first: stays
        ([1.0, np.nan, 7.0, 2.0], 7.0, 2),  # NaN elsewhere: ignored
        ([np.nan] * 4, np.nan, 0),
        ([-np.inf, -np.inf, -1e308, -np.inf], -1e308, 2),
    ],
)
def test_nan_windows(window, value, index):
    out, argmax = maxpool_forward(np.array(window).reshape(1, 2, 2, 1), 2, 2)
    assert same_bits(out.ravel(), np.array([value])) and argmax.ravel().tolist() == [index]


def test_unit_pooling_is_the_identity():
    X = np.random.default_rng(4).standard_normal((2, 3, 4, 5))
    out, argmax = maxpool_forward(X, 1, 1)
    assert same_bits(out, X) and not argmax.any()
    grad = np.random.default_rng(5).standard_normal(X.shape)
    dX = maxpool_backward(grad, argmax, X.shape, 1, 1)
    assert dX is not grad and same_bits(dX, grad)


def test_tiling_pools_route_each_gradient_once():
    X = np.random.default_rng(6).standard_normal((2, 6, 4, 3))
    out, argmax = maxpool_forward(X, 2, 2)
    assert same_bits(out, X.reshape(2, 3, 2, 2, 2, 3).max(axis=(2, 4)))
    dX = maxpool_backward(np.ones_like(out), argmax, X.shape, 2, 2)
    assert set(np.unique(dX)) == {0.0, 1.0} and dX.sum() == out.size
    assert np.array_equal(dX != 0, X == np.repeat(np.repeat(out, 2, 1), 2, 2))


def test_overlapping_pools_count_the_windows_won():
    X = np.zeros((1, 3, 3, 1))
    X[0, 1, 1, 0] = 9.0  # the centre lies in all four 2 x 2 windows and wins three of them,
    X[0, 0, 2, 0] = 10.0  # the top-right corner lies in one and wins it
    out, argmax = maxpool_forward(X, 2, 1)
    dX = maxpool_backward(np.ones_like(out), argmax, X.shape, 2, 1)
    assert dX[0, :, :, 0].tolist() == [[0, 0, 1], [0, 3, 0], [0, 0, 0]]


@pytest.mark.parametrize("shape", [(0, 4, 4, 2), (2, 4, 4, 0)])
def test_empty_pooling(shape):
    out, argmax = maxpool_forward(np.ones(shape), 2, 2)
    assert out.shape == argmax.shape == (shape[0], 2, 2, shape[3])
    dX = maxpool_backward(out, argmax, shape, 2, 2)
    assert dX.shape == shape and not dX.any()


# ---------------------------------------------------------------------------------------------
# Refusals: values the kernels cannot take, named in the message, before any array is created.

X4 = np.ones((1, 3, 4, 2))
OUT, ARGMAX = maxpool_forward(np.ones((1, 4, 5, 2)), 2, 2)  # (1, 2, 2, 2)
BAD_ARGMAX = ARGMAX.copy()
BAD_ARGMAX[0, 1, 0, 1] = 4
NEGATIVE_ARGMAX = ARGMAX.copy()
NEGATIVE_ARGMAX[0, 0, 1, 0] = -1

REFUSALS = [
    (im2col, (X4, -1, 2), 19, "kernel size must not be negative (kh=-1, kw=2)"),
    (im2col, (X4, 2, -3), 19, "kernel size must not be negative (kh=2, kw=-3)"),
    (im2col, (X4, 2, 2, 0), 19, "stride must be at least 1 (stride=0)"),
    (
        im2col,
        (X4, 4, 2),
        19,
        "a 4 x 2 window does not fit the padded image of 3 x 4 (H=3, W=4, pad=0)",
    ),
    (
        im2col,
        (X4, 4, 2, 2),
        19,  # overshoot below the stride: the quotient alone gives OH = 1
        "a 4 x 2 window does not fit the padded image of 3 x 4 (H=3, W=4, pad=0)",
    ),
    (
        im2col,
        (X4, 2, 7, 1, 1),
        19,
        "a 2 x 7 window does not fit the padded image of 5 x 6 (H=3, W=4, pad=1)",
    ),
    (
        im2col,
        (X4, 0, 0, 1, -2),
        19,
        "a 0 x 0 window does not fit the padded image of -1 x 0 (H=3, W=4, pad=-2)",
    ),
    (
        col2im,
        (np.ones((6, 8)), X4.shape, -1, 2),
        52,
        "kernel size must not be negative (kh=-1, kw=2)",
    ),
    (col2im, (np.ones((6, 8)), X4.shape, 2, 2, 0), 52, "stride must be at least 1 (stride=0)"),
    (
        col2im,
        (np.ones((1, 8)), X4.shape, 2, 5),
        52,
        "a 2 x 5 window does not fit the padded image of 3 x 4 (H=3, W=4, pad=0)",
    ),
    (
        col2im,
        (np.ones((5, 8)), X4.shape, 2, 2),
        52,
        "cols has shape (5, 8), expected (N*OH*OW, kh*kw*C) with N=1, OH=2, OW=3, kh=2, kw=2, C=2",
    ),
    (
        col2im,
        (np.ones((6, 8)), (-1, 3, 4, 2), 2, 2),
        52,
        "cols has shape (6, 8), expected (N*OH*OW, kh*kw*C) with N=-1, OH=2, OW=3, kh=2, kw=2, C=2",
    ),
    (
        col2im,
        (np.ones((6, 8)), (2**62, 3, 4, 2), 2, 2),
        52,  # N*OH*OW overflows
        "cols has shape (6, 8), expected (N*OH*OW, kh*kw*C) with N=4611686018427387904, OH=2, "
        "OW=3, kh=2, kw=2, C=2",
    ),
    (
        col2im,
        (np.ones((6, 8)), (1, 2**63 - 1, 4, 2), 2, 2, 1, 1),
        52,
        "padded image size overflows (H=9223372036854775807, W=4, pad=1)",
    ),
    (
        maxpool_forward,
        (X4, 0, 1),
        78,
        "pooling window must satisfy 1 <= k <= H and k <= W (k=0, H=3, W=4)",
    ),
    (
        maxpool_forward,
        (X4, 4, 1),
        78,
        "pooling window must satisfy 1 <= k <= H and k <= W (k=4, H=3, W=4)",
    ),
    (
        maxpool_forward,
        (np.ones((1, 4, 3, 2)), 4, 5),
        78,
        "pooling window must satisfy 1 <= k <= H and k <= W (k=4, H=4, W=3)",
    ),
    (maxpool_forward, (X4, 2, 0), 78, "stride must be at least 1 (stride=0)"),
    (
        maxpool_backward,
        (OUT, ARGMAX, (1, 4, 5, 2), 0, 2),
        114,
        "pooling window must satisfy 1 <= k <= H and k <= W (k=0, H=4, W=5)",
    ),
    (
        maxpool_backward,
        (OUT, ARGMAX, (1, 4, 5, 2), 2, -1),
        114,
        "stride must be at least 1 (stride=-1)",
    ),
    (
        maxpool_backward,
        (OUT, ARGMAX, (1, 4, 1, 2), 2, 2),
        114,
        "pooling window must satisfy 1 <= k <= H and k <= W (k=2, H=4, W=1)",
    ),
    (
        maxpool_backward,
        (OUT, ARGMAX, (1, 4, 6, 2), 2, 2),
        116,
        "grad has shape (1, 2, 2, 2), expected (N, OH, OW, C) = (1, 2, 3, 2) for shape "
        "(1, 4, 6, 2), k=2, stride=2",
    ),
    (
        maxpool_backward,
        (OUT, ARGMAX, (2, 4, 5, 2), 2, 2),
        116,
        "grad has shape (1, 2, 2, 2), expected (N, OH, OW, C) = (2, 2, 2, 2) for shape "
        "(2, 4, 5, 2), k=2, stride=2",
    ),
    (
        maxpool_backward,
        (OUT, ARGMAX[..., :1], (1, 4, 5, 2), 2, 2),
        118,
        "argmax has shape (1, 2, 2, 1), expected (N, OH, OW, C) = (1, 2, 2, 2) for shape "
        "(1, 4, 5, 2), k=2, stride=2",
    ),
    (
        maxpool_backward,
        (OUT, BAD_ARGMAX, (1, 4, 5, 2), 2, 2),
        135,
        "argmax[0, 1, 0, 1] = 4 is not a window index of a 2 x 2 window (0 to 3)",
    ),
    (
        maxpool_backward,
        (OUT, NEGATIVE_ARGMAX, (1, 4, 5, 2), 2, 2),
        135,
        "argmax[0, 0, 1, 0] = -1 is not a window index of a 2 x 2 window (0 to 3)",
    ),
]


@pytest.mark.parametrize("function, arguments, line, message", REFUSALS)
def test_refusals_name_the_values(function, arguments, line, message):
    with pytest.raises(ValueError) as caught:
        function(*arguments)
    assert str(caught.value) == message
    assert frame_of(caught, function.__name__, line)


def test_refusals_come_before_any_array_is_created(monkeypatch):
    monkeypatch.setattr(_convkit, "np", FakeNumpy(only=()))  # any use of np would fail
    for function, arguments, line, message in REFUSALS:
        if line != 135:  # found during the pass, after the arrays exist
            with pytest.raises(ValueError) as caught:
                function(*arguments)
            assert str(caught.value) == message


def test_bad_window_index_releases_everything():
    grad, record = OUT.copy(), BAD_ARGMAX.copy()
    for _ in range(2):
        with pytest.raises(ValueError):
            maxpool_backward(grad, record, (1, 4, 5, 2), 2, 2)
    record.resize((3,), refcheck=False)  # refused while a buffer of it is still held
    grad.resize((3,), refcheck=False)


SHAPE_FAILURES = [  # shape argument, exception, message, line of the failing item
    ((1, 3, 4), IndexError, "tuple index out of range", 3),
    ([1, 3], IndexError, "list index out of range", 2),
    (5, TypeError, "'int' object is not subscriptable", 0),
    ((1, "3", 4, 2), TypeError, "an integer is required", 1),
    ((1, 3, 4, 2**64), OverflowError, "Python int too large to convert to C long", 3),
    ((1, 3, 4, 2.5j), TypeError, "an integer is required", 3),
]


@pytest.mark.parametrize("shape, error, message, item", SHAPE_FAILURES)
def test_shape_items_fail_as_indexing_and_conversion_fail(shape, error, message, item):
    for function, arguments, first_line in [
        (col2im, (np.ones((6, 8)), shape, 2, 2), 46),
        (maxpool_backward, (OUT, ARGMAX, shape, 2, 2), 108),
    ]:
        with pytest.raises(error) as caught:
            function(*arguments)
        assert str(caught.value) == message
        assert frame_of(caught, function.__name__, first_line + item)


def test_shape_items_convert_like_integers():
    shape = (np.int64(1), 3.9, np.int32(4), True + 1)  # 3.9 truncates to 3
    expected = col2im(np.ones((6, 8)), (1, 3, 4, 2), 2, 2)
    assert same_bits(col2im(np.ones((6, 8)), shape, 2, 2), expected)
    assert maxpool_backward(OUT, ARGMAX, (1, 4.2, 5, 2), 2, 2).shape == (1, 4, 5, 2)


SHAPE = (1, 4, 5, 2)
ARGUMENT_ERRORS = [  # function, arguments, exception, message, traceback line (None: no entry)
    (im2col, (None, 2, 2), TypeError, "Argument 'X' must be a numpy.ndarray, not None", 13),
    (
        col2im,
        (None, SHAPE, 2, 2),
        TypeError,
        "Argument 'cols' must be a numpy.ndarray, not None",
        45,
    ),
    (
        maxpool_forward,
        (None, 2, 2),
        TypeError,
        "Argument 'X' must be a numpy.ndarray, not None",
        75,
    ),
    (
        maxpool_backward,
        (None, ARGMAX, SHAPE, 2, 2),
        TypeError,
        "Argument 'grad' must be a numpy.ndarray, not None",
        107,
    ),
    (
        maxpool_backward,
        (OUT, None, SHAPE, 2, 2),
        TypeError,
        "Argument 'argmax' must be a numpy.ndarray, not None",
        107,
    ),
    (
        maxpool_backward,
        (OUT, ARGMAX.tolist(), SHAPE, 2, 2),
        TypeError,
        "Argument 'argmax' has incorrect type (expected numpy.ndarray, got list)",
        None,
    ),
    (
        im2col,
        (np.ones((3, 4, 2)), 2, 2),
        ValueError,
        "Buffer has wrong number of dimensions (expected 4, got 3)",
        13,
    ),
    (
        col2im,
        (np.ones((6, 8, 1)), SHAPE, 2, 2),
        ValueError,
        "Buffer has wrong number of dimensions (expected 2, got 3)",
        45,
    ),
    (
        maxpool_forward,
        (X4.astype(np.float32), 2, 2),
        ValueError,
        "Buffer dtype mismatch, expected 'DTYPE_t' but got 'float'",
        75,
    ),
    (
        maxpool_backward,
        (OUT, ARGMAX.astype(np.int32), SHAPE, 2, 2),
        ValueError,
        "Buffer dtype mismatch, expected 'ITYPE_t' but got 'int'",
        107,
    ),
    (im2col, (X4,), TypeError, "im2col() takes at least 3 positional arguments (1 given)", 13),
    (
        col2im,
        (np.ones((6, 8)), SHAPE, 1, 1, 1, 0, 0),
        TypeError,
        "col2im() takes at most 6 positional arguments (7 given)",
        45,
    ),
    (
        maxpool_forward,
        (X4, 2),
        TypeError,
        "maxpool_forward() takes exactly 3 positional arguments (2 given)",
        75,
    ),
    (im2col, (X4, 2**31, 1), OverflowError, "value too large to convert to int", 13),
    (col2im, (np.ones((6, 8)), SHAPE, 2, "2"), TypeError, "an integer is required", 45),
]


@pytest.mark.parametrize("function, arguments, error, message, line", ARGUMENT_ERRORS)
def test_argument_errors(function, arguments, error, message, line):
    with pytest.raises(error) as caught:
        function(*arguments)
    assert str(caught.value) == message
    if line is None:  # the type test adds no entry
        assert module_frames(caught.value, _convkit) == []
    else:
        assert frame_of(caught, function.__name__, line)


def test_keywords_and_defaults():
    X = np.random.default_rng(7).standard_normal((2, 5, 5, 2))
    cols = im2col(X, 3, 2)[0]
    assert same_bits(im2col(kw=2.9, X=X, kh=3, pad=0)[0], cols)  # 2.9 truncates to 2
    assert same_bits(col2im(cols, kh=3, kw=2, shape=X.shape), col2im(cols, X.shape, 3, 2, 1, 0))
    with pytest.raises(TypeError) as caught:
        maxpool_backward(OUT, ARGMAX, SHAPE, 2, k=2)
    assert str(caught.value) == "maxpool_backward() got multiple values for keyword argument 'k'"


# ---------------------------------------------------------------------------------------------
# Read-only arrays: refused with NumPy's own error where the typed view is taken on the caller's
# memory (a writable request), accepted wherever the kernel works on a copy.

RO_X = read_only(np.random.default_rng(8).standard_normal((2, 4, 6, 3)))
RO_X_STRIDED = read_only(RO_X)[:, :, ::2]
RO_OUT, RO_ARGMAX = (read_only(a) for a in maxpool_forward(RO_X[:, :, ::2], 2, 1))

READ_ONLY_REFUSED = [
    (lambda: im2col(RO_X, 2, 2), "im2col", 26),
    (lambda: im2col(RO_X, 2, 2, 1, -1), "im2col", 26),
    (lambda: col2im(read_only(np.ones((30, 12))), (2, 4, 6, 3), 2, 2), "col2im", 55),
    (lambda: col2im(read_only(np.ones((12, 30))).T, (2, 4, 6, 3), 2, 2), "col2im", 55),
    (lambda: maxpool_forward(RO_X, 2, 2), "maxpool_forward", 86),
    (
        lambda: maxpool_backward(RO_OUT, RO_ARGMAX.copy(), (2, 4, 3, 3), 2, 1),
        "maxpool_backward",
        126,
    ),
    (
        lambda: maxpool_backward(RO_OUT.copy(), RO_ARGMAX, (2, 4, 3, 3), 2, 1),
        "maxpool_backward",
        127,
    ),
]


@pytest.mark.parametrize("call, name, line", READ_ONLY_REFUSED)
def test_read_only_refused_where_viewed_in_place(call, name, line):
    with pytest.raises(ValueError) as caught:
        call()
    assert str(caught.value) == "buffer source array is read-only"
    assert frame_of(caught, name, line)


def test_read_only_accepted_where_copied():
    writable = np.array(RO_X)
    assert same_bits(im2col(RO_X, 2, 3, 1, 1)[0], im2col(writable, 2, 3, 1, 1)[0])
    assert same_bits(im2col(RO_X_STRIDED, 2, 2)[0], im2col(writable[:, :, ::2], 2, 2)[0])
    assert all(
        same_bits(a, b)
        for a, b in zip(
            maxpool_forward(RO_X_STRIDED, 2, 1), maxpool_forward(writable[:, :, ::2], 2, 1)
        )
    )
    expected = maxpool_backward(RO_OUT.copy(), RO_ARGMAX.copy(), (2, 4, 3, 3), 2, 1)
    strided_out, strided_argmax = (read_only(np.asfortranarray(a)) for a in (RO_OUT, RO_ARGMAX))
    assert same_bits(maxpool_backward(strided_out, strided_argmax, (2, 4, 3, 3), 2, 1), expected)


# ---------------------------------------------------------------------------------------------
# NumPy at call time: what each body asks `np` for, and what it does with odd answers.


def recording_numpy(**replacements):
    """np as the bodies see it: only what they use, each call logged, some replaced."""
    return FakeNumpy(
        only=("float64", "intp"),
        log=True,
        **replacements,
        recorded=("ascontiguousarray", "pad", "empty", "zeros"),
    )


X_SMALL = np.random.default_rng(9).standard_normal((2, 4, 5, 3))
CALLS = [
    (
        lambda: im2col(X_SMALL, 2, 3, 2, 1),
        [
            ("ascontiguousarray", (X_SMALL,), {"dtype": np.float64}),
            ("pad", "contiguous", ((0, 0), (1, 1), (1, 1), (0, 0)), {"mode": "constant"}),
            ("empty", ((2 * 3 * 3, 18),), {"dtype": np.float64}),
        ],
    ),
    (
        lambda: im2col(X_SMALL, 2, 3, 1, -1),
        [
            ("ascontiguousarray", (X_SMALL,), {"dtype": np.float64}),
            ("empty", ((2 * 1 * 1, 18),), {"dtype": np.float64}),
        ],
    ),
    (
        lambda: col2im(np.ones((18, 18)), X_SMALL.shape, 2, 3, 2, 1),
        [("zeros", ((2, 6, 7, 3),), {"dtype": np.float64})],
    ),
    (
        lambda: maxpool_forward(X_SMALL, 2, 1),
        [
            ("empty", ((2, 3, 4, 3),), {"dtype": np.float64}),
            ("empty", ((2, 3, 4, 3),), {"dtype": np.intp}),
            ("ascontiguousarray", (X_SMALL,), {"dtype": np.float64}),
        ],
    ),
    (
        lambda: maxpool_backward(OUT, ARGMAX, [1, 4, 5, 2], 2, 2),
        [
            ("zeros", ((1, 4, 5, 2),), {"dtype": np.float64}),
            ("ascontiguousarray", (OUT,), {"dtype": np.float64}),
            ("ascontiguousarray", (ARGMAX,), {"dtype": np.intp}),
        ],
    ),
]


@pytest.mark.parametrize("call, expected", CALLS)
def test_np_is_reached_at_call_time_in_the_documented_order(monkeypatch, call, expected):
    fake = recording_numpy()
    monkeypatch.setattr(_convkit, "np", fake)
    call()
    assert [name for name, _, _ in fake.log] == [e[0] for e in expected]
    for (name, args, kwargs), wanted in zip(fake.log, expected):
        assert kwargs == wanted[-1]
        assert "dtype" not in kwargs or kwargs["dtype"] is wanted[-1]["dtype"]
        if name == "pad":
            assert args[0].flags.c_contiguous and args[1] == wanted[2]
        elif name == "ascontiguousarray":
            assert args[0] is wanted[1][0]
        else:
            assert args == wanted[1]


@pytest.mark.parametrize(
    "name, call",
    [
        ("ascontiguousarray", lambda: im2col(X_SMALL[:, ::-1], 3, 2, 1, 0)),
        ("ascontiguousarray", lambda: maxpool_forward(X_SMALL, 2, 1)),
        ("empty", lambda: im2col(X_SMALL, 3, 2, 2, 1)),
        ("empty", lambda: maxpool_forward(X_SMALL, 3, 1)),
        ("zeros", lambda: col2im(np.arange(16 * 18.0).reshape(16, 18), X_SMALL.shape, 3, 2, 1, 0)),
        ("zeros", lambda: col2im(np.arange(12 * 18.0).reshape(12, 18), X_SMALL.shape, 3, 2, 2, 1)),
        ("zeros", lambda: maxpool_backward(OUT, ARGMAX, (1, 4, 5, 2), 2, 2)),
        ("ascontiguousarray", lambda: maxpool_backward(OUT, ARGMAX, (1, 4, 5, 2), 2, 2)),
    ],
)
def test_strided_arrays_from_np_give_the_same_results(monkeypatch, name, call):
    expected = call()
    original = getattr(np, name)

    def fortran(*args, **kwargs):
        return np.asfortranarray(original(*args, **kwargs))

    monkeypatch.setattr(_convkit, "np", recording_numpy(**{name: fortran}))
    assert same_value(call(), expected)


@pytest.mark.parametrize(
    "payload, message",
    [
        (
            ((ctypes.c_int64 * 3) * 5 * 4 * 2)(),
            "Buffer dtype mismatch, expected 'DTYPE_t' but got 'long long'",
        ),
        (
            ((ctypes.c_double * 3) * 5 * 4)(),
            "Buffer has wrong number of dimensions (expected 4, got 3)",
        ),
        (None, None),  # standard-size doubles ("<d") are accepted
    ],
)
def test_typed_views_check_what_they_are_given(monkeypatch, payload, message):
    double_payload = ((ctypes.c_double * 3) * 5 * 4 * 2)()
    memoryview(double_payload).cast("B").cast("d")[:] = X_SMALL.ravel()
    chosen = double_payload if payload is None else payload
    monkeypatch.setattr(
        _convkit,
        "np",
        recording_numpy(ascontiguousarray=lambda a, dtype: exporter(chosen, shape=(2, 4, 5, 3))),
    )
    if message is None:
        assert memoryview(double_payload).format == "<d"
        assert same_bits(maxpool_forward(X_SMALL, 2, 1)[0], ref.maxpool_forward(X_SMALL, 2, 1)[0])
        return
    with pytest.raises(ValueError) as caught:
        maxpool_forward(X_SMALL, 2, 1)
    assert str(caught.value) == message


# ---------------------------------------------------------------------------------------------
# Initialisation: the import of NumPy's native interface is a statement of the module body (line
# 10), whose ImportError keeps the underlying exception as its context.

INIT_FAILURES = {
    "not a capsule": (
        "types.SimpleNamespace(_ARRAY_API=42)",
        "RuntimeError",
        "_ARRAY_API is not PyCapsule object",
    ),
    "attribute missing": (
        "types.SimpleNamespace()",
        "AttributeError",
        "'types.SimpleNamespace' object has no attribute '_ARRAY_API'",
    ),
}


@pytest.mark.slow
@pytest.mark.parametrize("scenario", sorted(INIT_FAILURES))
def test_native_interface_failure_keeps_its_cause_and_the_module_importable(scenario):
    fake, cause, cause_message = INIT_FAILURES[scenario]
    status, out, err = run_python(f"""
        import sys, traceback, types, numpy, numpy._core._multiarray_umath
        real = sys.modules["numpy._core._multiarray_umath"]
        sys.modules["numpy._core._multiarray_umath"] = {fake}
        entries = lambda e: [(f.filename, f.name, f.lineno)
                             for f in traceback.extract_tb(e.__traceback__)][1:]
        try:
            import quillbrax.accel._convkit
        except ImportError as e:
            print(repr((type(e).__name__, str(e), entries(e))))
            c = e.__context__
            print(repr((type(c).__name__, str(c), [(f.filename, f.name, f.lineno)
                        for f in traceback.extract_tb(c.__traceback__)])))
            print("quillbrax.accel._convkit" in sys.modules)
        sys.modules["numpy._core._multiarray_umath"] = real
        from quillbrax.accel import _convkit
        print(_convkit.maxpool_forward(numpy.arange(4.0).reshape(1, 2, 2, 1), 2, 2)[0].item())
    """)
    assert status == 0, err
    error, context, registered, again = out.strip().splitlines()
    assert eval(error) == (
        "ImportError",
        "numpy._core.multiarray failed to import",
        [
            (SOURCE, "init quillbrax.accel._convkit", 10),
            ("numpy/__init__", "numpy.import_array", 1),
        ],
    )
    assert eval(context) == (cause, cause_message, [("numpy/__init__", "numpy.import_array", 1)])
    assert registered == "False" and again == "3.0"


@pytest.mark.slow
def test_non_exception_failure_of_the_native_interface_propagates_unchanged():
    status, out, err = run_python("""
        import sys, numpy, numpy._core._multiarray_umath
        class Interrupting:
            def __getattr__(self, name):
                raise KeyboardInterrupt("stop")
        real = sys.modules["numpy._core._multiarray_umath"]
        sys.modules["numpy._core._multiarray_umath"] = Interrupting()
        try:
            import quillbrax.accel._convkit
        except BaseException as e:
            print(type(e).__name__, e, e.__context__)
        sys.modules["numpy._core._multiarray_umath"] = real
        from quillbrax.accel import _convkit
        print(_convkit.im2col(numpy.ones((1, 2, 2, 1)), 1, 1)[1:])
    """)
    assert status == 0, err
    assert out.strip().splitlines() == ["KeyboardInterrupt stop None", "(2, 2)"]
