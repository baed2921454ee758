import math
import re

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from reference_warpalign import dtw_path as reference_dtw_path
from support import laid_out, same_float

from quillbrax.accel import _warpalign

dtw_path = _warpalign.dtw_path

INT32_MAX = 2**31 - 1


def run(x, y, window):
    path, cost = dtw_path(x, y, window)
    assert path.dtype == np.int32 and path.ndim == 2 and path.shape[1] == 2
    assert path.flags.c_contiguous and path.flags.owndata
    assert type(cost) is float
    return [tuple(row) for row in path.tolist()], cost


@pytest.mark.parametrize(
    ("x", "y", "window", "path", "cost"),
    [
        ([0, 1, 2], [0, 2], 0, [(0, 0), (1, 1), (2, 1)], 1.0),
        ([0, 1, 2], [0, 2], -7, [(0, 0), (1, 1), (2, 1)], 1.0),
        ([1, 1, 1], [1, 1, 1], 0, [(0, 0), (1, 1), (2, 2)], 0.0),
        ([1, 1, 1], [1, 1, 1], 5, [(0, 0), (0, 1), (0, 2), (1, 2), (2, 2)], 0.0),
        ([3], [1, 5], 0, [(0, 0), (0, 1)], 4.0),
        ([0], [3], 0, [(0, 0)], 3.0),  # never square-rooted
        ([], [], 3, [], 0.0),
        ([], [1.0, 2.0], 3, [], 1e308),
        ([1.0, 2.0], [], 3, [], 1e308),
    ],
)
def test_worked_examples_and_edges(x, y, window, path, cost):
    assert run(x, y, window) == (path, cost)


@pytest.mark.parametrize("window", [0, -1, -(2**31)])
def test_equal_lengths_without_window_follow_the_diagonal(window):
    rng = np.random.default_rng(3)
    x, y = rng.normal(size=17), rng.normal(size=17)
    path, cost = run(x, y, window)
    assert path == [(i, i) for i in range(17)]
    total = 0.0
    for a, b in zip(x.tolist(), y.tolist()):
        total += abs(a - b)
    assert cost == total


def test_unbounded_window_equals_the_longest_length():
    rng = np.random.default_rng(4)
    x, y = rng.integers(0, 3, size=23), rng.integers(0, 3, size=31)
    assert run(x, y, INT32_MAX) == run(x, y, 31)


WINDOWS = st.one_of(
    st.integers(-3, 8),
    st.sampled_from([-(2**31), -100, 30, 60, 1000, INT32_MAX]),
)


@settings(max_examples=300, deadline=None)
@given(
    st.lists(st.integers(0, 3), max_size=60),
    st.lists(st.integers(0, 3), max_size=60),
    WINDOWS,
)
def test_tie_heavy_values_match_reference(x, y, window):
    assert run(x, y, window) == reference_dtw_path(x, y, window)


@settings(max_examples=150, deadline=None)
@given(
    st.lists(st.floats(-1e6, 1e6, allow_subnormal=True), max_size=40),
    st.lists(st.floats(-1e6, 1e6, allow_subnormal=True), max_size=40),
    WINDOWS,
)
def test_float_values_match_reference(x, y, window):
    assert run(x, y, window) == reference_dtw_path(x, y, window)


@pytest.mark.parametrize(
    ("x", "y"),
    [
        ([0.0, np.nan, 1.0, 2.0], [0.0, 1.0, 2.0]),
        ([np.inf, 1.0, 2.0], [1.0, np.inf]),
        ([1e308, 1e308], [-1e308, 0.0, 1e308]),
    ],
)
@pytest.mark.parametrize("window", [0, 1, 5])
def test_non_finite_values_match_reference(x, y, window):
    path, cost = run(x, y, window)
    want_path, want_cost = reference_dtw_path(x, y, window)
    assert path == want_path and same_float(cost, want_cost)


# Costs of 1e308 and more make the band's unreachable cells competitive, so the traceback walks
# out of the band and along its edge; NaNs and infinities test the min and tie rules lane by lane.
HUGE_VALUES = st.sampled_from([0.0, 1.0, 1e308, -1e308, 5e307, math.inf, -math.inf, math.nan])


@settings(max_examples=300, deadline=None)
@given(
    st.lists(HUGE_VALUES, max_size=30),
    st.lists(HUGE_VALUES, max_size=30),
    st.integers(-1, 6),
)
def test_huge_and_non_finite_costs_match_reference(x, y, window):
    path, cost = run(x, y, window)
    want_path, want_cost = reference_dtw_path(x, y, window)
    assert path == want_path and same_float(cost, want_cost)


INF = math.inf


# Found by search: each traceback leaves the band through a cell just outside it whose step
# differs from the default step back in x.
@pytest.mark.parametrize(
    ("x", "y", "window"),
    [
        ([0.0, -1e308, 0.0, -1e308, -1e308, INF, 0.0], [-INF, -1e308], 1),
        ([-1e308, 1e308, 0.0, -1e308, INF, -INF], [0.0, 1.0], 2),
        ([-INF, 1.0, INF, INF, 1.0, 0.0, INF], [1e308, 0.0], 2),
        ([-1e308, 1.0, 1e308, 0.0], [1e308, -INF, INF], 0),
        ([1e308, -INF, -INF, -1e308, 0.0, -INF], [1e308, 1.0, 1.0, 0.0, 1e308], 0),
    ],
)
def test_traceback_outside_the_band_matches_reference(x, y, window):
    path, cost = run(x, y, window)
    want_path, want_cost = reference_dtw_path(x, y, window)
    assert path == want_path and same_float(cost, want_cost)


@pytest.mark.parametrize(
    "convert",
    [
        list,
        lambda a: np.asarray(a, dtype=np.int64),
        lambda a: np.asarray(a, dtype=np.float32),
        lambda a: np.asarray(a, dtype=">f8"),
        lambda a: laid_out(a, "strided"),
        lambda a: laid_out(a, "reversed"),
        lambda a: laid_out(a, "unaligned"),
    ],
    ids=["list", "int64", "float32", "big-endian", "strided", "reversed", "unaligned"],
)
def test_conversions_give_the_same_alignment(convert):
    x = [0, 1, 3, 3, 2, 0, 5]
    y = [1, 3, 2, 2, 0, 4]
    assert run(convert(x), convert(y), 2) == reference_dtw_path(x, y, 2)


def test_bool_sequences_are_converted():
    assert run(np.array([True, False]), np.array([False]), 0) == reference_dtw_path([1, 0], [0], 0)


def test_numpy_integer_window_is_accepted():
    assert run([0, 1, 2], [0, 2], np.int64(0)) == ([(0, 0), (1, 1), (2, 1)], 1.0)


@pytest.mark.parametrize(
    "call",
    [
        lambda: dtw_path(x=[1.0], y=[1.0], window=0),
        lambda: dtw_path([1.0], [1.0], window=0),
        lambda: dtw_path([1.0], [1.0], arg2=0),
        lambda: dtw_path([1.0], [1.0], 0.0),
        lambda: dtw_path([1.0], [1.0], np.float64(1.0)),
        lambda: dtw_path([1.0], [1.0], 2**31),
        lambda: dtw_path([1.0], [1.0], -(2**31) - 1),
        lambda: dtw_path([1.0], [1.0]),
        lambda: dtw_path([1.0], "abc", 0),
        lambda: dtw_path([[1.0], [2.0, 3.0]], [1.0], 0),
        lambda: dtw_path(object(), [1.0], 0),
    ],
)
def test_binding_layer_refuses_with_its_signature(call):
    with pytest.raises(TypeError, match="incompatible function arguments") as info:
        call()
    assert "1. (arg0: " in str(info.value) and "arg2: " in str(info.value)


def test_signature_and_docstring():
    float_array = r"typing\.Annotated\[numpy\.typing\.ArrayLike, numpy\.float64\]"
    assert re.match(
        rf"dtw_path\(arg0: {float_array}, arg1: {float_array}, arg2: [\w. |]+\) -> "
        r"tuple\[numpy\.typing\.NDArray\[numpy\.int32\], float\]",
        dtw_path.__doc__,
    )
    assert "DTW" in _warpalign.__doc__ and "\n" not in _warpalign.__doc__.strip()


@pytest.mark.parametrize(
    ("x", "y", "message"),
    [
        (5.0, [1.0], "x must be a 1-D array, got a 0-D array"),
        ([1.0], np.float64(2.0), "y must be a 1-D array, got a 0-D array"),
        ([[1.0, 2.0]], [1.0], "x must be a 1-D array, got a 2-D array"),
        ([1.0], np.zeros((2, 1)), "y must be a 1-D array, got a 2-D array"),
        (np.broadcast_to(0.0, (INT32_MAX + 1,)), [1.0], "x has 2147483648 elements"),
        ([1.0], np.broadcast_to(0.0, (INT32_MAX + 1,)), "y has 2147483648 elements"),
        (
            np.broadcast_to(0.0, (INT32_MAX,)),
            np.broadcast_to(0.0, (INT32_MAX,)),
            "x and y of lengths 2147483647 and 2147483647 with window 2147483647 "
            "need 4611686018427387904 table cells",
        ),
    ],
)
def test_refused_before_any_cell_is_written(x, y, message):
    with pytest.raises(ValueError, match=message):
        dtw_path(x, y, INT32_MAX)


@pytest.mark.not_under_asan(
    reason="AddressSanitizer reports an impossible allocation as a fault instead of failing it"
)
def test_table_too_large_to_allocate_is_memory_error():
    # 2^46 cells: more than the address space. np.zeros leaves its pages untouched.
    x = np.zeros(2**23)
    with pytest.raises(MemoryError):
        dtw_path(x, x, INT32_MAX)


def test_long_sequences_with_a_narrow_band_fit():
    # Only the band is stored, so this needs a few megabytes, not the full 2^40 cells.
    n = 2**20
    x = np.zeros(n)
    y = np.zeros(n)
    y[n // 2] = 1.0
    path, cost = dtw_path(x, y, 1)
    assert cost == 1.0
    assert path[0].tolist() == [0, 0] and path[-1].tolist() == [n - 1, n - 1]
    steps = np.diff(path, axis=0)
    assert ((steps >= 0) & (steps <= 1)).all() and steps.any(axis=1).all()
    assert (np.abs(path[:, 0] - path[:, 1]) <= 1).all()
    assert np.abs(x[path[:, 0]] - y[path[:, 1]]).sum() == cost
