"""A short tour of quillbrax.accel on data sets that packages ship, each result checked against an
independent computation. Run with `make demo`."""

import sys

import numpy as np
from sklearn.datasets import load_iris

from quillbrax.accel import _pairmetric


def tour_pairmetric():
    X = load_iris().data  # 150 flowers, 4 measurements (cm)
    diff = X[:, None, :] - X[None, :, :]
    independent = {
        "pairwise_squared_euclidean": (diff * diff).sum(axis=-1),
        "pairwise_distances": np.sqrt((diff * diff).sum(axis=-1)),
        "pairwise_manhattan_distances": np.abs(diff).sum(axis=-1),
    }
    print("_pairmetric on iris (150 x 4):")
    for name, expected in independent.items():
        result = getattr(_pairmetric, name)(X, X)
        error = np.max(np.abs(result - expected))
        assert result.shape == (150, 150) and np.allclose(result, expected, rtol=1e-13, atol=1e-13)
        assert np.all(np.diag(result) == 0.0)
        i, j = np.unravel_index(np.argmax(result), result.shape)
        print(
            f"  {name:30s} farthest pair ({i:3d}, {j:3d}) at {result[i, j]:8.4f}; "
            f"largest deviation from NumPy {error:.1e}"
        )


def sections():
    # The other modules' sections live beside this file (on sys.path when it runs as a script).
    from tour_bound import tour_nearix, tour_warpalign
    from tour_convkit import tour_convkit
    from tour_splitscan import tour_splitscan

    return [tour_pairmetric, tour_nearix, tour_splitscan, tour_convkit, tour_warpalign]


def main():
    for section in sections():
        section()
        print()
    print("tour complete: every check passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
