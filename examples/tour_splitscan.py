"""Tour section of _splitscan: the best root split of iris (classification, Gini) and of the
diabetes data (regression, variance), both shipped with scikit-learn, beside a depth-one
scikit-learn decision tree on the same data. Raises AssertionError if they disagree."""

import math

import numpy as np
from sklearn.datasets import load_diabetes, load_iris
from sklearn.tree import DecisionTreeClassifier, DecisionTreeRegressor

from quillbrax.accel import _splitscan


def _stump(estimator, X, y):
    """(feature, threshold, weighted child impurity, left-row mask) of a depth-one tree. The tree
    sees the features rounded to float32, so its mask is taken on those values."""
    tree = estimator(max_depth=1, random_state=0).fit(X, y).tree_
    left, right = tree.children_left[0], tree.children_right[0]
    sizes, impurity = tree.n_node_samples, tree.impurity
    score = (sizes[left] * impurity[left] + sizes[right] * impurity[right]) / sizes[0]
    feature, threshold = int(tree.feature[0]), float(tree.threshold[0])
    return feature, threshold, float(score), X.astype(np.float32)[:, feature] <= threshold


def _compare(title, names, search, estimator, X, y):
    feature, threshold, score = search(X, y, 1)
    ours_left = X[:, feature] <= threshold
    sk_feature, sk_threshold, sk_score, _ = _stump(estimator, X, y)
    print(f"  {title}: {X.shape[0]} rows, {X.shape[1]} features")
    for who, f, t, s in [
        ("_splitscan", feature, threshold, score),
        ("scikit-learn", sk_feature, sk_threshold, sk_score),
    ]:
        print(f"    {who:12s}  {names[f]:>18s} <= {t:<12.6g} score {s:.12g}")

    assert math.isclose(score, sk_score, rel_tol=1e-12), "best scores differ"
    if sk_feature != feature:
        # scikit-learn visits the features in a random order and keeps the first of equal scores;
        # the search keeps the lowest column. A different feature must then score the same.
        tied = search(X[:, [sk_feature]], y, 1)
        assert tied[0] == 0 and math.isclose(tied[2], score, rel_tol=1e-12), "features differ"
        print(f"    (a tie: {names[sk_feature]} scores the same; the lower column is reported)")
    # The threshold on our feature: scikit-learn's, on float32 features, must lie between the
    # same two adjacent values, so both put the same rows on the left.
    _, _, column_score, sk_left = _stump(estimator, X[:, [feature]], y)
    assert math.isclose(column_score, score, rel_tol=1e-12), "scores on the chosen feature differ"
    assert np.array_equal(ours_left, sk_left), "thresholds fall between different values"
    print(f"    same partition of the rows: {ours_left.sum()} left, {(~ours_left).sum()} right")


def tour_splitscan():
    print("_splitscan: best root split beside a depth-one scikit-learn tree")
    iris = load_iris()
    _compare(
        "iris (Gini)",
        iris.feature_names,
        _splitscan._best_split_classifier,
        DecisionTreeClassifier,
        iris.data,
        iris.target.astype(np.int64),
    )
    diabetes = load_diabetes()
    _compare(
        "diabetes (variance)",
        diabetes.feature_names,
        _splitscan._best_split_regressor,
        DecisionTreeRegressor,
        diabetes.data,
        diabetes.target.astype(np.float64),
    )


if __name__ == "__main__":
    tour_splitscan()
