import math

import numpy as np
import pytest
from hypothesis import given, strategies as st

from quillbrax.accel import _pairmetric
from reference import pairwise
from support import Subclass, laid_out, read_only, same_bits

FUNCTIONS = {
    "squared_euclidean": _pairmetric.pairwise_squared_euclidean,
    "euclidean": _pairmetric.pairwise_distances,
    "manhattan": _pairmetric.pairwise_manhattan_distances,
}
METRICS = sorted(FUNCTIONS)

values = st.one_of(
    st.integers(-3, 3).map(float),  # many ties and exact zeros
    st.floats(allow_nan=True, allow_infinity=True),
    st.floats(-1e3, 1e3),
)


# The same values in C and Fortran order, a strided view and reversed rows and columns.
LAYOUTS = ["C", "fortran", "strided", "reversed"]


@st.composite
def problems(draw):
    n, m, d = draw(st.integers(0, 5)), draw(st.integers(0, 6)), draw(st.integers(0, 4))
    extra = draw(st.integers(0, 2))
    X = np.array(draw(st.lists(values, min_size=n * d, max_size=n * d)), float).reshape(n, d)
    Y = np.array(draw(st.lists(values, min_size=m * (d + extra), max_size=m * (d + extra))),
                 float).reshape(m, d + extra)
    return X, Y


@pytest.mark.parametrize("metric", METRICS)
@given(problem=problems(), layout=st.integers(0, 3))
def test_bit_exact_against_sequential_reference(metric, problem, layout):
    X, Y = problem
    expected = pairwise(X, Y, metric)
    result = FUNCTIONS[metric](laid_out(X, LAYOUTS[layout]), laid_out(Y, LAYOUTS[3 - layout]))
    assert result.flags.c_contiguous and result.dtype == np.float64
    assert same_bits(result, expected)


@pytest.mark.parametrize("metric", METRICS)
def test_longer_rows_and_blocks_of_four(metric):
    # Rows of Y in groups of four and a remainder, long enough that order of summation shows.
    rng = np.random.default_rng(7)
    X = rng.standard_normal((5, 37)) * 10.0 ** rng.integers(-8, 8, (5, 37))
    Y = rng.standard_normal((11, 37)) * 10.0 ** rng.integers(-8, 8, (11, 37))
    assert same_bits(FUNCTIONS[metric](X, Y), pairwise(X, Y, metric))


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("layout", range(4))
def test_several_blocks_of_rows_and_partial_panels(metric, layout):
    # Wide rows make the blocks of X short (a few dozen rows), so 53 rows span several blocks
    # with a partial last one, and 19 rows of Y end in a partial panel; any layout is packed.
    rng = np.random.default_rng(11)
    X = rng.standard_normal((53, 300)) * 10.0 ** rng.integers(-6, 6, (53, 300))
    Y = rng.standard_normal((19, 300)) * 10.0 ** rng.integers(-6, 6, (19, 300))
    expected = pairwise(X, Y, metric)
    result = FUNCTIONS[metric](laid_out(X, LAYOUTS[layout]), laid_out(Y, LAYOUTS[3 - layout]))
    assert same_bits(result, expected)


def test_euclidean_is_pow_of_squared():
    rng = np.random.default_rng(1)
    X, Y = rng.random((6, 5)), rng.random((7, 5))
    squared = _pairmetric.pairwise_squared_euclidean(X, Y)
    expected = np.vectorize(lambda v: math.pow(v, 0.5))(squared)
    assert same_bits(_pairmetric.pairwise_distances(X, Y), expected)


@pytest.mark.parametrize("metric", METRICS)
def test_identical_rows_give_exact_zero_diagonal(metric):
    X = np.random.default_rng(3).standard_normal((9, 4)) * 1e10
    assert np.all(np.diag(FUNCTIONS[metric](X, X)) == 0.0)


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("n, m, d", [(0, 3, 2), (3, 0, 2), (0, 0, 0), (2, 3, 0)])
def test_empty_extents(metric, n, m, d):
    result = FUNCTIONS[metric](np.ones((n, d)), np.ones((m, d)))
    assert result.shape == (n, m)
    assert np.all(result == 0.0)


def test_nan_and_infinity_propagate():
    X = np.array([[np.nan, 0.0], [np.inf, 0.0], [1.0, 1.0]])
    Y = np.array([[np.inf, 0.0], [0.0, 0.0]])
    sq = _pairmetric.pairwise_squared_euclidean(X, Y)
    assert np.isnan(sq[0]).all()            # NaN row reaches every entry
    assert np.isnan(sq[1, 0])               # inf - inf
    assert sq[1, 1] == np.inf and sq[2, 0] == np.inf
    big = np.array([[1e200]])
    assert _pairmetric.pairwise_squared_euclidean(big, -big)[0, 0] == np.inf


def test_subclass_read_only_and_keywords():
    rng = np.random.default_rng(5)
    X, Y = rng.random((3, 2)), rng.random((4, 2))
    expected = _pairmetric.pairwise_distances(X, Y)
    assert same_bits(_pairmetric.pairwise_distances(X.view(Subclass), Y), expected)
    assert same_bits(_pairmetric.pairwise_distances(read_only(X), Y), expected)
    assert same_bits(_pairmetric.pairwise_distances(Y=Y, X=X), expected)
    assert same_bits(_pairmetric.pairwise_distances(X, Y=Y), expected)
    # the keyword-dictionary convention
    assert same_bits(type(_pairmetric.pairwise_distances).__call__(
        _pairmetric.pairwise_distances, X, Y=Y), expected)
    assert type(_pairmetric.pairwise_distances(X.view(Subclass), Y)) is np.ndarray


@pytest.mark.parametrize("metric", METRICS)
def test_y_with_fewer_columns_is_refused(metric):
    with pytest.raises(ValueError, match=r"^Y has 2 columns but X has 3"):
        FUNCTIONS[metric](np.ones((2, 3)), np.ones((2, 2)))


@pytest.mark.parametrize("X, Y, error, message", [
    (np.ones((2, 2), np.float32), np.ones((2, 2)), ValueError,
     "Buffer dtype mismatch, expected 'DTYPE_t' but got 'float'"),
    (np.ones((2, 2)), np.ones((2, 2), np.int64), ValueError,
     "Buffer dtype mismatch, expected 'DTYPE_t' but got 'long'"),
    (np.ones((2, 2), ">f8"), np.ones((2, 2)), ValueError,
     "Big-endian buffer not supported on little-endian compiler"),
    (np.ones(2), np.ones((2, 2)), ValueError,
     "Buffer has wrong number of dimensions (expected 2, got 1)"),
    (np.ones((2, 2)), np.ones((2, 2, 1)), ValueError,
     "Buffer has wrong number of dimensions (expected 2, got 3)"),
    ([[1.0]], np.ones((2, 2)), TypeError,
     "Argument 'X' has incorrect type (expected numpy.ndarray, got list)"),
    (np.ones((2, 2)), 3.0, TypeError,
     "Argument 'Y' has incorrect type (expected numpy.ndarray, got float)"),
    (None, np.ones((2, 2)), TypeError, "Argument 'X' must be a numpy.ndarray, not None"),
    (np.ones((2, 2)), None, TypeError, "Argument 'Y' must be a numpy.ndarray, not None"),
    (None, [1], TypeError, "Argument 'Y' has incorrect type (expected numpy.ndarray, got list)"),
])
def test_argument_errors(X, Y, error, message):
    with pytest.raises(error) as caught:
        _pairmetric.pairwise_manhattan_distances(X, Y)
    assert str(caught.value) == message
