"""Integer conversion of the frame: parameters at 32 bits (_splitscan's min_samples_leaf,
_convkit's kernel sizes) and values a body reads at 64 bits (_convkit's shape items)."""

import warnings

import numpy as np
import pytest
from support import SubInt, int_probe, native_frames

from quillbrax.accel import _convkit, _splitscan

X = np.array([[1.0], [2.0], [3.0], [4.0]])
y = np.array([0, 0, 1, 1])


def classify(min_samples_leaf):
    return _splitscan._best_split_classifier(X, y, min_samples_leaf)


@pytest.mark.parametrize(
    "value, expected",
    [
        (1, (0, 2.5, 0.0)),
        (True, (0, 2.5, 0.0)),
        (2.7, (0, 2.5, 0.0)),
        (-2.7, (0, 2.5, 0.0)),
        (np.int64(1), (0, 2.5, 0.0)),
        (np.float32(1.9), (0, 2.5, 0.0)),
        (int_probe(2), (0, 2.5, 0.0)),
        (3, (None, None, None)),
        (2**31 - 1, (None, None, None)),
        (-(2**31), (0, 2.5, 0.0)),
    ],
)
def test_accepted_32_bit_values(value, expected):
    assert classify(value) == expected


@pytest.mark.parametrize(
    "value, error, message",
    [
        (2**31, OverflowError, "value too large to convert to int"),
        (-(2**31) - 1, OverflowError, "value too large to convert to int"),
        (2**64, OverflowError, "value too large to convert to int"),
        (float(2**40), OverflowError, "value too large to convert to int"),
        ("3", TypeError, "an integer is required"),
        (None, TypeError, "an integer is required"),
        (int_probe(1, slots=("__index__",)), TypeError, "an integer is required"),
        (int_probe(2.5), TypeError, "__int__ returned non-int (type float)"),
        (int_probe(raises=(ArithmeticError, "no int here")), ArithmeticError, "no int here"),
        (float("nan"), ValueError, "cannot convert float NaN to integer"),
    ],
)
def test_refused_32_bit_values_report_at_the_declaration(value, error, message):
    with pytest.raises(error) as caught:
        classify(value)
    assert str(caught.value) == message
    if error is not ArithmeticError:
        assert native_frames(caught.value)[-1] == (
            "quillbrax/accel/_splitscan",
            "quillbrax.accel._splitscan._best_split_classifier",
            16,
        )


def test_int_subclass_from_int_is_deprecated():
    with pytest.raises(DeprecationWarning) as caught:
        classify(int_probe(SubInt(1)))
    assert str(caught.value) == (
        "__int__ returned non-int (type SubInt).  The ability to return an instance of a "
        "strict subclass of int is deprecated, and may be removed in a future version of Python."
    )
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        assert classify(int_probe(SubInt(1))) == (0, 2.5, 0.0)


def test_integers_are_converted_before_arrays_are_checked():
    with pytest.raises(OverflowError):
        _splitscan._best_split_classifier([[1.0]], "not an array", 2**31)
    with pytest.raises(OverflowError):
        _convkit.im2col("not an array", 1, 2**31)


@pytest.mark.parametrize(
    "item, error, message",
    [
        (2**63, OverflowError, "Python int too large to convert to C long"),
        ("2", TypeError, "an integer is required"),
        (int_probe(1.0), TypeError, "__int__ returned non-int (type float)"),
    ],
)
def test_refused_64_bit_shape_items(item, error, message):
    cols = np.zeros((4, 1))
    with pytest.raises(error) as caught:
        _convkit.col2im(cols, (1, 2, item, 1), 1, 1)
    assert str(caught.value) == message


def test_64_bit_shape_items_accept_int_like_values():
    cols = np.arange(4.0).reshape(4, 1)
    expected = _convkit.col2im(cols, (1, 2, 2, 1), 1, 1)
    for shape in [(1, 2.9, np.int32(2), True), np.array([1, 2, 2, 1]), [1.0, 2, 2, 1]]:
        assert np.array_equal(_convkit.col2im(cols, shape, 1, 1), expected)
