import copy
import gc
import math
import multiprocessing
import operator
import pickle
import re

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from reference_nearix import brute_force, squared_distance, tree_search
from support import int_probe, laid_out, outputs_on_every_kernel, spread

from quillbrax.accel import _nearix

KDTree = _nearix.KDTree

WORKED_X = [[2, 3], [5, 4], [9, 6], [4, 7], [8, 1], [7, 2]]
INT32_MAX = 2**31 - 1


def check_against_brute_force(X, Q, k):
    """Distances exactly those of brute force; every reported index is at its reported distance,
    none twice, and every sample strictly nearer than the k-th best is among them. Where
    distances are distinct that pins the indices; ties are compared by distance."""
    X = np.asarray(X, dtype=float)
    Q = np.asarray(Q, dtype=float)
    indices, distances = KDTree(X).query(Q, k)
    width = min(k, len(X))
    assert indices.shape == distances.shape == (len(Q), width)
    for q, row_i, row_d, want in zip(
        Q, indices.tolist(), distances.tolist(), brute_force(X, Q, width)
    ):
        assert row_d == [dist for dist, _ in want]
        assert len(set(row_i)) == width
        assert all(squared_distance(q, X[i]) == dist for i, dist in zip(row_i, row_d))
        if width:
            nearer = {i for dist, i in brute_force(X, [q], len(X))[0] if dist < row_d[-1]}
            assert nearer <= set(row_i)
    return indices, distances


@pytest.mark.parametrize(
    ("q", "k", "want_indices", "want_distances"),
    [
        ([9, 2], 2, [4, 5], [2, 4]),
        ([5, 5], 2, [1, 3], [1, 5]),
        ([0, 0], 2, [0, 1], [13, 41]),
        ([9, 2], 10, [4, 5, 2, 1, 3, 0], [2, 4, 16, 20, 50, 50]),
    ],
)
def test_worked_example(q, k, want_indices, want_distances):
    indices, distances = KDTree(WORKED_X).query([q], k)
    assert indices.tolist() == [want_indices]
    assert distances.tolist() == [want_distances]


def test_results_are_new_c_contiguous_int32_and_float64_arrays():
    Q = np.array([[9.0, 2.0], [5.0, 5.0]])
    result = KDTree(WORKED_X).query(Q, 3)
    assert type(result) is tuple and len(result) == 2
    indices, distances = result
    assert indices.dtype == np.int32 and distances.dtype == np.float64
    for array in result:
        assert array.flags.c_contiguous and array.flags.owndata and array.flags.writeable
        assert not np.shares_memory(array, Q)


@pytest.mark.parametrize("n", [1, 2, 3, 7, 64, 300])
@pytest.mark.parametrize("d", [1, 2, 5])
@pytest.mark.parametrize("k", [1, 3, 10, 1000])
def test_random_data_matches_brute_force(n, d, k):
    rng = np.random.default_rng(n * 100 + d * 10 + k)
    X = rng.normal(size=(n, d))
    Q = np.vstack([rng.normal(size=(20, d)), X[:3]])
    indices, distances = check_against_brute_force(X, Q, k)
    # A query equal to a sample finds it first, at distance 0.
    assert indices[20:, 0].tolist() == list(range(min(3, n)))
    assert not distances[20:, 0].any()


@settings(max_examples=150, deadline=None)
@given(
    st.integers(0, 40).flatmap(
        lambda n: st.tuples(
            st.lists(st.lists(st.integers(-2, 2), min_size=2, max_size=2), min_size=n, max_size=n),
            st.lists(st.lists(st.integers(-3, 3), min_size=2, max_size=2), min_size=0, max_size=6),
            st.integers(0, n + 2),
        )
    )
)
def test_integer_grids_full_of_ties_match_brute_force(case):
    X, Q, k = case
    check_against_brute_force(
        np.array(X, dtype=float).reshape(len(X), 2), np.array(Q, dtype=float).reshape(len(Q), 2), k
    )


@settings(max_examples=100, deadline=None)
@given(st.integers(1, 30), st.integers(1, 3), st.data())
def test_tie_order_follows_search_and_heap(n, d, data):
    # Distinct values within each column fix the tree, so the order of equal distances is
    # fully determined and must match the reference search exactly.
    columns = [data.draw(st.permutations(range(n))) for _ in range(d)]
    X = np.array(columns, dtype=float).T
    Q = np.array(
        data.draw(st.lists(st.lists(st.integers(-2, n + 2), min_size=d, max_size=d), max_size=5)),
        dtype=float,
    ).reshape(-1, d)
    k = data.draw(st.integers(0, n + 1))
    indices, distances = KDTree(X).query(Q, k)
    want_indices, want_distances = tree_search(X.tolist(), Q.tolist(), k)
    assert indices.tolist() == want_indices
    assert distances.tolist() == want_distances


@pytest.mark.parametrize(
    "n, d, k",
    [
        (200, 4, 1),
        (200, 8, 5),
        (300, 8, 12),
        (150, 6, 150),
        (250, 9, 3),
        (120, 13, 7),
        (90, 16, 1),
        (300, 16, 32),
        (77, 3, 4),
    ],
)
@pytest.mark.parametrize("extreme", [False, True])
def test_tie_order_in_more_dimensions_follows_search_and_heap(n, d, k, extreme):
    # Many dimensions, where most subtrees are left out of the search; integer coordinates give
    # many equal distances, whose order must still be that of the reference search. With
    # `extreme`, each column also holds one infinity of either sign.
    rng = np.random.default_rng(n * d + k)
    X = np.array([rng.permutation(n) for _ in range(d)], dtype=float).T
    if extreme:
        for j in range(d):
            X[rng.integers(n), j] = math.inf if j % 2 else -math.inf
    Q = rng.integers(-3, n + 3, size=(25, d)).astype(float)
    Q[:5] = X[rng.integers(n, size=5)]
    indices, distances = KDTree(X).query(Q, k)
    want_indices, want_distances = tree_search(X.tolist(), Q.tolist(), k)
    assert indices.tolist() == want_indices
    np.testing.assert_array_equal(distances, np.array(want_distances))  # NaN where inf - inf


@pytest.mark.parametrize("k", [2, 8, 64, 65])
@pytest.mark.parametrize("d", [2, 5])
def test_rows_with_and_without_ties_in_one_call_follow_search_and_heap(d, k):
    # Rows of distinct distances are written straight from their sorted candidates or ranks (up
    # to 64 columns), rows with equal distances by emptying the heap, and after a row with ties
    # the next ones go straight to the heap: runs of both kinds in one call, each row exactly the
    # reference search's.
    n = 300
    rng = np.random.default_rng(d * 100 + k)
    # Columns of distinct multiples of 4 fix the tree. A tie row lies at a + 1 along every axis
    # for a sample a, and another sample is moved to a + 2 (2 mod 4, still distinct): the two
    # are its nearest, at the same distance d. The other rows are random: distinct distances.
    X = 4.0 * np.array([rng.permutation(n) for _ in range(d)]).T
    Q = rng.random((60, d)) * 4 * n
    ties = [3, 4, 25, 41, 59]
    nearest = rng.choice(n, size=2 * len(ties), replace=False)
    for row, a, b in zip(ties, nearest[: len(ties)], nearest[len(ties) :]):
        Q[row] = X[a] + 1
        X[b] = X[a] + 2
    indices, distances = KDTree(X).query(Q, k)
    want_indices, want_distances = tree_search(X.tolist(), Q.tolist(), k)
    assert indices.tolist() == want_indices
    assert distances.tolist() == want_distances
    assert any(len(set(row)) < len(row) for row in want_distances)


@pytest.mark.parametrize("k", [2, 3, 7, 16, 17, 31, 32, 33])
def test_rows_inside_the_box_follow_search_and_heap_at_every_k(k):
    # Inside the samples' box, rows are searched first in another order, their candidates in a
    # sorted array (2 <= k <= 16, or 32 with AVX-512; an odd k leaves a slot unused), and again in
    # the search's order at a tie or a distance that is not finite.
    # Distinct integers in each column fix the tree; integer and half-integer queries meet ties
    # that enter and leave a row as well as ties that stay, the others none. One sample has an
    # infinite coordinate, one query an infinite one and one a NaN. Each row is exactly the
    # reference search's.
    n = 300
    rng = np.random.default_rng(k)
    X = np.array([rng.permutation(n) for _ in range(3)], dtype=float).T
    X[7, 0] = np.inf
    Q = rng.random((600, 3)) * n
    Q[::3] = np.round(Q[::3])
    Q[1::3] = np.round(2 * Q[1::3]) / 2
    Q[5, 0] = np.inf
    Q[9, 0] = np.nan
    indices, distances = KDTree(X).query(Q, k)
    want_indices, want_distances = tree_search(X.tolist(), Q.tolist(), k)
    assert indices.tolist() == want_indices
    np.testing.assert_array_equal(distances, np.array(want_distances))


@pytest.mark.parametrize("k", [1, 2, 8])
def test_rows_outside_the_box_with_nan_or_infinite_coordinates_follow_search(k):
    # Outside the samples' box a row is searched first below the distance of the row before's
    # answer; a row with a NaN coordinate is at a NaN distance from every sample, and an infinite
    # one at +inf, which must leave it no bound (not one that refuses every candidate and leaves
    # cells of the result unwritten). Each row is exactly the reference search's.
    n = 300
    rng = np.random.default_rng(k)
    X = np.array([rng.permutation(n) for _ in range(3)], dtype=float).T
    Q = rng.random((400, 3)) * n + n
    Q[::7, rng.integers(0, 3)] = np.nan
    Q[3::11, 1] = np.inf
    Q[5::13, 2] = -np.inf
    indices, distances = KDTree(X).query(Q, k)
    want_indices, want_distances = tree_search(X.tolist(), Q.tolist(), k)
    assert indices.tolist() == want_indices
    np.testing.assert_array_equal(distances, np.array(want_distances))


@pytest.mark.parametrize("k", [1, 8])
@pytest.mark.parametrize("d", [2, 3, 5, 8])
def test_nan_distances_are_the_nans_of_the_sum_in_order(d, k):
    # A row with a NaN coordinate is at a NaN distance from every sample, and one with an infinity
    # from each sample with the same infinity there (inf - inf: the default NaN, its sign bit set);
    # where a row has both, the sum meets two different NaNs, and the one it keeps follows from
    # the order of its additions. Distances summed one at a time or a vector of rows at a time
    # (eight, four or one rows) must hold those bits: each answer's compared as integers with
    # the sum in order for its sample (NaN != NaN would hide them).
    n = 300
    rng = np.random.default_rng(d * 10 + k)
    X = rng.random((n, d)) * n
    X[rng.random(n) < 0.6, 0] = math.inf  # the root among them
    X[rng.random(n) < 0.4, d - 1] = -math.inf
    Q = rng.random((120, d)) * n
    Q[0::2, 0] = math.inf
    Q[1::2, d - 1] = -math.inf
    for row in range(0, 120, 3):
        Q[row, row % d] = np.nan
    indices, distances = KDTree(X).query(Q, k)
    want = np.array(
        [[squared_distance(q, X[i]) for i in row] for q, row in zip(Q.tolist(), indices.tolist())]
    )
    assert distances.view(np.int64).tolist() == want.view(np.int64).tolist()
    # (both NaNs are among the answers)
    assert {math.copysign(1.0, x) for x in want[np.isnan(want)]} == {1.0, -1.0}


@pytest.mark.parametrize("k", [1, 2, 3, 8, 32])
@pytest.mark.parametrize("d", [1, 2])
def test_equal_candidates_across_a_split_follow_search_and_heap(d, k):
    # Queries halfway between grid points see equal candidates on both sides of many splits,
    # the nearer side searched first; which one a row keeps is the reference search's choice,
    # whatever order the candidates are first gathered in.
    n = 60
    X = np.array([np.roll(np.arange(n), 7 * j) for j in range(d)], dtype=float).T
    Q = np.stack([np.arange(0.5, n - 1, 0.5)] * d, axis=1)
    Q[:, 1:] = np.round(Q[:, 1:])
    indices, distances = KDTree(X).query(Q, k)
    want_indices, want_distances = tree_search(X.tolist(), Q.tolist(), k)
    assert indices.tolist() == want_indices
    assert distances.tolist() == want_distances


def test_duplicate_rows_each_index_once():
    X = np.zeros((50, 3))
    X[25:] = 1.0
    indices, distances = KDTree(X).query([[0.0, 0.0, 0.0]], 50)
    assert sorted(indices[0].tolist()) == list(range(50))
    assert set(indices[0, :25].tolist()) == set(range(25))
    assert distances[0].tolist() == [0.0] * 25 + [3.0] * 25


def _plain_preorder(X):
    """Row numbers in pre-order of the tree the plain algorithm builds: each run sorted along
    its node's dimension, the upper middle stored, then the left run and the right run."""
    d = X.shape[1]
    order = []

    def build(idxs, depth):
        if len(idxs) > 1:
            idxs = idxs[np.argsort(X[idxs, depth % d], kind="stable")]
        if len(idxs):
            mid = len(idxs) // 2
            order.append(int(idxs[mid]))
            build(idxs[:mid], depth + 1)
            build(idxs[mid + 1 :], depth + 1)

    build(np.arange(len(X)), 0)
    return order


def _assert_splits_hold(points, d):
    """Every node's left subtree lies at or below its coordinate along its dimension and its
    right subtree at or above (pre-order: the left child right after the node)."""
    stack = [(0, len(points), 0)]
    while stack:
        p, size, depth = stack.pop()
        if size < 2:
            continue
        dim, half = depth % d, size // 2
        val = points[p, dim]
        assert (points[p + 1 : p + 1 + half, dim] <= val).all()
        assert (points[p + 1 + half : p + size, dim] >= val).all()
        stack += [(p + 1, half, depth + 1), (p + 1 + half, size - half - 1, depth + 1)]


# Long runs take sampled pivots, subtrees of up to a few thousand rows are arranged apart: with
# distinct coordinates per column the tree is exactly the plain algorithm's.
@pytest.mark.parametrize(("n", "d"), [(5000, 1), (20000, 2), (9000, 3), (6000, 16)])
def test_large_trees_are_the_plain_algorithms(n, d):
    rng = np.random.default_rng(n + d)
    X = np.array([rng.permutation(n) for _ in range(d)], dtype=float).T
    _, points, rows = _state(X)
    assert rows.tolist() == _plain_preorder(X)
    np.testing.assert_array_equal(points, X[rows])


# Runs full of equal keys (integer coordinates, a constant column): which equal row lands where
# is the build's choice, but every split must hold, every row appear once, and the tree restore.
@pytest.mark.parametrize(("n", "d"), [(20000, 2), (12000, 3), (6000, 8)])
@pytest.mark.parametrize("values", [10, 2, 1])
def test_large_trees_of_duplicates_are_valid(n, d, values):
    X = np.random.default_rng(n + values).integers(0, values, size=(n, d)).astype(float)
    tree = KDTree(X)
    _, points, rows = tree.__reduce__()[2]
    assert sorted(rows.tolist()) == list(range(n))
    np.testing.assert_array_equal(points, X[rows])
    _assert_splits_hold(points, d)
    Q = np.random.default_rng(values).integers(-1, values + 1, size=(30, d)).astype(float)
    indices, distances = pickle.loads(pickle.dumps(tree)).query(Q, 5)
    assert np.array_equal(indices, tree.query(Q, 5)[0])
    want = np.sort(((Q[:, None, :] - X[None, :, :]) ** 2).sum(axis=2), axis=1)[:, :5]
    np.testing.assert_array_equal(distances, want)


# Where keys are equal the build's choice decides the tree, and with it the order of tied
# results; the portable, AVX2 and AVX-512 kernels must make the same choice, each in its own
# process: the same rows in the same places, the same boxes (a reach from 12 dimensions up), the
# same answers.
def test_every_instruction_set_builds_the_same_tree(tmp_path):
    rng = np.random.default_rng(41)
    shapes = {"pairs": (3000, 2, 3), "rows": (20000, 3, 10), "reach": (5000, 16, 2)}
    inputs = {}
    for name, (n, d, values) in shapes.items():
        inputs[f"X_{name}"] = rng.integers(0, values, size=(n, d)).astype(float)
        inputs[f"Q_{name}"] = rng.integers(-1, values + 1, size=(50, d)).astype(float)
    np.savez(tmp_path / "inputs.npz", **inputs)
    script = f"""
import pickle
import numpy as np
from quillbrax.accel import _nearix
data = np.load("inputs.npz")
out = {{}}
for name in {sorted(shapes)}:
    tree = _nearix.KDTree(data["X_" + name])
    out["tree_" + name] = np.frombuffer(pickle.dumps(tree), dtype=np.uint8)
    out["rows_" + name], out["distances_" + name] = tree.query(data["Q_" + name], 8)
np.savez("out.npz", **out)
"""
    results = outputs_on_every_kernel(script, tmp_path)
    for key, widest in results["widest"].items():
        np.testing.assert_array_equal(results["portable"][key], widest, err_msg=key)
        np.testing.assert_array_equal(results["avx2"][key], widest, err_msg=key)


@pytest.mark.parametrize(
    ("X", "Q", "k", "shape"),
    [
        (np.empty((0, 3)), np.zeros((4, 3)), 5, (4, 0)),  # empty tree
        (np.empty((0, 3)), np.zeros((4, 3)), 0, (4, 0)),
        (WORKED_X, np.empty((0, 2)), 3, (0, 3)),  # no query rows
        (WORKED_X, [[1.0, 1.0], [2.0, 2.0]], 0, (2, 0)),  # k = 0
        (np.empty((1, 0)), np.empty((3, 0)), 2, (3, 1)),  # one sample without coordinates
        (np.empty((0, 0)), np.empty((2, 0)), 2, (2, 0)),
    ],
)
def test_empty_shapes(X, Q, k, shape):
    indices, distances = KDTree(X).query(Q, k)
    assert indices.shape == distances.shape == shape
    assert indices.dtype == np.int32 and distances.dtype == np.float64
    if shape == (3, 1):
        assert indices.tolist() == [[0]] * 3 and distances.tolist() == [[0.0]] * 3


def test_distances_are_squared():
    indices, distances = KDTree([[3, 4]]).query([[0, 0]], 1)
    assert (indices.tolist(), distances.tolist()) == ([[0]], [[25.0]])


def test_infinite_coordinates_are_accepted():
    X = np.array([[0.0, 0.0], [np.inf, 1.0], [2.0, -np.inf], [1.0, 1.0]])
    indices, distances = KDTree(X).query([[0.5, 0.5]], 4)
    assert set(indices[0, :2].tolist()) == {0, 3}
    assert distances[0].tolist() == [0.5, 0.5, np.inf, np.inf]


def test_nan_query_row_reports_distinct_indices():
    rng = np.random.default_rng(5)
    X = rng.normal(size=(40, 2))
    indices, _ = KDTree(X).query([[np.nan, 0.0], [0.0, np.nan]], 7)
    for row in indices.tolist():
        assert len(set(row)) == 7 and all(0 <= i < 40 for i in row)


REFERENCE = KDTree(np.array(WORKED_X, dtype=float)).query(
    np.array([[9.0, 2.0], [5.0, 5.0], [0.0, 0.0]]), 6
)


@pytest.mark.parametrize(
    "convert",
    [
        lambda a: a,
        lambda a: np.asarray(a, dtype=np.int64),
        lambda a: np.asarray(a, dtype=np.float32),
        lambda a: laid_out(a, "fortran"),
        lambda a: np.asarray(a, dtype=">f8"),
        lambda a: laid_out(a, "strided"),
        lambda a: laid_out(a, "reversed"),
        lambda a: laid_out(a, "unaligned"),
    ],
    ids=[
        "nested-list",
        "int64",
        "float32",
        "fortran",
        "big-endian",
        "strided",
        "reversed",
        "unaligned",
    ],
)
def test_conversions_build_and_query_the_same(convert):
    Q = [[9, 2], [5, 5], [0, 0]]
    indices, distances = KDTree(convert(WORKED_X)).query(convert(Q), 6)
    assert np.array_equal(indices, REFERENCE[0]) and np.array_equal(distances, REFERENCE[1])


def test_bool_samples_are_converted():
    X = np.array([[True, False], [False, False], [True, True]])
    indices, distances = KDTree(X).query([[1.0, 1.0]], 3)
    assert indices.tolist() == [[2, 0, 1]] and distances.tolist() == [[0.0, 1.0, 2.0]]


def test_numpy_and_index_integers_are_accepted_as_k():
    tree = KDTree(WORKED_X)
    for k in (np.int64(2), np.int32(2), int_probe(2, slots=("__index__",))):
        assert tree.query([[9, 2]], k)[0].tolist() == [[4, 5]]


def _assert_binding_type_error(call):
    with pytest.raises(TypeError, match="incompatible") as info:
        call()
    assert "arg0" in str(info.value)
    return str(info.value)


@pytest.mark.parametrize(
    "call",
    [
        lambda t: t.query(Q=[[1, 2]], k=1),
        lambda t: t.query([[1, 2]], k=1),
        lambda t: t.query(arg0=[[1, 2]], arg1=1),
        lambda t: t.query([[1, 2]], 1.0),
        lambda t: t.query([[1, 2]], np.float64(1.0)),
        lambda t: t.query([[1, 2]], 2**31),
        lambda t: t.query([[1, 2]], -(2**31) - 1),
        lambda t: t.query([[1, 2]], "1"),
        lambda t: t.query([[1, 2]]),
        lambda t: t.query("not numbers", 1),
        lambda t: t.query([[1, 2], [3]], 1),
        lambda t: KDTree(X=WORKED_X),
        lambda t: KDTree(arg0=WORKED_X),
        lambda t: KDTree(),
        lambda t: KDTree(object()),
        lambda t: KDTree([["a", "b"]]),
    ],
)
def test_binding_layer_refuses_with_its_signature(call):
    tree = KDTree(WORKED_X)
    _assert_binding_type_error(lambda: call(tree))


FLOAT_ARRAY = r"typing\.Annotated\[numpy\.typing\.ArrayLike, numpy\.float64\]"


def test_signatures_name_parameters_by_position_only():
    assert re.match(
        rf"(KDTree\.)?__init__\(self: [\w.]+, arg0: {FLOAT_ARRAY}\) -> None",
        KDTree.__init__.__doc__,
    )
    assert re.match(
        rf"query\(self: [\w.]+, arg0: {FLOAT_ARRAY}, arg1: [\w. |]+\) -> "
        r"tuple\[numpy\.typing\.NDArray\[numpy\.int32\], "
        r"numpy\.typing\.NDArray\[numpy\.float64\]\]",
        KDTree.query.__doc__,
    )


@pytest.mark.parametrize(
    ("X", "message"),
    [
        ([1.0, 2.0], "X must be a 2-D array, got a 1-D array"),
        (5.0, "X must be a 2-D array, got a 0-D array"),
        (np.zeros((2, 2, 2)), "X must be a 2-D array, got a 3-D array"),
        (np.empty((2, 0)), "X has 2 rows and 0 columns"),
        ([[1.0, 2.0], [3.0, np.nan]], "X holds NaN at row 1, column 1"),
        (np.broadcast_to(0.0, (INT32_MAX + 1, 1)), "X has 2147483648 rows"),
        (np.broadcast_to(0.0, (1, INT32_MAX + 1)), "X has 2147483648 columns"),
    ],
)
def test_samples_refused(X, message):
    with pytest.raises(ValueError, match=message.replace("(", r"\(")):
        KDTree(X)


@pytest.mark.parametrize(
    ("Q", "k", "message"),
    [
        ([9.0, 2.0], 1, "Q must be a 2-D array, got a 1-D array"),
        (np.zeros((1, 1, 2)), 1, "Q must be a 2-D array, got a 3-D array"),
        ([[9.0]], 1, "Q has 1 columns; the tree's samples have 2"),
        ([[9.0, 2.0, 1.0]], 1, "Q has 3 columns; the tree's samples have 2"),
        (np.broadcast_to(0.0, (INT32_MAX + 1, 2)), 1, "Q has 2147483648 rows"),
        ([[9.0, 2.0]], -1, "negative dimensions"),
        ([[9.0, 2.0]], -(2**31), "negative dimensions"),
    ],
)
def test_queries_refused(Q, k, message):
    with pytest.raises(ValueError, match=message):
        KDTree(WORKED_X).query(Q, k)


def test_tree_owns_its_samples():
    X = np.array(WORKED_X, dtype=float)
    strided = laid_out(WORKED_X, "strided")
    from_array, from_view, from_list = (
        KDTree(X),
        KDTree(strided),
        KDTree([list(r) for r in WORKED_X]),
    )
    X[:] = 1e6
    strided[:] = -1e6
    del X, strided
    gc.collect()
    np.zeros((100, 100)) + 7.0  # reuse freed memory
    Q = [[9, 2], [5, 5], [0, 0]]
    for tree in (from_array, from_view, from_list):
        indices, distances = tree.query(Q, 6)
        assert np.array_equal(indices, REFERENCE[0]) and np.array_equal(distances, REFERENCE[1])


def test_module_surface():
    assert _nearix.__doc__ is None
    assert [name for name in vars(KDTree) if not name.startswith("_")] == ["query"]


# Pickling and copying: the restored tree is the same tree, tie order included. Integer
# coordinates give many equal distances and duplicate rows, whose arrangement in the tree is the
# build's choice and must survive the round trip.
def _tree_cases():
    rng = np.random.default_rng(15)
    return {
        "duplicates": rng.integers(0, 4, size=(300, 3)).astype(float),
        "normal": rng.normal(size=(257, 5)),
        "empty": np.empty((0, 3)),
        "one-row-no-columns": np.empty((1, 0)),
    }


TREE_CASES = _tree_cases()


def _queries(X, count=40):
    rng = np.random.default_rng(len(X))
    d = X.shape[1]
    Q = rng.integers(-1, 5, size=(count, d)).astype(float)
    if len(X):
        Q[: count // 2] = X[rng.integers(len(X), size=count // 2)]
    return Q


def _assert_same_answers(tree, other, X):
    Q = _queries(X)
    for k in (1, 7, len(X) + 1):
        want, got = tree.query(Q, k), other.query(Q, k)
        assert np.array_equal(want[0], got[0]) and np.array_equal(want[1], got[1])


ROUND_TRIPS = {
    **{
        f"pickle-{protocol}": (lambda t, p=protocol: pickle.loads(pickle.dumps(t, protocol=p)))
        for protocol in range(pickle.HIGHEST_PROTOCOL + 1)
    },
    "copy": copy.copy,
    "deepcopy": copy.deepcopy,
}


def _joblib_round_trip(tree, tmp_path):
    joblib = pytest.importorskip("joblib")
    joblib.dump(tree, tmp_path / "tree.joblib")
    return joblib.load(tmp_path / "tree.joblib")


@pytest.mark.parametrize("data", TREE_CASES)
@pytest.mark.parametrize("how", [*ROUND_TRIPS, "joblib"])
def test_round_trip_gives_the_same_tree(data, how, tmp_path):
    X = TREE_CASES[data]
    tree = KDTree(X)
    other = _joblib_round_trip(tree, tmp_path) if how == "joblib" else ROUND_TRIPS[how](tree)
    assert type(other) is KDTree and other is not tree
    _assert_same_answers(tree, other, X)
    del tree
    gc.collect()
    _assert_same_answers(KDTree(X), other, X)


class _Labelled(KDTree):
    # A user's subclass with attributes of its own: the labels of its samples.
    def __init__(self, X, labels):
        super().__init__(X)
        self.labels = labels


class _Slotted(_Labelled):
    # The same, and an attribute held in a slot.
    __slots__ = ("source",)

    def __init__(self, X, labels):
        super().__init__(X, labels)
        self.source = "survey"


class _OwnPickling(KDTree):
    # Pickling extended the way Python documents it: __new__ takes arguments that
    # __getnewargs__ gives, and the state is the base one with an attribute of its own.
    def __new__(cls, X, labels):
        tree = super().__new__(cls)
        tree.made_from = len(labels)
        return tree

    def __init__(self, X, labels):
        super().__init__(X)
        self.labels = labels

    def __getnewargs__(self):
        return (None, self.labels)

    def __getstate__(self):
        return (super().__getstate__(), self.labels)

    def __setstate__(self, state):
        base, self.labels = state
        super().__setstate__(base)


def _own_attributes(tree):
    return {
        name: getattr(tree, name)
        for name in ("labels", "source", "made_from")
        if hasattr(tree, name)
    }


@pytest.mark.parametrize("cls", [_Labelled, _Slotted, _OwnPickling])
@pytest.mark.parametrize("how", [*ROUND_TRIPS, "joblib"])
def test_round_trip_keeps_a_subclass_and_its_attributes(cls, how, tmp_path):
    X = TREE_CASES["normal"]
    tree = cls(X, [f"row {i}" for i in range(len(X))])
    other = _joblib_round_trip(tree, tmp_path) if how == "joblib" else ROUND_TRIPS[how](tree)
    assert type(other) is cls and _own_attributes(other) == _own_attributes(tree)
    assert len(_own_attributes(tree)) == {_Labelled: 1, _Slotted: 2, _OwnPickling: 2}[cls]
    _assert_same_answers(tree, other, X)


def test_pickle_payload_is_about_the_samples():
    X = np.random.default_rng(2).normal(size=(5000, 4))
    size = len(pickle.dumps(KDTree(X), protocol=pickle.HIGHEST_PROTOCOL))
    assert X.nbytes < size < X.nbytes * 1.2 + 1000


def _state(X):
    return KDTree(X).__reduce__()[2]


GOOD_X = np.random.default_rng(9).normal(size=(20, 3))
GOOD_FORMAT, GOOD_POINTS, GOOD_ROWS = _state(GOOD_X)


def _with(points=GOOD_POINTS, rows=GOOD_ROWS, form=GOOD_FORMAT):
    return (form, points, rows)


def _points_where(change):
    points = GOOD_POINTS.copy()
    change(points)
    return points


def _rows_where(change):
    rows = GOOD_ROWS.copy()
    change(rows)
    return rows


@pytest.mark.parametrize(
    "state",
    [
        (),
        (GOOD_FORMAT, GOOD_POINTS),
        (*_with(), None),
        _with(form=2),
        _with(form="1"),
        _with(points=GOOD_POINTS.astype(np.float32)),
        _with(points=GOOD_POINTS.tolist()),
        _with(points=GOOD_POINTS.ravel()),
        _with(points=GOOD_POINTS[:-1]),  # truncated
        _with(rows=GOOD_ROWS[:-1]),
        _with(points=GOOD_POINTS[:, :, None]),
        _with(rows=GOOD_ROWS.astype(np.int64)),
        _with(rows=GOOD_ROWS.astype(float)),
        _with(rows=GOOD_ROWS.reshape(4, 5)),
        _with(rows=_rows_where(lambda r: r.__setitem__(3, r[4]))),  # a row twice
        _with(rows=_rows_where(lambda r: r.__setitem__(3, 20))),  # out of range
        _with(rows=_rows_where(lambda r: r.__setitem__(3, -1))),
        _with(rows=_rows_where(lambda r: r.__setitem__(0, INT32_MAX))),
        _with(points=_points_where(lambda p: p.__setitem__((5, 1), np.nan))),
        _with(points=GOOD_POINTS[::-1]),  # not in tree order
        _with(points=_points_where(lambda p: p.__setitem__((1, 0), p[0, 0] + 1))),
        _with(points=_points_where(lambda p: p.__setitem__((19, 0), p[0, 0] - 1))),
        _with(points=np.zeros((2, 0)), rows=np.arange(2, dtype=np.int32)),
    ],
)
def test_hostile_states_are_refused(state):
    target = KDTree.__new__(KDTree)
    with pytest.raises((TypeError, ValueError)):
        target.__setstate__(state)
    with pytest.raises(TypeError, match="not initialised"):
        target.query(GOOD_X, 1)


# A fourth item that the object cannot take: the object stays uninitialised.
@pytest.mark.parametrize(
    ("cls", "attributes"),
    [
        (KDTree, {"labels": 1}),  # no __dict__ to hold it
        (KDTree, (None, {"no_such_slot": 1})),
        (_Slotted, None),
        (_Slotted, (None, None)),
        (_Slotted, ({}, {}, {})),
        (_Slotted, "labels"),
    ],
)
def test_attributes_the_object_cannot_take_are_refused(cls, attributes):
    target = cls.__new__(cls)
    with pytest.raises(ValueError, match="not a pickled KDTree state"):
        target.__setstate__((*_with(), attributes))
    with pytest.raises(TypeError, match="not initialised"):
        target.query(GOOD_X, 1)


def test_state_from_unaligned_out_of_band_buffers_restores_the_same_tree():
    # Buffers laid end to end in one blob from an odd offset, as a transport may hand them back.
    tree = KDTree(GOOD_X)
    buffers = []
    data = pickle.dumps(tree, protocol=5, buffer_callback=buffers.append)
    blob = bytearray(1)
    spans = []
    for buffer in buffers:
        raw = buffer.raw()
        spans.append((len(blob), len(raw)))
        blob += raw
    view = memoryview(blob)
    other = pickle.loads(data, buffers=[view[at : at + size] for at, size in spans])
    _assert_same_answers(tree, other, GOOD_X)


def test_state_through_strided_views_restores_the_same_tree():
    form, points, rows = _state(GOOD_X)
    target = KDTree.__new__(KDTree)
    spread_rows = np.zeros(2 * len(rows), dtype=np.int32)
    spread_rows[::2] = rows
    target.__setstate__((form, spread(points), spread_rows[::2]))
    _assert_same_answers(KDTree(GOOD_X), target, GOOD_X)


@pytest.mark.parametrize("cut", [1, 10, 100, 500, -1])
def test_truncated_pickles_raise(cut):
    data = pickle.dumps(KDTree(GOOD_X), protocol=pickle.HIGHEST_PROTOCOL)
    with pytest.raises(Exception) as info:
        pickle.loads(data[:cut])
    assert not isinstance(info.value, SystemError)


class _SkipsInit(KDTree):
    def __init__(self, X):
        pass


@pytest.mark.parametrize("cls", [KDTree, _SkipsInit])
@pytest.mark.parametrize(
    "use",
    [
        lambda t: t.query(np.zeros((4, 3)), 3),
        lambda t: KDTree.query(t, np.zeros((4, 3)), 3),
        pickle.dumps,
        copy.deepcopy,
    ],
)
def test_uninitialised_object_is_refused(cls, use):
    # Freed trees first, so that reused memory would show if it were read.
    for _ in range(5):
        KDTree(np.random.default_rng(0).normal(size=(500, 3))).query(np.zeros((3, 3)), 2)
    gc.collect()
    with pytest.raises(TypeError, match="not initialised"):
        use(cls.__new__(cls))


@pytest.mark.parametrize(("cls", "extra"), [(KDTree, ()), (_Labelled, ("labels",))])
@pytest.mark.parametrize(
    "again",
    [
        lambda t, X, extra: t.__init__(X, *extra),
        lambda t, X, extra: KDTree.__init__(t, X),
        lambda t, X, extra: t.__setstate__(KDTree(X).__getstate__()),
    ],
)
def test_a_built_tree_refuses_to_be_built_again(cls, extra, again):
    tree = cls(GOOD_X, *extra)
    before = tree.query(GOOD_X, 3)
    with pytest.raises(TypeError, match="already built"):
        again(tree, GOOD_X[::-1] + 1.0, extra)
    after = tree.query(GOOD_X, 3)
    assert all(np.array_equal(a, b) for a, b in zip(before, after))


def test_subclass_skipping_base_init_is_refused():
    with pytest.raises(TypeError, match="__init__"):
        _SkipsInit(GOOD_X)
    with pytest.raises(TypeError, match="not initialised"):
        KDTree.query(object(), GOOD_X, 1)


@pytest.mark.slow
def test_tree_unpickled_in_another_process_answers_the_same():
    X = TREE_CASES["duplicates"]
    Q = _queries(X)
    tree = KDTree(X)
    with multiprocessing.get_context("spawn").Pool(1) as pool:
        got = pool.apply(operator.methodcaller("query", Q, 9), (tree,))
    want = tree.query(Q, 9)
    assert np.array_equal(got[0], want[0]) and np.array_equal(got[1], want[1])


# Queries outside the samples' bounding box: the search prunes from the root's box, and must
# still let the same candidates into the heap in the same order as the plain search.
@pytest.mark.parametrize("n, d, k", [(1, 2, 1), (2, 1, 2), (60, 2, 1), (200, 3, 8), (300, 8, 5)])
@pytest.mark.parametrize("where", ["above", "below", "mixed", "far-inf", "box-corner"])
@pytest.mark.parametrize("extreme", [False, True])
def test_queries_outside_the_box_follow_search_and_heap(n, d, k, where, extreme):
    rng = np.random.default_rng(n * 31 + d * 7 + k)
    X = np.array([rng.permutation(n) for _ in range(d)], dtype=float).T
    if extreme:
        for j in range(d):
            X[rng.integers(n), j] = math.inf if j % 2 else -math.inf
    Q = rng.integers(-3, n + 3, size=(20, d)).astype(float)
    shift = {"above": 2.0 * n + 1, "below": -2.0 * n - 1}
    if where in shift:
        Q += shift[where]
    elif where == "mixed":
        Q += rng.choice([-3.0 * n, 0.0, 3.0 * n], size=Q.shape)
    elif where == "far-inf":
        Q[:, 0] = rng.choice([math.inf, -math.inf, 1e300], size=len(Q))
    else:  # exactly on the box's faces and corners
        Q = np.where(rng.random(Q.shape) < 0.5, X.min(axis=0), X.max(axis=0))
    indices, distances = KDTree(X).query(Q, k)
    want_indices, want_distances = tree_search(X.tolist(), Q.tolist(), k)
    assert indices.tolist() == want_indices
    np.testing.assert_array_equal(distances, np.array(want_distances))
    if not extreme:
        check_against_brute_force(X, Q, k)


@pytest.mark.parametrize("far", [1000.0, 1e6])
def test_far_query_keeps_the_first_of_two_equal_nearest(far):
    # A query far outside the box, in few dimensions, takes the distances of a whole subtree of
    # up to 31 nodes at once. Here the root's sample a is found first, and the near subtree (20
    # nodes, b the last) holds b, as far from the query as a (its coordinates swapped), and
    # nothing nearer: b must not displace a. The left subtree takes x below a's, the right
    # above; each lies further from the diagonal query than a (x + y below a's), and every
    # column holds distinct values.
    left = np.column_stack([np.arange(0, 84, 4), np.arange(76, 160, 4)[::-1]])
    right = np.column_stack([np.arange(84, 160, 4), np.arange(0, 76, 4)])
    X = np.concatenate([left, right, [[82, 162], [162, 82]]]).astype(float)
    a, b = len(X) - 2, len(X) - 1
    indices, distances = KDTree(X).query([[far, far]], 1)
    assert tree_search(X.tolist(), [[far, far]], 1) == ([[a]], [distances[0].tolist()])
    assert indices.tolist() == [[a]]
    assert squared_distance([far, far], X[b]) == distances[0, 0]


@pytest.mark.slow
@pytest.mark.parametrize("d, k", [(2, 1), (3, 6), (8, 4), (16, 3)])
@pytest.mark.parametrize("extreme", [False, True])
def test_clustered_samples_pruned_by_subtree_boxes_follow_search_and_heap(d, k, extreme):
    # Trees of thousands of samples keep the boxes of their larger subtrees, and the balls
    # around them, and prune with both. Clustered samples leave those boxes far smaller than
    # the splits' boxes: queries inside the clusters, between them and far outside along some
    # axes must still find the same candidates in the same order. With `extreme`, a few
    # coordinates are infinite, in the samples and in the queries.
    n = 10000
    rng = np.random.default_rng(d * 10 + k)
    centres = rng.random((5, d)) * 10
    X = centres[rng.integers(5, size=n)] + rng.normal(scale=0.05, size=(n, d))
    Q = np.concatenate(
        [
            X[rng.integers(n, size=40)] + rng.normal(scale=0.05, size=(40, d)),
            rng.random((40, d)) * 10,
            X[rng.integers(n, size=40)] + rng.choice([-30.0, 0.0, 30.0], size=(40, d)),
        ]
    )
    if extreme:
        X[rng.integers(n, size=d), np.arange(d)] = np.where(np.arange(d) % 2, math.inf, -math.inf)
        Q[rng.integers(len(Q), size=3), rng.integers(d, size=3)] = math.inf
    indices, distances = KDTree(X).query(Q, k)
    want_indices, want_distances = tree_search(X.tolist(), Q.tolist(), k)
    assert indices.tolist() == want_indices
    np.testing.assert_array_equal(distances, np.array(want_distances))


# A call answers its rows in an order of its own choosing (rows near each other in space one
# after the other): every row's answer must be the one it gets alone, whatever the rows around
# it, across more rows than one chunk of that ordering, with ties, infinite or constant sample
# coordinates, and NaN, infinite or far query coordinates.
@pytest.mark.parametrize("d, rows", [(1, 66000), (2, 66000), (3, 66000), (5, 3000), (40, 600)])
@pytest.mark.parametrize("extreme", [False, True])
def test_rows_get_the_same_answers_in_any_order_and_alone(d, rows, extreme):
    # Integer queries in a small range repeat: a row equal to the one answered before it takes
    # a copy of that answer, which must be the row's own answer alone.
    rng = np.random.default_rng(d * 2 + extreme)
    X = rng.integers(0, 4, size=(300, d)).astype(float)
    Q = rng.integers(-2, 6, size=(rows, d)).astype(float)
    if extreme:
        X[rng.integers(300, size=d), np.arange(d)] = np.where(np.arange(d) % 2, math.inf, -math.inf)
        X[:, d // 2] = 1.5
        Q[rng.integers(rows, size=50), rng.integers(d, size=50)] = rng.choice(
            [math.nan, math.inf, -math.inf, 1e300], size=50
        )
    tree = KDTree(X)
    indices, distances = tree.query(Q, 5)
    order = rng.permutation(rows)
    again = tree.query(Q[order], 5)
    np.testing.assert_array_equal(again[0], indices[order])
    np.testing.assert_array_equal(again[1], distances[order])
    for i in rng.choice(rows, size=100, replace=False):
        alone = tree.query(Q[i : i + 1], 5)
        np.testing.assert_array_equal(alone[0][0], indices[i])
        np.testing.assert_array_equal(alone[1][0], distances[i])
