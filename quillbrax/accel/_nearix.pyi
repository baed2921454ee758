from typing import Any, SupportsIndex

import numpy as np
from numpy.typing import ArrayLike, NDArray

# A subclass instance's own attributes: its __dict__, or that (None when empty) and its slots.
_Attributes = dict[str, Any] | tuple[dict[str, Any] | None, dict[str, Any]]
_State = (
    tuple[int, NDArray[np.float64], NDArray[np.int32]]
    | tuple[int, NDArray[np.float64], NDArray[np.int32], _Attributes]
)

# pybind11 creates its classes with a metaclass of its own (pybind11_builtins.pybind11_type).
class _pybind11_type(type): ...

class KDTree(metaclass=_pybind11_type):
    # X is converted to a float64 (n, d) matrix; parameters are positional only.
    def __init__(self, X: ArrayLike, /) -> None: ...
    # Returns (indices int32 (nq, min(k, n)), squared distances float64 (nq, min(k, n))).
    def query(
        self, Q: ArrayLike, k: SupportsIndex, /
    ) -> tuple[NDArray[np.int32], NDArray[np.float64]]: ...
    # Pickling and copying: the state is the tree's own arrays (format 1, the samples in tree
    # order, their row numbers), and a subclass instance's own attributes where it has any;
    # restoring checks them and does not build again. __reduce__ honours a subclass's
    # __getstate__, __getnewargs__ and __getnewargs_ex__.
    def __getstate__(self) -> _State: ...
    def __setstate__(self, state: _State, /) -> None: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
