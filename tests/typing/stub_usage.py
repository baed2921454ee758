"""Checked by mypy (make typecheck), never run: the result types the stubs give each module, and
calls the stubs must refuse. Each refused call carries an ignore comment for its exact error code;
with warn_unused_ignores, a stub that stopped refusing it fails the check."""

from typing import assert_type

import numpy as np
from numpy.typing import NDArray

from quillbrax.accel import _convkit, _nearix, _pairmetric, _splitscan, _warpalign

X = np.zeros((4, 2))
images = np.zeros((1, 4, 4, 1))

assert_type(_pairmetric.pairwise_distances(X, X), NDArray[np.float64])
assert_type(_pairmetric.pairwise_manhattan_distances(X=X, Y=X), NDArray[np.float64])
_pairmetric.pairwise_squared_euclidean([[0.0]], X)  # type: ignore[arg-type]

tree = _nearix.KDTree([[0.0, 1.0], [1.0, 0.0]])
assert_type(tree.query(X, np.int64(2)), tuple[NDArray[np.int32], NDArray[np.float64]])
tree.query(X, k=2)  # type: ignore[call-arg]
tree.query(X, 2.0)  # type: ignore[arg-type]
_nearix.KDTree(X=X)  # type: ignore[call-arg]

assert_type(_warpalign.dtw_path([0.0, 1.0], np.arange(3), 1), tuple[NDArray[np.int32], float])
_warpalign.dtw_path([0.0], [0.0], window=1)  # type: ignore[call-arg]

split = _splitscan._best_split_classifier(X, np.zeros(4, dtype=np.int64), 1)
assert_type(split, tuple[int, float, float] | tuple[None, None, None])
feature, threshold, score = split
if feature is not None:
    assert_type(feature, int)
_splitscan._best_split_regressor(X, X[:, 0], min_samples_leaf=1)
_splitscan._best_split_regressor(X, X[:, 0])  # type: ignore[call-arg]

cols, OH, OW = _convkit.im2col(images, 2, 2)
assert_type(cols, NDArray[np.float64])
assert_type(OH, int)
assert_type(_convkit.col2im(cols, images.shape, 2, 2, pad=0), NDArray[np.float64])
out, argmax = _convkit.maxpool_forward(images, 2, 2)
assert_type(argmax, NDArray[np.intp])
assert_type(_convkit.maxpool_backward(out, argmax, images.shape, 2, 2), NDArray[np.float64])
_convkit.im2col(images, 2, 2, padding=1)  # type: ignore[call-arg]
_convkit.maxpool_forward(images, 2)  # type: ignore[call-arg]
