"""Pairwise distances and k-NN queries on a Dask cluster, when one process is not enough.

A kernel holds the interpreter lock for the whole of a call, so a worker process runs one call at
a time: run workers of one thread each, one per core.

Start a cluster (every machine needs Python 3.12 with the quillbrax wheel and dask[distributed];
this script need not be there):

    dask scheduler                                # prints its address, tcp://HOST:8786
    dask worker tcp://HOST:8786 --nthreads 1      # on each machine, once per core

then run   python examples/scale_out.py --scheduler tcp://HOST:8786
Without --scheduler the script starts a local cluster of --workers processes for itself.

- distance_matrix(X, Y, rows): the distance matrix as a dask array. Block i is
  pairwise_distances(X block i, Y), computed by the worker that holds X's block i; nothing comes
  back to the client unless asked (a reduction, .compute()). Each entry is computed by the same
  kernel from the same operands as in one call: the gathered matrix is that call's, bit for bit.
- knn(client, tree, Q, k, rows): the tree is scattered once (a copy on every worker, so that
  losing one loses no tree) and each row block of Q is answered by whichever worker runs it.
  The answers equal those of the tree queried once, tie order included.

Every task is one of the wheel's own callables: a kernel function, or KDTree.query through
operator.methodcaller; they pickle by reference, so the workers need the wheel only. No function
of this file runs on a worker: another script can import it and use its functions as they are
(a helper defined here would be pickled by reference too, and a worker without this file could
not import it; Dask pickles a graph with the standard pickle, which registering the file with
cloudpickle for shipping by value does not change).
"""

import argparse
import operator
import sys

import dask.array as da
import numpy as np
from dask.distributed import Client, LocalCluster

from quillbrax.accel import _nearix, _pairmetric


def distance_matrix(X, Y, rows):
    """pairwise_distances(X, Y) as a dask array of row blocks of `rows` rows.

    X and Y are NumPy or dask arrays; Y is used whole by every block."""
    X = X if isinstance(X, da.Array) else da.from_array(X, chunks=(rows, -1))
    Y = Y if isinstance(Y, da.Array) else da.from_array(Y, chunks=-1)
    # X's block (i, 0) with all of Y gives D's block (i, 0): the rows of Y are one output block.
    return da.blockwise(
        _pairmetric.pairwise_distances,
        "ij",
        X,
        "ik",
        Y.rechunk(-1),
        "jk",
        concatenate=True,
        dtype=np.float64,
        adjust_chunks={"j": Y.shape[0]},
    )


def knn(client, tree, Q, k, rows):
    """Futures of tree.query(block, k), one per row block of Q, on whichever worker is free."""
    tree_everywhere = client.scatter(tree, broadcast=True)
    return [
        client.submit(
            operator.methodcaller("query", Q[start : start + rows], k), tree_everywhere, pure=False
        )
        for start in range(0, len(Q), rows)
    ]


def gather_knn(client, futures):
    """(indices, squared distances) of all blocks, in the order of Q's rows."""
    answers = client.gather(futures)
    return (
        np.concatenate([indices for indices, _ in answers]),
        np.concatenate([distances for _, distances in answers]),
    )


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--scheduler",
        metavar="ADDRESS",
        help="join the cluster of this scheduler (default: start a local one)",
    )
    parser.add_argument("--workers", type=int, default=2, help="local cluster's processes")
    parser.add_argument("--samples", type=int, default=20000, help="rows of X")
    parser.add_argument("--targets", type=int, default=500, help="rows of Y")
    parser.add_argument("--queries", type=int, default=5000, help="rows of Q")
    parser.add_argument("--features", type=int, default=8)
    parser.add_argument("--k", type=int, default=10)
    parser.add_argument("--rows", type=int, default=1000, help="rows per block")
    parser.add_argument(
        "--save", metavar="FILE.npz", help="gather everything and save it with the inputs"
    )
    args = parser.parse_args(argv)

    rng = np.random.default_rng(0)
    X = rng.standard_normal((args.samples, args.features))
    Y = rng.standard_normal((args.targets, args.features))
    Q = rng.standard_normal((args.queries, args.features))

    if args.scheduler:
        client = Client(args.scheduler)
    else:
        client = Client(
            LocalCluster(
                n_workers=args.workers, threads_per_worker=1, processes=True, dashboard_address=":0"
            )
        )
    with client:
        start_workers = len(client.scheduler_info()["workers"])
        print(f"cluster: {start_workers} workers", flush=True)

        D = distance_matrix(X, Y, args.rows).persist()  # computed and kept on the workers
        nearest = D.min(axis=1).compute()  # only the reduction comes back
        print(
            f"distances {D.shape} in {D.numblocks[0]} blocks; "
            f"mean distance to the nearest target {nearest.mean():.6f}",
            flush=True,
        )

        tree = _nearix.KDTree(X)
        indices, distances = gather_knn(client, knn(client, tree, Q, args.k, args.rows))
        print(f"{args.k}-NN of {len(Q)} queries in {-(-len(Q) // args.rows)} blocks", flush=True)

        same_D = np.array_equal(D.compute(), _pairmetric.pairwise_distances(X, Y))
        single_indices, single_distances = tree.query(Q, args.k)
        same_knn = np.array_equal(indices, single_indices) and np.array_equal(
            distances, single_distances
        )
        if args.save:
            np.savez(
                args.save,
                X=X,
                Y=Y,
                Q=Q,
                k=args.k,
                D=D.compute(),
                indices=indices,
                distances=distances,
            )
        end_workers = len(client.scheduler_info()["workers"])
    print(f"workers at the start {start_workers}, at the end {end_workers}")
    print(
        f"distance matrix: {'equal' if same_D else 'DIFFERENT'} to one call; "
        f"k-NN: {'equal' if same_knn else 'DIFFERENT'} to one tree"
    )
    return 0 if same_D and same_knn else 1


if __name__ == "__main__":
    sys.exit(main())
