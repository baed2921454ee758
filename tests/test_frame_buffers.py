"""Element type, dimension and format checks of array buffers, seen through _pairmetric."""

import ctypes

import numpy as np
import pytest
from support import exporter, native_frames

from quillbrax.accel import _pairmetric

f = _pairmetric.pairwise_squared_euclidean
Y = np.zeros((2, 2))


@pytest.mark.parametrize(
    "dtype, found",
    [
        (np.bool_, "'bool'"),
        (np.int8, "'signed char'"),
        (np.uint8, "'unsigned char'"),
        (np.int16, "'short'"),
        (np.uint16, "'unsigned short'"),
        (np.int32, "'int'"),
        (np.uint32, "'unsigned int'"),
        (np.int64, "'long'"),
        (np.uint64, "'unsigned long'"),
        (np.longlong, "'long long'"),
        (np.ulonglong, "'unsigned long long'"),
        (np.float32, "'float'"),
        (np.longdouble, "'long double'"),
        (np.complex64, "'complex float'"),
        (np.complex128, "'complex double'"),
        (np.clongdouble, "'complex long double'"),
        (object, "Python object"),
        ("S3", "a string"),
        (np.float16, "unparsable format string"),
        ([("a", "f8"), ("b", "i4")], "a struct"),
    ],
)
def test_dtype_mismatch_descriptions(dtype, found):
    with pytest.raises(ValueError) as caught:
        f(np.zeros((2, 2), dtype=dtype), Y)
    assert str(caught.value) == f"Buffer dtype mismatch, expected 'DTYPE_t' but got {found}"


@pytest.mark.parametrize(
    "payload, message",
    [
        (
            ((ctypes.c_longdouble * 2) * 2)(),
            "Python does not define a standard format string size for long double ('g')..",
        ),
        (((ctypes.c_int32 * 2) * 2)(), "Buffer dtype mismatch, expected 'DTYPE_t' but got 'int'"),
        (
            ((ctypes.c_double * 2) * 3 * 2)(),
            "Buffer has wrong number of dimensions (expected 2, got 3)",
        ),
    ],
)
def test_formats_ndarray_does_not_export(payload, message):
    with pytest.raises(ValueError) as caught:
        f(exporter(payload), Y)
    assert str(caught.value) == message


def test_standard_size_double_is_accepted():
    payload = ((ctypes.c_double * 2) * 2)(*[(ctypes.c_double * 2)(1.0, 2.0)] * 2)
    assert memoryview(payload).format == "<d"
    assert f(exporter(payload), Y).tolist() == [[5.0, 5.0], [5.0, 5.0]]


def test_buffer_error_reports_at_definition_line():
    with pytest.raises(ValueError) as caught:
        f(Y, np.zeros((2, 2), np.float32))
    assert native_frames(caught.value) == [
        (
            "quillbrax/accel/_pairmetric",
            "quillbrax.accel._pairmetric.pairwise_squared_euclidean",
            11,
        )
    ]


def test_type_check_adds_no_traceback_entry():
    with pytest.raises(TypeError) as caught:
        f([[1.0]], Y)
    assert native_frames(caught.value) == []


def test_non_contiguous_views_are_read_in_place():
    base = np.arange(24.0).reshape(4, 6)
    view = base[::-2, 1::2]
    assert not view.flags.c_contiguous
    assert np.array_equal(f(view, view), f(view.copy(), view.copy()))
