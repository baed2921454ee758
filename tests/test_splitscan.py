"""Split search: bit-exact agreement with the plain-Python reference over awkward data, the
result conventions, argument errors in their order, and whatever a replaced `np` hands back."""

import math

import numpy as np
import pytest
import reference_splitscan as reference
from hypothesis import given, settings
from hypothesis import strategies as st
from support import FakeNumpy, Subclass, laid_out, native_frames, same_float

from quillbrax.accel import _splitscan

classify = _splitscan._best_split_classifier
regress = _splitscan._best_split_regressor
NO_SPLIT = (None, None, None)
REFERENCE = {classify: reference.best_split_classifier, regress: reference.best_split_regressor}

X4 = np.array([[1.0], [2.0], [3.0], [4.0]])
LABELS4 = np.array([0, 0, 1, 1])
TARGETS4 = np.array([1.0, 1.0, 3.0, 3.0])


def assert_same(result, expected):
    if expected == NO_SPLIT:
        assert result is classify(X4, LABELS4, 9)  # the one shared tuple
        return
    assert type(result) is tuple and [type(v) for v in result] == [int, float, float]
    assert result[0] == expected[0], (result, expected)
    assert same_float(result[1], expected[1]), (result, expected)
    assert same_float(result[2], expected[2]), (result, expected)


# ---------------------------------------------------------------------------------------------
# Against the reference: few distinct values (ties), signed zeros, infinities and NaNs in X;
# negative, huge and sparse labels, some only beyond row n; every admissibility regime.

FEATURE_VALUES = st.one_of(
    st.sampled_from([-1.5, -0.0, 0.0, 1.0, 2.0, 2.0 + 2**-51, math.inf, -math.inf, math.nan]),
    st.floats(-1e3, 1e3),
)
TARGET_VALUES = st.one_of(st.sampled_from([0.0, 2.5, -1.0, 1e8]), st.floats(-1e3, 1e3))
LABELS = st.sampled_from([-7, 0, 3, 2**62, -(2**63)])


@st.composite
def nodes(draw, targets):
    n, m = draw(st.integers(0, 20)), draw(st.integers(0, 4))
    X = np.array(
        draw(st.lists(FEATURE_VALUES, min_size=n * m, max_size=n * m)), dtype=np.float64
    ).reshape(n, m)
    X = laid_out(
        X, draw(st.sampled_from(["C", "fortran", "transposed", "strided", "reversed", "read-only"]))
    )
    extra = draw(st.integers(0, 3))
    y = np.array(
        draw(st.lists(targets, min_size=n + extra, max_size=n + extra)),
        dtype=np.int64 if targets is LABELS else np.float64,
    )
    return X, y[:: draw(st.sampled_from([1, -1]))], draw(st.integers(-2, n // 2 + 2))


@pytest.mark.slow
@settings(max_examples=300)
@given(nodes(LABELS))
def test_classifier_matches_reference(node):
    X, y, min_samples_leaf = node
    before = (X.copy(), y.copy())
    expected = reference.best_split_classifier(X, y, min_samples_leaf)
    assert_same(classify(X, y, min_samples_leaf), expected)
    np.testing.assert_array_equal(X, before[0])
    np.testing.assert_array_equal(y, before[1])


@pytest.mark.slow
@settings(max_examples=300)
@given(
    nodes(TARGET_VALUES), st.sampled_from([None, math.nan, math.inf, -math.inf]), st.integers(0, 30)
)
def test_regressor_matches_reference(node, poison, where):
    X, y, min_samples_leaf = node
    if poison is not None and len(y):
        y = y.copy()
        y[where % len(y)] = poison  # beyond row n it must change nothing
    expected = reference.best_split_regressor(X, y, min_samples_leaf)
    assert_same(regress(X, y, min_samples_leaf), expected)


# ---------------------------------------------------------------------------------------------
# Worked examples and result conventions.

NAN = math.nan
G = 1.0 - (1 / 3) * (1 / 3) - (2 / 3) * (2 / 3)  # Gini of a 1:2 child


@pytest.mark.parametrize(
    "function, X, y, min_samples_leaf, expected",
    [
        (classify, X4, LABELS4, 1, (0, 2.5, 0.0)),
        (regress, X4, TARGETS4, 1, (0, 2.5, 0.0)),
        (regress, X4, TARGETS4, 3, NO_SPLIT),
        (classify, X4, np.array([0, 1, 1, 0]), 1, (0, 1.5, 0.75 * G)),  # the earliest of two equal
        (classify, X4, np.array([0, 1, 1, 0]), 2, (0, 2.5, 0.5)),
        (classify, np.hstack([X4, X4]), LABELS4, 1, (0, 2.5, 0.0)),  # the lowest feature of two
        (classify, np.hstack([X4[[0, 2, 1, 3]], X4]), LABELS4, 1, (1, 2.5, 0.0)),
        (classify, X4, np.array([-(2**63), -(2**63), 2**63 - 1, 2**63 - 1]), 0, (0, 2.5, 0.0)),
        (classify, X4, np.array([0, 0, 0, 0, 1]), 1, NO_SPLIT),  # label beyond row n
        (classify, X4, np.array([0, 0, 1, 1, 5, -9]), 1, (0, 2.5, 0.0)),
        (regress, X4, np.array([2.0, 2.0, 2.0, 2.0, NAN]), 1, NO_SPLIT),
        (classify, np.array([[1.0], [2.0], [NAN], [NAN]]), LABELS4, 1, (0, NAN, 0.0)),
        (classify, np.array([[0.0], [-0.0], [1.0], [1.0]]), LABELS4, 1, (0, 0.5, 0.0)),
        (classify, np.array([[2.0], [2.0], [2.0]]), np.array([0, 1, 0]), 1, NO_SPLIT),
        (classify, np.ones((1, 3)), np.array([4]), 1, NO_SPLIT),
        (regress, np.ones((1, 3)), np.array([4.0]), 1, NO_SPLIT),
        (classify, np.empty((0, 2)), np.array([], dtype=np.int64), 1, NO_SPLIT),
        (classify, np.empty((0, 2)), np.array([1, 2]), 1, NO_SPLIT),
        (regress, np.empty((0, 2)), np.array([]), 1, NO_SPLIT),
        (classify, np.empty((4, 0)), LABELS4, 1, NO_SPLIT),
        (regress, np.empty((4, 0)), TARGETS4, 1, NO_SPLIT),
        (regress, X4, np.array([1.0, 1.0, 3.0, math.inf]), 1, NO_SPLIT),
        (classify, X4, LABELS4, 3, NO_SPLIT),
        (classify, X4, LABELS4, -5, (0, 2.5, 0.0)),
    ],
)
def test_worked_examples(function, X, y, min_samples_leaf, expected):
    assert_same(function(X, y, min_samples_leaf), expected)


def test_pure_and_constant_nodes_sort_nothing(monkeypatch):
    def argsort(_):
        raise AssertionError("sorted a node that has no split")

    monkeypatch.setattr(_splitscan, "np", fake_numpy(argsort=argsort))
    assert classify(X4, np.array([3, 3, 3, 3]), 1) is NO_SPLIT_TUPLE
    assert regress(X4, np.full(4, 2.5), 1) is NO_SPLIT_TUPLE


@pytest.mark.parametrize(
    "function, y",
    [
        (classify, np.arange(30) % 3 - 1),
        (regress, np.arange(30) % 7 * 0.5),
    ],
)
def test_wide_node(function, y):
    # more features than a call could hold buffers for, were the order not reassigned in place
    X = np.random.default_rng(5).integers(0, 6, size=(30, 40)).astype(np.float64)
    assert_same(function(X, y, 2), REFERENCE[function](X, y, 2))


def _wide_range(rng, n):
    return rng.standard_normal(n) * 10.0 ** rng.integers(-300, 300, n)


def _zeros_and_ties(rng, n):
    return rng.choice([-0.0, 0.0, -1.0, 3.0, 2.0**-1074, -math.inf, math.inf], n)


def _one_nan(rng, n):
    column = rng.standard_normal(n)
    column[rng.integers(n)] = math.nan
    return column


@pytest.mark.parametrize("function", [classify, regress])
@pytest.mark.parametrize(
    "column",
    [
        lambda rng, n: rng.standard_normal(n),
        _wide_range,
        _zeros_and_ties,
        _one_nan,
        lambda rng, n: rng.integers(-3, 3, n) * 0.5,
    ],
)
def test_larger_nodes_match_reference(function, column):
    # enough rows that every digit of the sort keys varies; columns of every sign and magnitude
    rng = np.random.default_rng(11)
    n = 3000
    X = np.column_stack([column(rng, n), column(rng, n)])
    y = rng.integers(0, 5, n) if function is classify else rng.standard_normal(n)
    for min_samples_leaf in (1, 700):
        assert_same(function(X, y, min_samples_leaf), REFERENCE[function](X, y, min_samples_leaf))


@pytest.mark.parametrize("function", [classify, regress])
# a rank sort up to 256 rows in blocks of four (whole and partial blocks), or up to 32 on the
# portable kernels, a comparison sort up to 384 rows, then a radix sort
@pytest.mark.parametrize("n", [2, 3, 5, 17, 32, 33, 256, 257, 384, 385])
@pytest.mark.parametrize("column", [_wide_range, _zeros_and_ties, _one_nan])
def test_nodes_on_both_sides_of_the_sort_size_thresholds(function, n, column):
    rng = np.random.default_rng(n)
    X = np.column_stack([column(rng, n), rng.standard_normal(n), column(rng, n)])
    y = rng.integers(0, 3, n) if function is classify else rng.standard_normal(n)
    for min_samples_leaf in (1, n // 3):
        assert_same(function(X, y, min_samples_leaf), REFERENCE[function](X, y, min_samples_leaf))


@pytest.mark.parametrize("function", [classify, regress])
def test_rank_sorted_nodes_of_every_block_shape_match_reference(function):
    # one to five blocks of four, whole and partial, and the largest rank-sorted nodes; few
    # distinct values, so that equal keys meet within blocks and across them, and one NaN
    rng = np.random.default_rng(13)
    for n in [*range(1, 18), 31, 32, 33, 63, 64, 65, 255, 256]:
        X = np.column_stack(
            [rng.integers(-2, 3, n) * 0.5, _zeros_and_ties(rng, n), _one_nan(rng, n)]
        )
        y = rng.integers(0, 3, n) if function is classify else rng.standard_normal(n)
        assert_same(function(X, y, 1), REFERENCE[function](X, y, 1))


def test_integer_conversion_and_keywords():
    X = np.arange(6.0)[:, None]
    y = np.array([0, 0, 1, 1, 1, 1])
    assert classify(X, y, 2) == (0, 1.5, 0.0) != classify(X, y, 3)
    assert classify(X, y, 2.7) == classify(y=y, min_samples_leaf=2.7, X=X) == (0, 1.5, 0.0)
    assert regress(X, y.astype(float), True) == regress(X, y.astype(float), 1)


def test_subclass_and_views_read_in_place():
    X = np.array([[9.0, 4.0], [9.0, 1.0], [9.0, 3.0], [9.0, 2.0]]).view(Subclass)
    y = np.array([7, 9, 0, 9, 7, 9, 0, 9])[::2]  # every other label, read by stride
    assert_same(classify(X, y, 1), reference.best_split_classifier(X, y, 1))
    assert classify(X, y, 1)[:2] == (1, 2.5)


def test_module_and_function_metadata():
    assert _splitscan.__doc__ == "Accelerated decision tree split search routines."
    assert classify.__doc__ == (
        "Find best (feature, threshold) for a classification node.\n\n"
        "    Returns (best_feat, best_thr, best_score) or (None, None, None).\n"
        "    Uses pre-sorted feature columns and cumulative counts for O(n*m) total.\n    "
    )
    assert regress.__doc__ == "Find best (feature, threshold) for a regression node (MSE)."
    for function, line in [(classify, 16), (regress, 82)]:
        assert function.__module__ == "quillbrax.accel._splitscan"
        assert function.__code__.co_varnames[:3] == ("X", "y", "min_samples_leaf")
        assert function.__code__.co_firstlineno == line
    assert _splitscan.__test__ == {}
    assert NO_SPLIT_TUPLE == NO_SPLIT and type(NO_SPLIT_TUPLE) is tuple


# ---------------------------------------------------------------------------------------------
# Argument errors, in the order they are checked: binding, min_samples_leaf, type of X then y,
# acquisition of X then y, then the length of y.

F32 = X4.astype(np.float32)
F32_MESSAGE = "Buffer dtype mismatch, expected 'DTYPE_t' but got 'float'"


@pytest.mark.parametrize(
    "function, arguments, error, message",
    [
        (
            classify,
            (X4, LABELS4),
            TypeError,
            "_best_split_classifier() takes exactly 3 positional arguments (2 given)",
        ),
        (
            classify,
            ([[1.0]], LABELS4, 1),
            TypeError,
            "Argument 'X' has incorrect type (expected numpy.ndarray, got list)",
        ),
        (
            regress,
            (X4, LABELS4, 1),
            ValueError,
            "Buffer dtype mismatch, expected 'DTYPE_t' but got 'long'",
        ),
        (
            classify,
            (X4, TARGETS4, 1),
            ValueError,
            "Buffer dtype mismatch, expected 'INT_t' but got 'double'",
        ),
        (classify, (F32, LABELS4, 1), ValueError, F32_MESSAGE),
        (
            regress,
            (X4[:, 0], TARGETS4, 1),
            ValueError,
            "Buffer has wrong number of dimensions (expected 2, got 1)",
        ),
        (classify, (X4, LABELS4, 2**31), OverflowError, "value too large to convert to int"),
        (regress, (X4, TARGETS4, -(2**31) - 1), OverflowError, "value too large to convert to int"),
        (classify, (X4, LABELS4, "1"), TypeError, "an integer is required"),
        (regress, (None, TARGETS4, 1), TypeError, "Argument 'X' must be a numpy.ndarray, not None"),
        (classify, (X4, None, 1), TypeError, "Argument 'y' must be a numpy.ndarray, not None"),
        (
            classify,
            (X4, LABELS4[:3], 1),
            ValueError,
            "y has 3 entries but X has 4 rows: y needs an entry for every row of X",
        ),
        (
            regress,
            (X4, np.array([]), 0),
            ValueError,
            "y has 0 entries but X has 4 rows: y needs an entry for every row of X",
        ),
        # the first failure wins
        (classify, ([[1.0]], None, 2**31), OverflowError, "value too large to convert to int"),
        (
            classify,
            (F32, [0], 1),
            TypeError,
            "Argument 'y' has incorrect type (expected numpy.ndarray, got list)",
        ),
        (classify, (F32, LABELS4.astype(np.int32), 1), ValueError, F32_MESSAGE),
        (classify, (F32, None, 1), ValueError, F32_MESSAGE),
        (regress, (None, None, 1), TypeError, "Argument 'X' must be a numpy.ndarray, not None"),
        (
            classify,
            (X4, LABELS4[:3].astype(np.int32), 1),
            ValueError,
            "Buffer dtype mismatch, expected 'INT_t' but got 'int'",
        ),
    ],
)
def test_argument_errors(function, arguments, error, message):
    with pytest.raises(error) as caught:
        function(*arguments)
    assert str(caught.value) == message


# ---------------------------------------------------------------------------------------------
# `np` replaced at call time: what the module does with what it gives (its failures and unfit
# results are in test_faults.py).

NO_SPLIT_TUPLE = classify(X4, LABELS4, 9)


def fake_numpy(**functions):
    return FakeNumpy(only=("unique", "zeros", "argsort", "float64"), **functions)


def test_label_changed_during_the_scan_is_a_key_error(monkeypatch):
    y = np.array([0, 0, 1, 1])

    def argsort(column):
        y[0] = 42  # not among the classes counted before the scan
        return np.argsort(column)

    monkeypatch.setattr(_splitscan, "np", fake_numpy(argsort=argsort))
    with pytest.raises(KeyError) as caught:
        classify(X4, y, 1)
    assert caught.value.args == (42,)
    assert native_frames(caught.value)[0] == (
        "quillbrax/accel/_splitscan",
        "quillbrax.accel._splitscan._best_split_classifier",
        55,
    )


@pytest.mark.parametrize(
    "unique",
    [
        lambda y: np.unique(y)[::-1],  # classes in another order
        lambda y: np.concatenate([np.unique(y), [1, 9]]),  # a repeated and an unused class
    ],
)
def test_any_class_table_maps_as_a_dictionary_would(monkeypatch, unique):
    X = np.array([[0.5, 3.0], [0.25, 1.0], [2.0, 2.0], [1.0, 1.5], [0.75, 0.0]])
    y = np.array([1, 0, 2, 1, 0])
    stand_in = fake_numpy(unique=unique)
    monkeypatch.setattr(_splitscan, "np", stand_in)
    assert_same(classify(X, y, 1), reference.best_split_classifier(X, y, 1, numpy=stand_in))


@pytest.mark.parametrize(
    "low, step",
    [
        (-(2**63), 1),  # the foot of the int64 range
        (2**63 - 1 - 2 * 31, 31),  # its top; the three labels span 62
        (-5, 32),  # spanning 64, past what 12 labels are marked over
        (-(2**63), 2**62),  # spanning nearly all of it
    ],
)
def test_class_tables_found_without_np_unique_match_reference(low, step):
    # NumPy's own unique on a plain array is not called: the distinct labels are found natively,
    # marked over their range or sorted. Three classes, so their order shows in the scores' bits.
    rng = np.random.default_rng(step)
    X = rng.standard_normal((10, 3))
    y = np.array([low + step * int(c) for c in rng.integers(0, 3, 12)], dtype=np.int64)
    assert_same(classify(X, y, 1), reference.best_split_classifier(X, y, 1))
    assert_same(classify(X, y[::-1], 1), reference.best_split_classifier(X, y[::-1], 1))


def test_labels_of_an_array_subclass_are_found_by_np_unique():
    class ReversedClasses(np.ndarray):
        def __array_function__(self, function, types, args, kwargs):
            classes = super().__array_function__(function, types, args, kwargs)
            return np.asarray(classes)[::-1] if function is np.unique else classes

    rng = np.random.default_rng(1)
    X, y = rng.standard_normal((20, 3)), rng.integers(0, 5, 20)
    stand_in = fake_numpy(unique=lambda labels: np.unique(labels)[::-1])
    expected = reference.best_split_classifier(X, y, 1, numpy=stand_in)
    assert expected != reference.best_split_classifier(X, y, 1)  # the class order shows
    assert_same(classify(X, y.view(ReversedClasses), 1), expected)


# ---------------------------------------------------------------------------------------------
# Candidates skipped when they cannot beat the best score: equal and nearly equal scores (a
# column repeated, mirrored, or shifted by one row), many classes, and row classes that stop
# counting as the node's totals when np.argsort's lookup relabels a row.


@pytest.mark.parametrize("n", [8, 50, 200])
@pytest.mark.parametrize("n_classes", [2, 3, 40])
def test_near_ties_between_candidates_match_reference(n, n_classes):
    # few distinct values: many candidates whose scores are equal as real numbers but may round
    # apart (the same class counts in another class order)
    rng = np.random.default_rng(n * n_classes)
    for _ in range(10):
        few = rng.integers(0, 4, (n, 3)) * 1.0
        X = np.column_stack([few, few[:, 0], -few[:, 1], rng.standard_normal(n)])
        y = rng.integers(0, n_classes, n)
        for min_samples_leaf in (1, n // 4):
            assert_same(
                classify(X, y, min_samples_leaf),
                reference.best_split_classifier(X, y, min_samples_leaf),
            )


@pytest.mark.parametrize("function", [classify, regress])
def test_argsort_that_changes_between_features(monkeypatch, function):
    # NumPy's own argsort for the even features, a stand-in for the odd ones: each feature is
    # ordered by what np.argsort is when it is looked up, and only the stand-in is called
    rng = np.random.default_rng(9)
    X = rng.standard_normal((50, 6))
    y = rng.integers(0, 3, 50) if function is classify else rng.standard_normal(50)
    called = []

    class Alternating:
        unique, zeros, float64 = staticmethod(np.unique), np.zeros, np.float64

        def __init__(self):
            self.looked_up = 0

        @property
        def argsort(self):
            self.looked_up += 1
            if self.looked_up % 2 == 1:
                return np.argsort
            return lambda column: called.append(self.looked_up) or np.argsort(column)[::-1]

    monkeypatch.setattr(_splitscan, "np", Alternating())
    ours = function(X, y, 1)
    assert called == [2, 4, 6]
    assert_same(ours, REFERENCE[function](X, y, 1, numpy=Alternating()))


@pytest.mark.parametrize("relabel", [lambda label: label, lambda label: 1 - label])
def test_rows_relabelled_during_the_scan_match_reference(monkeypatch, relabel):
    rng = np.random.default_rng(5)
    X = rng.standard_normal((30, 4))
    labels = rng.integers(0, 2, 30)

    class Relabelling:
        """A stand-in whose argsort is NumPy's own, handed out after one more row is relabelled."""

        unique, zeros, float64 = staticmethod(np.unique), np.zeros, np.float64

        def __init__(self, y):
            self.y, self.looked_up = y, 0

        @property
        def argsort(self):
            self.y[self.looked_up] = relabel(self.y[self.looked_up])
            self.looked_up += 1
            return np.argsort

    y = labels.copy()
    monkeypatch.setattr(_splitscan, "np", Relabelling(y))
    ours = classify(X, y, 1)
    y = labels.copy()
    assert_same(ours, reference.best_split_classifier(X, y, 1, numpy=Relabelling(y)))


@pytest.mark.parametrize("start", [-0.0, 1.0])
@pytest.mark.parametrize("n", [9, 60, 300])
def test_class_counts_start_from_what_np_zeros_gave(monkeypatch, start, n):
    # The node's counts are added onto np.zeros' values: signed zeros count as a partition of
    # the rows (candidates that cannot win are skipped), other values do not (every candidate
    # is scored). The oracle is the plain scan with the node's counts started at `start`.
    rng = np.random.default_rng(n)
    X, y = rng.standard_normal((n, 3)), rng.integers(0, 3, n)
    index = {int(label): c for c, label in enumerate(np.unique(y))}
    total = [start] * len(index)
    for label in y:
        total[index[int(label)]] += 1.0

    def move(left, r):
        left[index[int(y[r])]] += 1.0
        return left

    def score_of(left, left_n, right_n):
        right = [t - count for t, count in zip(total, left)]
        return (left_n / n) * reference.gini(left, left_n) + (right_n / n) * reference.gini(
            right, right_n
        )

    expected = reference._scan(X, 1, lambda: [0.0] * len(total), move, score_of, np)
    monkeypatch.setattr(
        _splitscan, "np", fake_numpy(zeros=lambda count, dtype: np.full(count, start, dtype))
    )
    assert_same(classify(X, y, 1), expected)


@pytest.mark.slow
@pytest.mark.parametrize("n", [2**18, 2**18 + 1])
def test_nodes_on_both_sides_of_the_largest_screened_node(n):
    # up to 2**18 rows, the candidates that cannot win are screened out by products of class
    # counts that stay exact; beyond, every candidate is scored
    rng = np.random.default_rng(n)
    X = np.column_stack([rng.integers(0, 40, n) * 0.5, rng.standard_normal(n)])
    y = rng.integers(0, 4, n)
    assert_same(classify(X, y, 1), reference.best_split_classifier(X, y, 1))
