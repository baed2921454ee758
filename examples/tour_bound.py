"""Tour sections of the two pybind11 modules: a k-nearest-neighbour classifier on scikit-learn's
digits (_nearix) and a DTW alignment of the sunspot record that statsmodels ships (_warpalign).
Each checks its result against an independent computation and raises AssertionError if it
disagrees."""

import numpy as np
from sklearn.datasets import load_digits
from statsmodels.datasets import sunspots

from quillbrax.accel import _nearix, _warpalign


def _brute_force_neighbours(train, test, k):
    """Squared distances summed column by column (the tree's order, so equal to the bit), then a
    stable sort: the k nearest training rows of every test row and their distances."""
    total = np.zeros((len(test), len(train)))
    for j in range(train.shape[1]):
        diff = test[:, None, j] - train[None, :, j]
        total += diff * diff
    order = np.argsort(total, axis=1, kind="stable")
    return order[:, : k + 1], np.take_along_axis(total, order[:, : k + 1], axis=1)


def _vote(labels):
    return np.array([np.bincount(row, minlength=10).argmax() for row in labels])


def tour_nearix(k=5):
    digits = load_digits()  # 1797 images of 8 x 8 pixels, grey levels 0..16
    order = np.random.default_rng(0).permutation(len(digits.target))
    train, test = order[:1200], order[1200:]
    X, y = digits.data[train], digits.target[train]
    Q, truth = digits.data[test], digits.target[test]

    indices, distances = _nearix.KDTree(X).query(Q, k)
    predicted = _vote(y[indices])
    brute_indices, brute_distances = _brute_force_neighbours(X, Q, k)
    brute_predicted = _vote(y[brute_indices[:, :k]])

    assert np.array_equal(distances, brute_distances[:, :k]), (
        "neighbour distances differ from brute force"
    )
    # Equally distant neighbours may be listed in another order, and at the k-th distance the
    # tree may keep another of several tied rows; anything else is a fault.
    for row in np.flatnonzero((indices != brute_indices[:, :k]).any(axis=1)):
        nearer = brute_distances[row, :k] < distances[row, -1]
        assert set(brute_indices[row, :k][nearer]) <= set(indices[row]), (
            f"query {row}: wrong neighbours"
        )
    disagree = np.flatnonzero(predicted != brute_predicted)
    for row in disagree:
        assert brute_distances[row, k - 1] == brute_distances[row, k], (
            f"query {row}: vote differs without a tie"
        )

    accuracy, brute_accuracy = np.mean(predicted == truth), np.mean(brute_predicted == truth)
    print(
        f"_nearix: {k}-NN classifier on digits "
        f"({len(train)} training images of 64 pixels, {len(test)} to classify):"
    )
    print(f"  k-d tree accuracy {accuracy:.4f}, brute-force NumPy accuracy {brute_accuracy:.4f}")
    print(
        f"  neighbour distances identical to brute force; {len(disagree)} votes differ "
        f"(allowed only where the {k}th-nearest distance is tied)"
    )


def _plain_dtw(x, y, window):
    """The whole table in plain Python, then the traceback: (path, cost)."""
    n, m = len(x), len(y)
    w = max(abs(n - m), window)
    dp = [[1e308] * (m + 1) for _ in range(n + 1)]
    dp[0][0] = 0.0
    for i in range(1, n + 1):
        for j in range(max(1, i - w), min(m, i + w) + 1):
            dp[i][j] = abs(x[i - 1] - y[j - 1]) + min(dp[i - 1][j], dp[i][j - 1], dp[i - 1][j - 1])
    path, i, j = [], n, m
    while n and m:
        path.append((i - 1, j - 1))
        d1, d2, d3 = dp[i - 1][j], dp[i][j - 1], dp[i - 1][j - 1]
        if d1 <= d2 and d1 <= d3:
            i -= 1
        elif d2 <= d1 and d2 <= d3:
            j -= 1
        else:
            i, j = i - 1, j - 1
        if i == 0 or j == 0:
            break
    return path[::-1], dp[n][m]


def tour_warpalign(window=6):
    record = sunspots.load_pandas().data  # yearly sunspot activity, 1700..2008
    years = record["YEAR"].to_numpy().astype(int)
    activity = record["SUNACTIVITY"].to_numpy()
    half = len(activity) // 2
    early, late = activity[:half], activity[half:]

    path, cost = _warpalign.dtw_path(early, late, window)
    assert path[0].tolist() == [0, 0] and path[-1].tolist() == [len(early) - 1, len(late) - 1]
    along = 0.0
    for i, j in path.tolist():
        along += abs(early[i] - late[j])
    assert along == cost, "cost is not the sum of the absolute differences along the path"

    excerpt_x, excerpt_y = early[:40].tolist(), late[:45].tolist()
    excerpt_path, excerpt_cost = _warpalign.dtw_path(excerpt_x, excerpt_y, window)
    assert ([tuple(p) for p in excerpt_path.tolist()], excerpt_cost) == _plain_dtw(
        excerpt_x, excerpt_y, window
    )

    diagonal_cost = float(np.abs(early - late[: len(early)]).sum())
    print(
        f"_warpalign: sunspot activity {years[0]}-{years[half - 1]} "
        f"against {years[half]}-{years[-1]}, band of {window} years:"
    )
    print(
        f"  DTW cost {cost:.1f} over a path of {len(path)} steps "
        f"(mean {cost / len(path):.2f} per step; year by year without warping {diagonal_cost:.1f})"
    )
    print(
        f"  first 40 and 45 years: cost {excerpt_cost:.1f} and path of {len(excerpt_path)} steps, "
        "identical to a plain Python DP"
    )


if __name__ == "__main__":
    tour_nearix()
    print()
    tour_warpalign()
