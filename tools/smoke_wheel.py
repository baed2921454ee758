"""Smoke test of an installed quillbrax wheel: one checked call of each of the five modules.

Run it with the interpreter of the environment the wheel went into, from a directory outside
the checkout, so that nothing but the installed package can be imported.
"""

import pathlib
import sys
import warnings

import numpy as np

warnings.simplefilter("error")

import quillbrax.accel  # noqa: E402  (after the warnings filter: an import warning fails)
from quillbrax.accel import _convkit, _nearix, _pairmetric, _splitscan, _warpalign  # noqa: E402

package = pathlib.Path(quillbrax.accel.__file__).parent
modules = (_pairmetric, _nearix, _warpalign, _splitscan, _convkit)
for module in modules:
    here = pathlib.Path(module.__file__).parent
    assert here == package, f"{module.__name__} loaded from {here}, not {package}"
    assert (package / (module.__name__.rsplit(".", 1)[1] + ".pyi")).is_file(), module.__name__
assert (package.parent / "py.typed").is_file(), "py.typed missing"
assert not list(package.rglob("*.cpp")) and not list(package.rglob("*.hpp")), "sources shipped"

rng = np.random.default_rng(9)
X = rng.random((40, 3))
Q = rng.random((7, 3))

D = _pairmetric.pairwise_squared_euclidean(Q, X)
assert D.shape == (7, 40)
assert np.allclose(D, ((Q[:, None, :] - X[None, :, :]) ** 2).sum(axis=2))

indices, distances = _nearix.KDTree(X).query(Q, 4)
order = np.argsort(D, axis=1, kind="stable")[:, :4]
assert indices.dtype == np.int32 and np.array_equal(
    np.sort(indices, axis=1), np.sort(order, axis=1)
)
assert np.allclose(distances, np.take_along_axis(D, order, axis=1))

path, cost = _warpalign.dtw_path([0.0, 1.0, 2.0], [0.0, 2.0], 1)
assert cost == 1.0 and path.tolist()[0] == [0, 0] and path.tolist()[-1] == [2, 1]

y = (X[:, 0] > 0.5).astype(np.int64)
feature, threshold, score = _splitscan._best_split_classifier(X, y, 1)
assert feature == 0 and score == 0.0 and X[y == 0, 0].max() < threshold < X[y == 1, 0].min()

images = rng.random((2, 5, 5, 3))
cols, OH, OW = _convkit.im2col(images, 3, 3, pad=1)
assert (OH, OW) == (5, 5) and cols.shape == (50, 27)
assert np.array_equal(cols[6].reshape(3, 3, 3), images[0, 0:3, 0:3, :])
pooled, argmax = _convkit.maxpool_forward(images, 2, 2)
assert np.array_equal(pooled[0, 0, 0], images[0, :2, :2, :].max(axis=(0, 1)))

print(
    f"smoke test passed: {len(modules)} modules from {package}, NumPy {np.__version__}, "
    f"Python {sys.version.split()[0]}"
)
