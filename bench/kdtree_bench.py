"""The k-d tree cases of run_bench.py: our KDTree against cKDTree (workers=1), scikit-learn's
KDTree and pykdtree (one OpenMP thread), for build and query.

Full mode runs the grid n = 10^3 .. 10^6, d = 2, 3, 8, 16, k = 1, 8, 32 on uniform, clustered
(Gaussian blobs) and duplicate-heavy (integer coordinates 0..9) samples, plus queries shifted
outside the samples' bounding box (k = 8); quick mode a handful of those cells. Each (data, n, d)
is made, measured and released before the next, so that at most one set of trees is alive.
"""

from __future__ import annotations

import json
import os
import statistics

# pykdtree reads its OpenMP thread count when it is loaded; one thread, as for every peer.
os.environ.setdefault("OMP_NUM_THREADS", "1")

from collections.abc import Iterator  # noqa: E402 (after the thread count)

import numpy as np  # noqa: E402

from quillbrax.accel import _nearix  # noqa: E402

DATASETS = ("uniform", "clustered", "duplicates")
PEERS = ("cKDTree", "sklearn KDTree", "pykdtree")


def samples(
    kind: str, n: int, d: int, rng: np.random.Generator, queries: int = 0
) -> np.ndarray | tuple[np.ndarray, np.ndarray]:
    """n samples of the kind, or with `queries` > 0 a pair (samples, queries) drawn from the same
    distribution: for clustered data, the queries come from the samples' own blobs."""
    total = n + queries
    if kind == "uniform":
        drawn = rng.random((total, d))
    elif kind == "clustered":
        centres = rng.random((16, d))
        drawn = centres[rng.integers(16, size=total)] + rng.normal(scale=0.03, size=(total, d))
    else:
        drawn = rng.integers(0, 10, size=(total, d)).astype(float)
    return (drawn[:n], drawn[n:]) if queries else drawn


def query_count(n: int, d: int, quick: bool) -> int:
    """Enough rows that a call takes milliseconds, few enough that high d stays affordable."""
    count = {2: 4000, 3: 4000, 8: 1000, 16: 250}[d]
    if n >= 1_000_000 and d >= 8:
        count //= 2
    return max(count // 4, 50) if quick else count


def grid(quick: bool) -> list[tuple[str, int, int, tuple[int, ...], bool]]:
    """(data, n, d, values of k, with the shifted queries) per set of trees."""
    if quick:
        return [
            ("uniform", 10_000, 3, (8,), True),
            ("uniform", 10_000, 16, (1,), False),
            ("duplicates", 100_000, 3, (8,), False),
            ("clustered", 100_000, 8, (8,), True),
        ]
    # n outermost, so that an interrupted run has every data set and d of the smaller sizes
    return [
        (kind, n, d, (1, 8, 32), True)
        for n in (1_000, 10_000, 100_000, 1_000_000)
        for d in (2, 3, 8, 16)
        for kind in DATASETS
    ]


def kdtree_cases(quick: bool, rng: np.random.Generator, Case) -> Iterator:
    from pykdtree.kdtree import KDTree as PyKDTree
    from scipy.spatial import cKDTree
    from sklearn.neighbors import KDTree as SklearnKDTree

    for kind, n, d, ks, shifted in grid(quick):
        # queries from the same distribution; the shifted ones lie beyond the box along every axis
        X, Q = samples(kind, n, d, rng, queries=query_count(n, d, quick))
        span = X.max(axis=0) - X.min(axis=0)
        far = Q + 2 * np.where(span > 0, span, 1.0)
        build = Case(
            group=f"k-d tree build, {kind}",
            name=f"kdtree build {kind} n={n} d={d}",
            axis="n",
            size=n,
            series=f"d={d}",
            ours=lambda X=X: _nearix.KDTree(X),
            peers={
                "cKDTree": lambda X=X: cKDTree(X),
                "sklearn KDTree": lambda X=X: SklearnKDTree(X),
                "pykdtree": lambda X=X: PyKDTree(X),
            },
        )
        yield build
        log(build)
        release(build)
        trees = {
            "ours": _nearix.KDTree(X),
            "cKDTree": cKDTree(X),
            "sklearn KDTree": SklearnKDTree(X),
            "pykdtree": PyKDTree(X),
        }
        cells = [(k, "inside", Q) for k in ks] + ([(8, "outside", far)] if shifted else [])
        for k, where, queries in cells:
            calls = query_calls(trees, queries, k)
            case = Case(
                group=f"k-d tree query k={k}, {kind}" + (", outside" if where == "outside" else ""),
                name=f"kdtree query {where} {kind} k={k} n={n} d={d} ({len(queries)} rows)",
                axis="n",
                size=n,
                series=f"d={d}",
                ours=calls["ours"],
                peers={peer: calls[peer] for peer in PEERS},
            )
            distances = squared_distances("ours", calls["ours"]())
            for peer in PEERS:
                theirs = squared_distances(peer, calls[peer]())
                case.checks[f"squared distances equal {peer}'s within 1e-9"] = bool(
                    np.allclose(
                        distances,
                        np.asarray(theirs).reshape(distances.shape),
                        rtol=1e-9,
                        atol=1e-12,
                    )
                )
            yield case
            log(case)
            release(case)
        del trees


def query_calls(trees: dict, Q: np.ndarray, k: int) -> dict:
    """Each implementation's query as a user calls it (cKDTree and scikit-learn report
    distances, pykdtree and ours squared distances when asked)."""
    ours, ckd, skl, pyk = (trees[name] for name in ("ours", *PEERS))
    return {
        "ours": lambda: ours.query(Q, k),
        "cKDTree": lambda: ckd.query(Q, k=k, workers=1),
        "sklearn KDTree": lambda: skl.query(Q, k=k),
        "pykdtree": lambda: pyk.query(Q, k=k, sqr_dists=True),
    }


def squared_distances(peer: str, result) -> np.ndarray:
    distances = np.asarray(result[0] if peer != "ours" else result[1])
    return np.square(distances) if peer in ("cKDTree", "sklearn KDTree") else distances


def log(case) -> None:
    """Appends a measured case's medians to the file named by KDTREE_BENCH_LOG, if set: the
    results of a long run survive its interruption."""
    path = os.environ.get("KDTREE_BENCH_LOG")
    if path:
        medians = {label: statistics.median(times) for label, times in case.timings.items()}
        with open(path, "a") as out:
            out.write(
                json.dumps(
                    {
                        "case": case.name,
                        "medians": medians,
                        "rounds": len(case.timings["ours"]),
                        "checks": case.checks,
                    }
                )
                + "\n"
            )


def release(case) -> None:
    """Drops a measured case's callables (and with them its arrays and trees)."""
    case.ours = None
    case.peers = {}


def compact_table(rows: list[dict]) -> str:
    """One line per k-d tree case: the ratio against each peer (above 1: ours is faster)."""
    cells: dict[str, dict[str, float]] = {}
    for row in rows:
        if row["case"].startswith("kdtree "):
            cells.setdefault(row["case"], {})[row["peer"]] = row["ratio"]
    if not cells:
        return ""
    lines = ["| k-d tree case | " + " | ".join(PEERS) + " |", "|---|" + "---:|" * len(PEERS)]
    for case, ratios in cells.items():
        lines.append(
            f"| {case.removeprefix('kdtree ')} | "
            + " | ".join(f"{ratios[p]:.2f}x" if p in ratios else "" for p in PEERS)
            + " |"
        )
    return "\n".join(lines) + "\n"
