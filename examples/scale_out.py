"""Running the kernels on a Dask cluster when one process is not enough.

The modules hold the interpreter lock for the whole of a call, so threads do not run two calls at
once: the cluster is one of processes, one thread each. Two patterns:

- pairwise distances blockwise: X is cut into row blocks, each task computes the distances of one
  block to all of Y, and the blocks are stacked. Every entry is computed by the same kernel from
  the same operands, so the result is bit-for-bit the single-call matrix.
- k-NN queries of a partitioned query set: every worker builds one KDTree over the whole sample
  matrix (the tree stays on its worker; it is never sent), and each query block is answered by the
  tree of the worker it is pinned to. Indices and distances equal those of one tree queried once.

Run: python examples/scale_out.py [--samples N] [--workers W]   (needs dask[distributed])
"""

import argparse
import sys

import numpy as np
from dask.distributed import Client, LocalCluster

from quillbrax.accel import _nearix, _pairmetric


def row_blocks(A, parts):
    """Contiguous row blocks of A, at most `parts` of them, none empty."""
    return [block for block in np.array_split(A, parts) if len(block)]


# The kernels' function objects do not pickle; tasks name these module-level functions, which
# the workers import (or receive by value, when they live in __main__).
def block_distances(X_block, Y):
    return _pairmetric.pairwise_distances(X_block, Y)


def distances_blockwise(client, X, Y, parts):
    """pairwise_distances(X, Y) with the row blocks of X spread over the cluster."""
    Y_remote = client.scatter(Y, broadcast=True)
    blocks = [client.submit(block_distances, block, Y_remote, pure=False)
              for block in row_blocks(X, parts)]
    return np.vstack(client.gather(blocks))


def build_tree(X):
    return _nearix.KDTree(X)


def query_tree(tree, Q, k):
    return tree.query(Q, k)


def knn_partitioned(client, X, Q, k, parts):
    """KDTree(X).query(Q, k) with one tree per worker and the row blocks of Q spread over them."""
    workers = sorted(client.scheduler_info()["workers"])
    X_remote = client.scatter(X, broadcast=True)
    trees = {w: client.submit(build_tree, X_remote, workers=[w], allow_other_workers=False,
                              pure=False)
             for w in workers}
    answers = []
    for b, block in enumerate(row_blocks(Q, parts)):
        w = workers[b % len(workers)]
        answers.append(client.submit(query_tree, trees[w], block, k, workers=[w],
                                     allow_other_workers=False, pure=False))
    results = client.gather(answers)
    return (np.vstack([indices for indices, _ in results]),
            np.vstack([distances for _, distances in results]))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--samples", type=int, default=20000)
    parser.add_argument("--workers", type=int, default=2)
    args = parser.parse_args(argv)

    rng = np.random.default_rng(0)
    X = rng.standard_normal((args.samples, 8))
    Y = rng.standard_normal((500, 8))
    Q = rng.standard_normal((args.samples // 4, 8))
    parts = 4 * args.workers

    with LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                      dashboard_address=":0") as cluster, Client(cluster) as client:
        D = distances_blockwise(client, X, Y, parts)
        indices, distances = knn_partitioned(client, X, Q, 10, parts)

    same_D = np.array_equal(D, _pairmetric.pairwise_distances(X, Y))
    single_indices, single_distances = _nearix.KDTree(X).query(Q, 10)
    same_knn = (np.array_equal(indices, single_indices)
                and np.array_equal(distances, single_distances))
    print(f"distances {D.shape} in {parts} blocks on {args.workers} workers: "
          f"{'equal' if same_D else 'DIFFERENT'} to one call")
    print(f"10-NN of {len(Q)} queries in {parts} blocks, one tree per worker: "
          f"{'equal' if same_knn else 'DIFFERENT'} to one tree")
    return 0 if same_D and same_knn else 1


if __name__ == "__main__":
    sys.exit(main())
