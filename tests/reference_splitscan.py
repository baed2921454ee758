"""Plain-Python split search, written from the arithmetic and slow on purpose: Python floats are
IEEE doubles, so every operation below rounds exactly as the native one must. The sort order is
`numpy.argsort` of each column, as the module's is (NaN rows are ordered among themselves by it,
and scores next to NaNs depend on that order); tests pass a stand-in for `numpy` when they
replace the module's `np`."""

import math

import numpy as np

NO_SPLIT = (None, None, None)


def divide(a, b):
    """a / b in IEEE arithmetic (Python raises for a zero divisor; the node of no rows has one)."""
    if b == 0.0:
        return math.nan if a == 0.0 or math.isnan(a) else math.copysign(math.inf, a)
    return a / b


def _scan(X, min_samples_leaf, start, move, score_of, numpy):
    n, m = X.shape
    best_score, best_feat, best_thr = 1e308, -1, 0.0
    for j in range(m):
        order = [int(r) for r in numpy.argsort(X[:, j])]
        left = start()
        for k in range(n - 1):
            left = move(left, order[k])
            current_val, next_val = float(X[order[k], j]), float(X[order[k + 1], j])
            if current_val == next_val:
                continue
            left_n = float(k + 1)
            right_n = float(n) - left_n
            if left_n < min_samples_leaf or right_n < min_samples_leaf:
                continue
            score = score_of(left, left_n, right_n)
            if score < best_score:
                best_thr, best_score, best_feat = (current_val + next_val) * 0.5, score, j
    return NO_SPLIT if best_feat == -1 else (best_feat, best_thr, best_score)


def gini(counts, total):
    impurity = 1.0
    for count in counts:
        p = divide(count, total)
        impurity = impurity - p * p
    return impurity


def best_split_classifier(X, y, min_samples_leaf, numpy=np):
    n = X.shape[0]
    class_to_idx = {int(label): c for c, label in enumerate(numpy.unique(y))}
    total_counts = [0.0] * len(class_to_idx)
    for r in range(n):
        total_counts[class_to_idx[int(y[r])]] += 1.0
    total = float(n)
    if total_counts and gini(total_counts, total) < 1e-15:
        return NO_SPLIT

    def move(left, r):
        left[class_to_idx[int(y[r])]] += 1.0
        return left

    def score_of(left, left_n, right_n):
        right = [t - count for t, count in zip(total_counts, left)]
        return (left_n / total) * gini(left, left_n) + (right_n / total) * gini(right, right_n)

    return _scan(X, min_samples_leaf, lambda: [0.0] * len(total_counts), move, score_of, numpy)


def variance(s, s2, count):
    mean = divide(s, count)
    return divide(s2, count) - mean * mean


def best_split_regressor(X, y, min_samples_leaf, numpy=np):
    n = X.shape[0]
    targets = [float(v) for v in y[:n]]
    total_sum, total_sum2 = 0.0, 0.0
    for v in targets:
        total_sum += v
        total_sum2 += v * v
    total = float(n)
    if variance(total_sum, total_sum2, total) < 1e-15 or X.shape[1] == 0:
        return NO_SPLIT

    def move(left, r):
        return (left[0] + targets[r], left[1] + targets[r] * targets[r])

    def score_of(left, left_n, right_n):
        right_var = variance(total_sum - left[0], total_sum2 - left[1], right_n)
        return (left_n / total) * variance(left[0], left[1], left_n) + (right_n / total) * right_var

    return _scan(X, min_samples_leaf, lambda: (0.0, 0.0), move, score_of, numpy)
