"""examples/scale_out.py on a two-process local Dask cluster: blockwise and partitioned results
equal to single calls, bit for bit."""

import importlib
import pathlib
import sys

import numpy as np
import pytest

distributed = pytest.importorskip("distributed")

from quillbrax.accel import _nearix, _pairmetric  # noqa: E402

pytestmark = pytest.mark.slow  # a cluster of worker processes

EXAMPLES = pathlib.Path(__file__).parent.parent / "examples"


@pytest.fixture(scope="module")
def scale_out():
    # The workers unpickle the example's task functions by module name; they are spawned after
    # this and start with the same sys.path, so they find the example where this process does.
    sys.path.insert(0, str(EXAMPLES))
    try:
        yield importlib.import_module("scale_out")
    finally:
        sys.path.remove(str(EXAMPLES))
        sys.modules.pop("scale_out", None)


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=":0") as cluster:
        with distributed.Client(cluster) as c:
            yield c


@pytest.mark.parametrize("n, parts", [(1, 3), (37, 5), (200, 8)])
def test_blockwise_distances_equal_one_call(scale_out, client, n, parts):
    rng = np.random.default_rng(n)
    X, Y = rng.standard_normal((n, 6)), rng.standard_normal((23, 6))
    D = scale_out.distances_blockwise(client, X, Y, parts)
    assert D.dtype == np.float64
    assert np.array_equal(D, _pairmetric.pairwise_distances(X, Y))


@pytest.mark.parametrize("n, nq, k, parts", [(50, 1, 3, 4), (120, 41, 7, 5), (5, 30, 9, 3)])
def test_partitioned_queries_equal_one_tree(scale_out, client, n, nq, k, parts):
    rng = np.random.default_rng(nq)
    X = rng.integers(0, 4, (n, 3)).astype(np.float64)  # many ties: the order must match too
    Q = rng.integers(0, 4, (nq, 3)).astype(np.float64)
    indices, distances = scale_out.knn_partitioned(client, X, Q, k, parts)
    expected_indices, expected_distances = _nearix.KDTree(X).query(Q, k)
    assert indices.dtype == np.int32 and distances.dtype == np.float64
    assert np.array_equal(indices, expected_indices)
    assert np.array_equal(distances, expected_distances)


def test_example_runs_and_reports_equality(scale_out):
    assert scale_out.main(["--samples", "400", "--workers", "2"]) == 0
