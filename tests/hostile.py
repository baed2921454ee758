"""Hostile arguments for the five modules, and the bookkeeping of the battery that uses them.

Every array variant comes with the values it holds (`values`, float64 when NumPy can convert it,
else None): a call given the variant must behave as the same call given that plain C-contiguous
float64 copy, or fail as the module documents.
"""

import collections
import dataclasses
import warnings

import numpy as np
from numpy.lib.stride_tricks import as_strided
from support import (
    BOTH_SLOTS,
    RAISING_INT,
    SUBCLASS_INT,
    Subclass,
    SubInt,
    huge_strides,
    int_probe,
    read_only,
    reversed_strides,
    same_value,
    spread,
    unaligned,
)

# Cases tried, by module; printed at the end of the session (see conftest.py).
CASES = collections.Counter()


def count(module):
    CASES[module] += 1


# ---------------------------------------------------------------------------------------------
# Outcomes: a result or the type of an exception, compared bit for bit.


@dataclasses.dataclass
class Outcome:
    value: object = None
    error: type = None

    def __repr__(self):
        return f"raised {self.error.__name__}" if self.error else f"returned {self.value!r}"


def outcome(function, *args):
    try:
        return Outcome(value=function(*args))
    except (
        TypeError,
        ValueError,
        OverflowError,
        IndexError,
        KeyError,
        MemoryError,
        DeprecationWarning,
    ) as e:
        return Outcome(error=type(e))


def same_outcome(a, b):
    if a.error or b.error:
        return a.error is b.error
    return same_value(a.value, b.value)


# ---------------------------------------------------------------------------------------------
# Snapshots: an argument must be byte-for-byte what it was before the call.


def _memory_of(array):
    """The bytes of the whole buffer a view lives in (its base's, when it has one)."""
    base = array
    while isinstance(base, np.ndarray) and isinstance(base.base, np.ndarray):
        base = base.base
    if isinstance(base, np.ndarray) and base.dtype.hasobject:
        return tuple(id(v) for v in base.ravel(order="K"))
    if isinstance(base, np.ndarray):
        return np.array(base, copy=True, order="K").tobytes()
    if base is None:
        return None
    try:
        return bytes(memoryview(base).cast("B"))
    except (TypeError, ValueError):
        return id(base)


def snapshot(value):
    """A comparable record of everything a call could change in `value`."""
    if isinstance(value, np.ndarray):
        return (
            "array",
            type(value),
            value.shape,
            value.strides,
            value.dtype.str,
            value.flags.writeable,
            _memory_of(value),
            snapshot(getattr(value, "__dict__", None)),
        )
    if isinstance(value, (list, tuple)):
        return (type(value), tuple(snapshot(v) for v in value))
    if isinstance(value, dict):
        return (dict, tuple((snapshot(k), snapshot(v)) for k, v in value.items()))
    if isinstance(value, memoryview):
        return (memoryview, value.tobytes(), value.format, value.shape, value.strides)
    if isinstance(value, float):
        return (type(value), value.hex())
    if isinstance(value, (int, str, bytes, complex, np.generic)) or value is None:
        return (type(value), repr(value))
    attributes = getattr(value, "__dict__", None)
    if isinstance(value, type) or not isinstance(attributes, dict):
        return (type(value), id(value))
    return (type(value), id(value), snapshot(attributes))


def same_snapshot(a, b):
    return a == b


# ---------------------------------------------------------------------------------------------
# Array variants.


@dataclasses.dataclass
class Variant:
    label: str
    value: object
    values: object  # C-contiguous float64 copy of what it holds, or None if not convertible
    dtype: object = None  # the variant's dtype when it is an ndarray
    ndarray: bool = False  # an instance of numpy.ndarray or a subclass
    plain: bool = True  # behaves as an ndarray under indexing (not np.matrix / masked)


class LyingSequence:
    """Claims three items but cannot produce the second."""

    def __len__(self):
        return 3

    def __getitem__(self, i):
        if i >= 1:
            raise IndexError(i)
        return 1.0


class RaisingArray:
    def __array__(self, dtype=None, copy=None):
        raise RuntimeError("no array today")


class WrongShapeArray:
    """__array__ hands back something of another shape than the sequence suggests."""

    def __init__(self, array):
        self.array = array

    def __array__(self, dtype=None, copy=None):
        return self.array


def float_values(value):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        try:
            return np.array(value, dtype=np.float64, order="C", copy=True)
        except Exception:
            return None


def _variant(label, value, plain=True):
    ndarray = isinstance(value, np.ndarray)
    return Variant(
        label, value, float_values(value), value.dtype if ndarray else None, ndarray, plain
    )


DTYPES = [
    "?",
    "i1",
    "u1",
    "i2",
    "u2",
    "<i4",
    "<u4",
    "<i8",
    "<u8",
    "q",
    "Q",
    "e",
    "<f4",
    "<f8",
    ">f8",
    ">i8",
    ">f4",
    "g",
    "<c8",
    "<c16",
    "G",
    "O",
    "U4",
    "S4",
    "M8[s]",
    "m8[s]",
    "V8",
    [("a", "<f8")],
    [("a", "<f8"), ("b", "<f8")],
    ("<f8", (2,)),
]


def layouts(a):
    """float64 variants of one array: other memory layouts, same element type, same values."""
    out = [
        _variant("C order", a.copy()),
        _variant("reversed strides", reversed_strides(a)),
        _variant("spread out", spread(a, 3)),
        _variant("read-only", read_only(a)),
        _variant("read-only spread", read_only(spread(a, 2))),
        _variant("unaligned", unaligned(a)),
        _variant("huge strides on axes of extent 1", huge_strides(a, 1)),
        _variant("huge negative strides on axes of extent 1", huge_strides(a, -1)),
        _variant("subclass", a.copy().view(Subclass)),
    ]
    if a.ndim >= 2:
        out.append(_variant("Fortran order", np.asfortranarray(a)))
        out.append(_variant("transposed copy", a.T.copy().T))
    if a.size:
        out.append(_variant("broadcast first element", np.broadcast_to(a.flat[0], a.shape)))
        if a.shape[0] > 1:
            out.append(_variant("broadcast first row", np.broadcast_to(a[:1], a.shape)))
    if a.ndim == 2:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", PendingDeprecationWarning)
            out.append(_variant("np.matrix", np.asmatrix(a.copy()), plain=False))
    out.append(_variant("masked array", np.ma.masked_array(a.copy(), mask=False), plain=False))
    return out


def with_values(a, nan_inf):
    """a with NaN, ±inf, -0.0, tiny and huge values written into it (if it has room)."""
    a = a.copy()
    flat = a.reshape(-1)
    specials = [np.nan, np.inf, -np.inf, -0.0, 5e-324, 1.7e308, -1.7e308]
    if a.dtype.kind in "iu":
        specials = [-1, 2**62, -(2**63), 2**31]
    for i, v in enumerate(specials if nan_inf else []):
        if i < flat.size:
            flat[(i * 7) % flat.size] = v
    return a


def retyped(a):
    """The values of `a` (small integers) in every dtype kind and both byte orders."""
    ints = np.round(a).clip(-3, 3)
    out = []
    for dt in DTYPES:
        try:
            dtype = np.dtype(dt)
            if dtype.kind in "US":
                value = ints.astype(int).astype(dtype)
            elif dtype.kind == "V" and dtype.fields is None:
                value = np.zeros(a.shape, dtype)
            elif dtype.fields or dtype.subdtype:
                value = np.zeros(a.shape, dtype)
            elif dtype.kind == "M":
                value = ints.astype("i8").astype(dtype)
            else:
                value = ints.astype(dtype)
        except (TypeError, ValueError):
            continue
        out.append(_variant(f"dtype {dtype.str if not dtype.fields else dtype.descr}", value))
    return out


def reshaped(a):
    """Wrong numbers of dimensions."""
    out = [
        _variant("0-d", np.array(a.flat[0] if a.size else 0.0)),
        _variant("one more axis", a[None]),
        _variant("one more trailing axis", a[..., None]),
        _variant("5-d", a.reshape((1,) * (5 - a.ndim) + a.shape) if a.ndim < 5 else a[None]),
    ]
    if a.ndim >= 2:
        out.append(_variant("flattened", a.ravel()))
    return out


def emptied(a):
    """Each axis in turn of extent 0 (with a huge stride there), and all of them."""
    out = []
    for axis in range(a.ndim):
        shape = list(a.shape)
        shape[axis] = 0
        empty = np.empty(shape, a.dtype)
        strides = list(empty.strides)
        strides[axis] = -(2**50)
        out.append(_variant(f"axis {axis} empty", as_strided(empty, shape, strides)))
    if a.ndim:
        out.append(_variant("all axes empty", np.empty((0,) * a.ndim, a.dtype)))
    return out


def not_arrays(a):
    out = [
        _variant("None", None),
        _variant("list", a.tolist()),
        _variant("tuple", tuple(a.tolist())),
        _variant("float", 1.5),
        _variant("int", 3),
        _variant("str", "abc"),
        _variant("bytes", b"abcdefgh"),
        _variant("object", object()),
        _variant("dict", {0: 1.0}),
        _variant("memoryview", memoryview(a.copy())),
        _variant("numpy scalar", np.float64(2.5)),
        _variant("lying sequence", LyingSequence()),
        _variant("raising __array__", RaisingArray()),
        _variant("ragged list", [[1.0, 2.0], [3.0]]),
        _variant("__array__ of another shape", WrongShapeArray(np.zeros((2, 3, 1)))),
    ]
    return out


def array_variants(a, nan_inf=True):
    """Everything the battery passes where the float64 array `a` is expected."""
    return (
        layouts(a)
        + layouts(with_values(a, nan_inf))
        + retyped(a)
        + reshaped(a)
        + emptied(a)
        + not_arrays(a)
    )


# ---------------------------------------------------------------------------------------------
# Integer variants.

# (label, value, exact: the integer it stands for when the value is a plain integer)
INTEGERS = [
    ("0", 0),
    ("1", 1),
    ("2", 2),
    ("-1", -1),
    ("-2", -2),
    ("2**31-1", 2**31 - 1),
    ("-2**31", -(2**31)),
    ("2**31", 2**31),
    ("-2**31-1", -(2**31) - 1),
    ("2**63", 2**63),
    ("-2**63-1", -(2**63) - 1),
    ("2**100", 2**100),
    ("True", True),
    ("False", False),
    ("2.7", 2.7),
    ("-0.5", -0.5),
    ("nan", float("nan")),
    ("inf", float("inf")),
    ("1e300", 1e300),
    ("np.int64(2)", np.int64(2)),
    ("np.int32(-3)", np.int32(-3)),
    ("np.uint64(2**63)", np.uint64(2**63)),
    ("np.float64(2.5)", np.float64(2.5)),
    ("np.bool_(True)", np.bool_(True)),
    ("SubInt(2)", SubInt(2)),
    ("raising __int__", RAISING_INT),
    ("__int__ returns int subclass", SUBCLASS_INT),
    ("__int__ returns float", int_probe(2.5, slots=BOTH_SLOTS)),
    ("only __int__", int_probe(2)),
    ("only __index__", int_probe(2, slots=("__index__",))),
    ("None", None),
    ("'3'", "3"),
    ("object", object()),
    ("complex", 2 + 0j),
    ("0-d array", np.array(2)),
    ("1-d array", np.array([2])),
]


def frame_int32(value):
    """What the frame's 32-bit conversion makes of `value`: an int, or the exception type."""
    if isinstance(value, bool) or isinstance(value, int) and type(value) is int:
        v = int(value)
    else:
        slot = getattr(type(value), "__int__", None)
        if slot is None:
            return TypeError
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("error")
                v = slot(value)
        except Exception as e:
            return type(e)
        if type(v) is not int:
            if isinstance(v, int):
                return DeprecationWarning
            return TypeError
    return v if -(2**31) <= v < 2**31 else OverflowError


def binding_int32(value):
    """What the binding layer's int conversion makes of `value`: an int, or TypeError."""
    import operator

    if isinstance(value, (float, np.floating, complex)) or isinstance(value, str):
        return TypeError
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            v = operator.index(value)
            if type(v) is not int:
                return TypeError
    except Exception:
        slot = getattr(type(value), "__int__", None)
        if slot is None or isinstance(value, np.ndarray):
            return TypeError
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("error")
                v = int(value)
        except Exception:
            return TypeError
    return v if -(2**31) <= v < 2**31 else TypeError
