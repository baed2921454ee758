"""Argument binding of the frame's functions, seen through _pairmetric (two required parameters)."""

import numpy as np
import pytest
from support import native_frames, vectorcall

from quillbrax.accel import _pairmetric

f = _pairmetric.pairwise_distances
X = np.ones((2, 2))
Y = np.zeros((3, 2))
NAME = "quillbrax.accel._pairmetric.pairwise_distances"
SOURCE = "quillbrax/accel/_pairmetric"


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((X,), {}, "pairwise_distances() takes exactly 2 positional arguments (1 given)"),
        ((), {}, "pairwise_distances() takes exactly 2 positional arguments (0 given)"),
        ((X, Y, X), {}, "pairwise_distances() takes exactly 2 positional arguments (3 given)"),
        (
            (X, Y, X),
            {"Y": Y},
            "pairwise_distances() takes exactly 2 positional arguments (3 given)",
        ),
        ((), {"Y": Y}, "pairwise_distances() takes exactly 2 positional arguments (0 given)"),
        ((), {"X": X}, "pairwise_distances() takes exactly 2 positional arguments (1 given)"),
        ((X,), {"X": X}, "pairwise_distances() got multiple values for keyword argument 'X'"),
        ((X, Y), {"Y": Y}, "pairwise_distances() got multiple values for keyword argument 'Y'"),
        ((X,), {"Z": Y}, "pairwise_distances() got an unexpected keyword argument 'Z'"),
        ((), {"x": X, "Y": Y}, "pairwise_distances() got an unexpected keyword argument 'x'"),
    ],
)
@pytest.mark.parametrize("convention", ["vectorcall", "keyword dictionary"])
def test_binding_errors(args, kwargs, message, convention):
    call = f if convention == "vectorcall" else (lambda *a, **k: type(f).__call__(f, *a, **k))
    with pytest.raises(TypeError) as caught:
        call(*args, **kwargs)
    assert str(caught.value) == message
    assert native_frames(caught.value)[-1] == (SOURCE, NAME, 30)


def test_keywords_are_matched_by_value_when_not_interned():
    # Names built at run time are not the interned parameter names: equality must still match.
    x_name = "".join(["X"])
    assert vectorcall(f, [], [x_name, "Y"], [X, Y]).shape == (2, 3)


def test_non_string_keyword_names():
    with pytest.raises(TypeError) as caught:
        vectorcall(f, [X], [1], [Y])
    assert str(caught.value) == "pairwise_distances() keywords must be strings"


def test_keyword_order_decides_which_error():
    with pytest.raises(TypeError, match="unexpected keyword argument 'Q'"):
        f(X, Q=1, X=2)
    with pytest.raises(TypeError, match="multiple values for keyword argument 'X'"):
        f(X, X=2, Q=1)
