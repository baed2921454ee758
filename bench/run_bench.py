"""Benchmark of the five accel modules against the libraries a user would otherwise call.

Every case runs our kernel and its peers on the same inputs in this one process, one thread on
both sides (BLAS and OpenMP pools limited with threadpoolctl, cKDTree with workers=1). The
implementations of a case are called round-robin, so that the noise of a shared machine falls on
all of them alike; the table quotes medians and the min-max spread of every timing.

    python bench/run_bench.py [--quick] [--only SUBSTRING] [--out DIR]

Writes DIR/bench.json (every timing and check) and DIR/cost_vs_size.png.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import re
import statistics
import sys
import time
from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path

import kdtree_bench  # sets OMP_NUM_THREADS=1 before pykdtree loads its OpenMP runtime
import numpy as np
from threadpoolctl import threadpool_info, threadpool_limits

from quillbrax.accel import _convkit, _pairmetric, _splitscan, _warpalign


@dataclass
class Case:
    group: str  # one panel of the plot
    name: str  # the row label of the table
    axis: str  # what the size on the plot's x axis is
    size: float
    ours: Callable[[], object]
    peers: dict[str, Callable[[], object]]
    series: str = ""  # the line of the plot this case is a point of
    work: float = 0.0  # arithmetic terms, for the terms-per-cycle column (0: not reported)
    checks: dict[str, object] = field(default_factory=dict)
    timings: dict[str, list[float]] = field(default_factory=dict)


# ---------------------------------------------------------------------------------------------
# Timing


def measure(case: Case, budget: float, max_rounds: int) -> None:
    implementations = {"ours": case.ours, **case.peers}
    first = {}
    for label, fn in implementations.items():  # warm-up round, also sizes the run
        start = time.perf_counter()
        fn()
        first[label] = time.perf_counter() - start
    per_round = sum(first.values())
    rounds = int(min(max_rounds, max(3, budget // max(per_round, 1e-9))))
    timings = {label: [] for label in implementations}
    for _ in range(rounds):
        for label, fn in implementations.items():
            start = time.perf_counter()
            fn()
            timings[label].append(time.perf_counter() - start)
    case.timings = timings


def measured_core() -> tuple[float, float, float]:
    """(clock in Hz, 256-bit double additions per cycle, exact distance terms per cycle in the
    vectors the kernels take on this core) as bench/clock.c measures them; NaN without a C
    compiler."""
    import subprocess
    import tempfile

    source = Path(__file__).with_name("clock.c")
    with tempfile.TemporaryDirectory() as scratch:
        binary = Path(scratch) / "clock"
        try:
            subprocess.run(
                ["cc", "-O2", "-o", str(binary), str(source)], check=True, capture_output=True
            )
            lines = subprocess.run(
                [str(binary)], check=True, capture_output=True, text=True
            ).stdout.split()
            return float(lines[0]), float(lines[1]), float(lines[2])
        except (OSError, subprocess.CalledProcessError, ValueError, IndexError):
            return float("nan"), float("nan"), float("nan")


def cpuinfo_clock_hz() -> float:
    """Nominal clock from /proc/cpuinfo (the first `cpu MHz` line)."""
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("cpu MHz"):
                return float(line.split(":")[1]) * 1e6
    except OSError:
        pass
    return float("nan")


def cpu_model() -> str:
    """The model name with its family and model numbers, which tell the core apart where the
    name does not (a virtual machine's "Intel(R) Xeon(R) Processor"), and whether it has
    AVX-512."""
    fields: dict[str, str] = {}
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            key, _, value = line.partition(":")
            fields.setdefault(key.strip(), value.strip())
    except OSError:
        pass
    if "model name" not in fields:
        return platform.processor()
    avx512 = "AVX-512" if "avx512f" in fields.get("flags", "").split() else "no AVX-512"
    return (
        f"{fields['model name']} (family {fields.get('cpu family', '?')}, "
        f"model {fields.get('model', '?')}, {avx512})"
    )


# ---------------------------------------------------------------------------------------------
# Cases


def pairwise_scratch_bytes(function: str, n: int, m: int, d: int) -> int:
    """Peak memory of one call beyond its inputs and its result: the peak resident size during
    the call less the resident size before it, in a fresh process (the kernels' scratch is
    native memory, which tracemalloc does not see)."""
    import subprocess
    import tempfile

    script = (
        "import numpy as np\n"
        "from quillbrax.accel import _pairmetric\n"
        "def status(key):  # bytes\n"
        "    return next(int(l.split()[1]) * 1024 for l in open('/proc/self/status')\n"
        "                if l.startswith(key))\n"
        f"X = np.full(({n}, {d}), 1.0); Y = np.full(({m}, {d}), 2.0)\n"
        "open('/proc/self/clear_refs', 'w').write('5')  # the peak starts again from here\n"
        "before = status('VmRSS')\n"
        f"out = _pairmetric.{function}(X, Y)\n"
        "print(status('VmHWM') - before - out.nbytes)\n"
    )
    with tempfile.TemporaryDirectory() as scratch:  # outside the checkout: the installed package
        run = subprocess.run(
            [sys.executable, "-c", script], capture_output=True, text=True, cwd=scratch
        )
    return int(run.stdout) if run.returncode == 0 else -1


def pairwise_cases(quick: bool, rng: np.random.Generator) -> list[Case]:
    from scipy.spatial.distance import cdist
    from sklearn.metrics import pairwise_distances

    metrics = [
        ("sqeuclidean", _pairmetric.pairwise_squared_euclidean),
        ("euclidean", _pairmetric.pairwise_distances),
        ("cityblock", _pairmetric.pairwise_manhattan_distances),
    ]
    # The shapes users call: few features (coordinates, embeddings of a few dimensions), tens,
    # and long rows; one point against many, and many against a few centroids.
    sizes = (
        [(200, 200, 3), (1000, 1000, 3), (1000, 1000, 64), (300, 300, 1024)]
        if quick
        else [
            (200, 200, 3),
            (2000, 2000, 3),
            (2000, 2000, 16),
            (10000, 100, 16),
            (2000, 2000, 64),
            (500, 500, 1024),
            (1, 1000000, 3),
            (1, 100000, 8),
            (1000000, 3, 3),
            (100000, 5, 64),
        ]
    )
    cases = []
    for n, m, d in sizes:
        X = rng.standard_normal((n, d))
        Y = rng.standard_normal((m, d))
        squared = _pairmetric.pairwise_squared_euclidean
        for metric, ours in metrics:
            peers = {
                "cdist": lambda metric=metric, X=X, Y=Y: cdist(X, Y, metric),
                "sklearn pairwise_distances": lambda metric=metric, X=X, Y=Y: pairwise_distances(
                    X, Y, metric=metric, n_jobs=1
                ),
                # the floor: allocating and writing a result of the same size
                "np.empty(shape).fill(1.0)": lambda n=n, m=m: np.empty((n, m)).fill(1.0),
            }
            if metric == "euclidean":  # what the root costs on top of the sums
                peers["our sqeuclidean"] = lambda X=X, Y=Y, squared=squared: squared(X, Y)
            case = Case(
                group="pairwise (vs d)",
                name=f"pairwise {metric} {n}x{m} d={d}",
                axis="d",
                size=d,
                ours=lambda ours=ours, X=X, Y=Y: ours(X, Y),
                peers=peers,
                series=f"{metric} {n}x{m}",
                work=float(n) * m * d,
            )
            mine, theirs = ours(X, Y), cdist(X, Y, metric)
            differing = int(np.count_nonzero(mine != theirs))
            ulps = np.abs(mine.view(np.int64) - theirs.view(np.int64)).max()
            case.checks["bit-identical to cdist"] = (
                True
                if differing == 0
                else f"False: {differing} of {mine.size} entries differ, by at most {ulps} ulp"
            )
            if metric == "euclidean":
                scratch = pairwise_scratch_bytes(ours.__name__, n, m, d)
                case.checks["scratch beyond result (MiB), result (MiB)"] = (
                    round(scratch / 2**20, 2),
                    round(mine.nbytes / 2**20, 2),
                )
            cases.append(case)
    # Scratch at the shapes that once needed memory in proportion to the inputs.
    for n, m, d in [(1, 2_000_000, 8), (1, 1, 2**24)]:
        scratch = pairwise_scratch_bytes("pairwise_squared_euclidean", n, m, d)
        print(
            f"  pairwise scratch at X ({n}, {d}) against Y ({m}, {d}): "
            f"{scratch / 2**20:.2f} MiB beyond the {n * m * 8 / 2**20:.2f} MiB result",
            file=sys.stderr,
        )
    return cases


def kdtree_cases(quick: bool, rng: np.random.Generator):
    return kdtree_bench.kdtree_cases(quick, rng, Case)


def numpy_banded_dtw(x: np.ndarray, y: np.ndarray, window: int) -> float:
    """Cost of the banded DTW by a row-wise NumPy DP (band rows; the in-row recurrence
    c[j] = cost[j] + min(up_or_diag[j], c[j-1]) solved as a running minimum of prefix sums)."""
    n, m = len(x), len(y)
    w = max(abs(n - m), window)
    big = 1e308
    previous = np.full(m + 1, big)
    previous[0] = 0.0
    for i in range(1, n + 1):
        lo, hi = max(1, i - w), min(m, i + w)
        cost = np.abs(x[i - 1] - y[lo - 1 : hi])
        best = np.minimum(previous[lo : hi + 1], previous[lo - 1 : hi]) + cost
        prefix = np.cumsum(cost)
        row = prefix + np.minimum.accumulate(best - prefix)
        current = np.full(m + 1, big)
        current[lo : hi + 1] = row
        previous = current
    return float(previous[m])


def dtw_cases(quick: bool, rng: np.random.Generator) -> list[Case]:
    try:
        from dtaidistance import dtw

        has_c = bool(dtw.try_import_c(verbose=False))
    except ImportError:
        dtw, has_c = None, False
    n = 1000 if quick else 5000
    windows = [10, 50, n] if quick else [10, 50, 200, 1000, n]
    x = np.cumsum(rng.standard_normal(n))
    y = np.cumsum(rng.standard_normal(n))
    cases = []
    for window in windows:
        peers = {"NumPy banded DP": lambda window=window: numpy_banded_dtw(x, y, window)}
        if has_c:

            def dtai(window=window):
                # absolute-difference cost: inner_dist='euclidean' on univariate series
                _, paths = dtw.warping_paths(
                    x, y, window=window + 1, use_c=True, inner_dist="euclidean"
                )
                return dtw.best_path(paths)

            peers["dtaidistance C"] = dtai
        case = Case(
            group=f"DTW n=m={n} (vs band half-width)",
            name=f"dtw n=m={n} window={'unbounded' if window >= n else window}",
            axis="band half-width",
            size=window,
            series="dtw",
            ours=lambda window=window: _warpalign.dtw_path(x, y, window),
            peers=peers,
        )
        _, cost = _warpalign.dtw_path(x, y, window)
        case.checks["cost within 1e-9 of the NumPy DP"] = bool(
            np.isclose(cost, numpy_banded_dtw(x, y, window), rtol=1e-9)
        )
        if has_c:
            distance, _ = dtw.warping_paths(
                x, y, window=window + 1, use_c=True, inner_dist="euclidean"
            )
            case.checks["cost within 1e-9 of dtaidistance"] = bool(
                np.isclose(cost, distance, rtol=1e-9)
            )
        else:
            case.checks["dtaidistance C library"] = "unavailable"
        cases.append(case)
    return cases


def split_cases(quick: bool, rng: np.random.Generator) -> list[Case]:
    from sklearn.tree import DecisionTreeClassifier, DecisionTreeRegressor

    # Small nodes are the common case inside a tree; large ones its first splits.
    sizes = [10, 50, 1000, 10_000] if quick else [10, 50, 1000, 10_000, 100_000]
    m = 20
    cases = []
    for n in sizes:
        X = rng.random((n, m))

        def argsorts(X=X):  # the sorts alone, one np.argsort per feature as the design makes
            for j in range(m):
                np.argsort(X[:, j])

        for label, classes in (("2 classes", 2), ("10 classes", 10), ("regression", 0)):
            if classes:
                y = rng.integers(0, classes, n).astype(np.int64)
                ours = lambda X=X, y=y: _splitscan._best_split_classifier(X, y, 1)
                peer = lambda X=X, y=y: DecisionTreeClassifier(max_depth=1).fit(X, y)
            else:
                y = X[:, 3] * 2.0 + rng.standard_normal(n)
                ours = lambda X=X, y=y: _splitscan._best_split_regressor(X, y, 1)
                peer = lambda X=X, y=y: DecisionTreeRegressor(max_depth=1).fit(X, y)
            case = Case(
                group=f"split search m={m} (vs n)",
                name=f"split {label} n={n} m={m}",
                axis="n",
                size=n,
                series=label,
                ours=ours,
                peers={"sklearn depth-1 tree": peer, f"{m} np.argsort": argsorts},
            )
            feature, threshold, _ = ours()
            tree = peer().tree_
            case.checks["same feature as sklearn"] = bool(feature == tree.feature[0])
            cases.append(case)
    return cases


def numpy_im2col(X, kh, kw, stride, pad):
    Xp = np.pad(X, ((0, 0), (pad, pad), (pad, pad), (0, 0)))
    windows = np.lib.stride_tricks.sliding_window_view(Xp, (kh, kw), axis=(1, 2))
    windows = windows[:, ::stride, ::stride]  # (N, OH, OW, C, kh, kw)
    N, OH, OW, C = windows.shape[:4]
    cols = np.ascontiguousarray(windows.transpose(0, 1, 2, 4, 5, 3))
    return cols.reshape(N * OH * OW, kh * kw * C)


def numpy_col2im(cols, shape, kh, kw, stride, pad):
    N, H, W, C = shape
    Hp, Wp = H + 2 * pad, W + 2 * pad
    OH, OW = (Hp - kh) // stride + 1, (Wp - kw) // stride + 1
    blocks = cols.reshape(N, OH, OW, kh, kw, C)
    dX = np.zeros((N, Hp, Wp, C))
    # offsets in decreasing order: every element then receives its entries in increasing row
    # order, as the kernel adds them
    for i in reversed(range(kh)):
        for j in reversed(range(kw)):
            dX[:, i : i + stride * OH : stride, j : j + stride * OW : stride, :] += blocks[
                :, :, :, i, j, :
            ]
    return dX[:, pad : Hp - pad, pad : Wp - pad, :] if pad > 0 else dX


def numpy_maxpool_forward(X, k, stride):
    windows = np.lib.stride_tricks.sliding_window_view(X, (k, k), axis=(1, 2))
    windows = windows[:, ::stride, ::stride]  # (N, OH, OW, C, k, k)
    flat = windows.reshape(windows.shape[:4] + (k * k,))
    argmax = np.argmax(flat, axis=-1)
    out = np.take_along_axis(flat, argmax[..., None], axis=-1)[..., 0]
    return out, argmax


def numpy_maxpool_backward(grad, argmax, shape, k, stride):
    N, OH, OW, C = grad.shape
    dX = np.zeros(shape)
    # window indices in decreasing order: overlapping windows then add in increasing (oh, ow)
    for idx in reversed(range(k * k)):
        i, j = divmod(idx, k)
        dX[:, i : i + stride * OH : stride, j : j + stride * OW : stride, :] += np.where(
            argmax == idx, grad, 0.0
        )
    return dX


def conv_cases(quick: bool, rng: np.random.Generator) -> list[Case]:
    try:
        import torch  # noqa: F401  (optional: only where it is already installed)

        has_torch = True
    except ImportError:
        has_torch = False
    N, C = (8, 64) if quick else (32, 64)
    images = [16, 32] if quick else [8, 16, 32]
    cases = []
    for side in images:
        X = rng.standard_normal((N, side, side, C))
        shape = X.shape
        kh = kw = 3
        cols, _, _ = _convkit.im2col(X, kh, kw, 1, 1)
        floor_cols = np.empty_like(cols)
        source_cols = cols.copy()
        image_out = np.empty((N, side + 2, side + 2, C))
        image_source = np.ones_like(image_out)
        tag = f"N={N} {side}x{side}x{C}"
        # Two floors: a copy into memory already touched, and a copy into a new array (the
        # page faults and zeroing of fresh memory that any function returning a new array pays)
        peers = {
            "NumPy sliding window": lambda X=X: numpy_im2col(X, 3, 3, 1, 1),
            "memcpy of output size": lambda a=floor_cols, b=source_cols: np.copyto(a, b),
            "copy to a new array, output size": lambda b=source_cols: b.copy(),
        }
        if has_torch:
            peers["torch unfold"] = torch_unfold(X)
        case = Case(
            group="im2col / col2im 3x3 pad 1 (vs image side)",
            name=f"im2col 3x3 pad 1 {tag}",
            axis="image side",
            size=side,
            series="im2col",
            ours=lambda X=X: _convkit.im2col(X, 3, 3, 1, 1),
            peers=peers,
        )
        case.checks["identical to NumPy"] = bool(np.array_equal(cols, numpy_im2col(X, 3, 3, 1, 1)))
        cases.append(case)
        peers = {
            "NumPy slice adds": lambda c=cols, s=shape: numpy_col2im(c, s, 3, 3, 1, 1),
            "memcpy of output size": lambda a=image_out, b=image_source: np.copyto(a, b),
            "memcpy of input size": lambda a=floor_cols, b=source_cols: np.copyto(a, b),
            "copy to a new array, output size": lambda b=image_source: b.copy(),
        }
        case = Case(
            group="im2col / col2im 3x3 pad 1 (vs image side)",
            name=f"col2im 3x3 pad 1 {tag}",
            axis="image side",
            size=side,
            series="col2im",
            ours=lambda c=cols, s=shape: _convkit.col2im(c, s, 3, 3, 1, 1),
            peers=peers,
        )
        case.checks["identical to NumPy"] = bool(
            np.array_equal(
                _convkit.col2im(cols, shape, 3, 3, 1, 1), numpy_col2im(cols, shape, 3, 3, 1, 1)
            )
        )
        cases.append(case)
        for k in (2, 3):
            out, argmax = _convkit.maxpool_forward(X, k, 2)
            grad = rng.standard_normal(out.shape)
            floor_out, floor_src = np.empty_like(out), out.copy()
            floor_arg, floor_arg_src = np.empty_like(argmax), argmax.copy()

            def copy_outputs(a=floor_out, b=floor_src, c=floor_arg, e=floor_arg_src):
                np.copyto(a, b)
                np.copyto(c, e)

            peers = {
                "NumPy window max+argmax": lambda X=X, k=k: numpy_maxpool_forward(X, k, 2),
                "memcpy of output size": copy_outputs,
            }
            case = Case(
                group=f"max pooling {k}x{k} stride 2 (vs image side)",
                name=f"maxpool fwd {k}x{k}/2 {tag}",
                axis="image side",
                size=side,
                series="forward",
                ours=lambda X=X, k=k: _convkit.maxpool_forward(X, k, 2),
                peers=peers,
            )
            theirs_out, theirs_arg = numpy_maxpool_forward(X, k, 2)
            case.checks["identical to NumPy"] = bool(
                np.array_equal(out, theirs_out) and np.array_equal(argmax, theirs_arg)
            )
            cases.append(case)
            dX_floor, dX_src = np.empty(shape), np.ones(shape)
            peers = {
                "NumPy masked slice adds": lambda g=grad, a=argmax, k=k, s=shape: (
                    numpy_maxpool_backward(g, a, s, k, 2)
                ),
                "memcpy of output size": lambda a=dX_floor, b=dX_src: np.copyto(a, b),
            }
            case = Case(
                group=f"max pooling {k}x{k} stride 2 (vs image side)",
                name=f"maxpool bwd {k}x{k}/2 {tag}",
                axis="image side",
                size=side,
                series="backward",
                ours=lambda g=grad, a=argmax, k=k, s=shape: _convkit.maxpool_backward(
                    g, a, s, k, 2
                ),
                peers=peers,
            )
            case.checks["identical to NumPy"] = bool(
                np.array_equal(
                    _convkit.maxpool_backward(grad, argmax, shape, k, 2),
                    numpy_maxpool_backward(grad, argmax, shape, k, 2),
                )
            )
            cases.append(case)
    if not has_torch:
        for case in cases:
            case.checks["PyTorch"] = "not installed"
    return cases


def torch_unfold(X):
    import torch

    tensor = torch.from_numpy(X).permute(0, 3, 1, 2).contiguous(memory_format=torch.channels_last)
    return lambda: torch.nn.functional.unfold(tensor, 3, padding=1)


GROUPS = {
    "pairwise": pairwise_cases,
    "kdtree": kdtree_cases,
    "dtw": dtw_cases,
    "split": split_cases,
    "conv": conv_cases,
}


# ---------------------------------------------------------------------------------------------
# Report


def summarise(case: Case, clock: float) -> list[dict]:
    ours = case.timings["ours"]
    ours_median = statistics.median(ours)
    rows = []
    for peer, timings in case.timings.items():
        if peer == "ours":
            continue
        peer_median = statistics.median(timings)
        row = {
            "case": case.name,
            "group": case.group,
            "axis": case.axis,
            "size": case.size,
            "series": case.series,
            "peer": peer,
            "ours_median_s": ours_median,
            "peer_median_s": peer_median,
            "ratio": peer_median / ours_median,  # > 1: ours is faster
            "ours_spread_s": [min(ours), max(ours)],
            "peer_spread_s": [min(timings), max(timings)],
            "rounds": len(ours),
            "checks": case.checks,
        }
        if case.work:
            row["ours_terms_per_cycle"] = case.work / (ours_median * clock)
            row["peer_terms_per_cycle"] = case.work / (peer_median * clock)
        rows.append(row)
    return rows


def format_seconds(t: float) -> str:
    return f"{t * 1e3:9.3f}ms" if t >= 1e-3 else f"{t * 1e6:8.1f}µs"


def print_table(rows: list[dict]) -> None:
    header = (
        f"{'case':44} {'peer':24} {'ours':>11} {'peer':>11} {'ratio':>7}  "
        f"{'ours min-max':>23}  {'peer min-max':>23}  {'terms/cyc':>9}"
    )
    print(header)
    print("-" * len(header))
    for row in rows:
        tpc = row.get("ours_terms_per_cycle")
        print(
            f"{row['case'][:44]:44} {row['peer'][:24]:24} {format_seconds(row['ours_median_s'])} "
            f"{format_seconds(row['peer_median_s'])} {row['ratio']:6.2f}x  "
            f"{format_seconds(row['ours_spread_s'][0])}-{format_seconds(row['ours_spread_s'][1])}"
            f"  {format_seconds(row['peer_spread_s'][0])}-"
            f"{format_seconds(row['peer_spread_s'][1])}  "
            f"{'' if tpc is None else f'{tpc:9.2f}'}"
        )
    print("ratio = peer median / our median (above 1: ours is faster)")
    checks = {}
    for row in rows:
        for name, value in row["checks"].items():
            checks.setdefault((row["case"], name), value)
    print("\nchecks:")
    for (case, name), value in checks.items():
        print(f"  {case:44} {name}: {value}")


def markdown_table(rows: list[dict]) -> str:
    lines = [
        "| case | peer | ours (median) | peer (median) | ratio | ours min-max | peer min-max |",
        "|---|---|---:|---:|---:|---|---|",
    ]
    for row in rows:
        lines.append(
            f"| {row['case']} | {row['peer']} | {format_seconds(row['ours_median_s']).strip()} | "
            f"{format_seconds(row['peer_median_s']).strip()} | {row['ratio']:.2f}x | "
            f"{format_seconds(row['ours_spread_s'][0]).strip()}-"
            f"{format_seconds(row['ours_spread_s'][1]).strip()} | "
            f"{format_seconds(row['peer_spread_s'][0]).strip()}-"
            f"{format_seconds(row['peer_spread_s'][1]).strip()} |"
        )
    return "\n".join(lines) + "\n"


README_START = "<!-- make bench: short table start -->"
README_END = "<!-- make bench: short table end -->"


# The k-d tree cells of the README's table: uniform data, d = 3 or 16, builds and k = 8.
README_KDTREE_CELL = re.compile(r"uniform (k=8 )?n=\d+ d=(3|16)\b")


def short_table(rows: list[dict], environment: dict) -> str:
    """The largest size of each operation against each peer, and the machine it ran on."""
    largest: dict[tuple, dict] = {}
    for row in rows:
        floor = "memcpy" in row["peer"] or "copy to" in row["peer"] or "fill(" in row["peer"]
        if floor or row["peer"].startswith("our ") or "alone" in row["case"]:
            continue  # the floors (copies, a fill) and our own kernels, not peers
        if row["case"].startswith("kdtree") and not README_KDTREE_CELL.search(row["case"]):
            continue  # the grid's compact table is in bench.md; here a few typical cells
        key = (row["group"], row["series"] or row["case"], row["peer"])
        if key not in largest or row["size"] >= largest[key]["size"]:
            largest[key] = row
    lines = [
        f"Measured by `make bench` on {environment['cpu']}, {environment['cores']} cores at "
        f"{environment.get('clock_hz_used', float('nan')) / 1e9:.2f} GHz,",
        f"Python {environment['python']}, NumPy {environment['numpy']}, one thread on both sides;",
        "ratio = peer time / our time (above 1: we are faster).",
        "",
        "| case | peer | ours | peer | ratio |",
        "|---|---|---:|---:|---:|",
    ]
    for row in largest.values():
        lines.append(
            f"| {row['case']} | {row['peer']} | "
            f"{format_seconds(row['ours_median_s']).strip()} | "
            f"{format_seconds(row['peer_median_s']).strip()} | {row['ratio']:.2f}x |"
        )
    return "\n".join(lines) + "\n"


def write_into_readme(readme: Path, table: str) -> None:
    """Replaces what stands between the two markers of the README with the table."""
    text = readme.read_text()
    start, end = text.find(README_START), text.find(README_END)
    if start < 0 or end < start:
        raise SystemExit(f"{readme}: no '{README_START}' ... '{README_END}' place for the table")
    start += len(README_START)
    readme.write_text(text[:start] + "\n" + table + text[end:])


def plot(rows: list[dict], path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    groups = list(dict.fromkeys(row["group"] for row in rows))
    columns = 3
    lines = (len(groups) + columns - 1) // columns
    figure, axes = plt.subplots(lines, columns, figsize=(5.2 * columns, 3.6 * lines), squeeze=False)
    for ax, group in zip(axes.flat, groups):
        series: dict[str, dict[float, float]] = {}
        for row in rows:
            if row["group"] != group or not row["series"]:
                continue
            operation = row["series"]
            series.setdefault(f"{operation}: ours", {})[row["size"]] = row["ours_median_s"]
            series.setdefault(f"{operation}: {row['peer']}", {})[row["size"]] = row["peer_median_s"]
        for label, points in series.items():
            sizes = sorted(points)
            ax.plot(
                sizes,
                [points[s] for s in sizes],
                marker="o",
                markersize=3,
                linestyle="-" if label.endswith(": ours") else "--",
                label=label,
            )
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_title(group, fontsize=9)
        ax.set_xlabel(rows[[r["group"] for r in rows].index(group)]["axis"], fontsize=8)
        ax.set_ylabel("median seconds", fontsize=8)
        ax.tick_params(labelsize=7)
        ax.legend(fontsize=5.5, loc="upper left")
    for ax in list(axes.flat)[len(groups) :]:
        ax.set_visible(False)
    figure.tight_layout()
    figure.savefig(path, dpi=72)
    plt.close(figure)
    from PIL import Image  # matplotlib's own dependency

    with Image.open(path) as image:  # a palette of 128 colours: a quarter of the bytes
        small = image.convert("RGB").quantize(colors=128)
    small.save(path, optimize=True)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small sizes, under a minute")
    parser.add_argument(
        "--only",
        default="",
        help="run only the groups whose name contains this (" + ", ".join(GROUPS) + ")",
    )
    parser.add_argument("--out", default="bench/results", help="directory for JSON and PNG")
    parser.add_argument(
        "--from-json",
        metavar="PATH",
        help="measure nothing: print the table of a saved run as Markdown and "
        "redraw its plot next to it",
    )
    parser.add_argument(
        "--readme",
        metavar="PATH",
        help="also write the short table between the markers of this README",
    )
    args = parser.parse_args()
    if args.from_json:
        saved = Path(args.from_json)
        run = json.loads(saved.read_text())
        print(markdown_table(run["rows"]) + "\n" + kdtree_bench.compact_table(run["rows"]), end="")
        if args.readme:
            write_into_readme(Path(args.readme), short_table(run["rows"], run["environment"]))
        plot(run["rows"], saved.with_name("cost_vs_size.png"))
        return 0

    if not any(args.only in name for name in GROUPS):
        parser.error(f"--only {args.only!r} matches no group of {', '.join(GROUPS)}")
    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    nominal_clock = cpuinfo_clock_hz()
    clock_before, adds_before, terms_before = measured_core()
    budget, max_rounds = (0.4, 5) if args.quick else (3.0, 15)
    rng = np.random.default_rng(20261208)
    cases = []
    started = time.perf_counter()
    with threadpool_limits(limits=1):
        for name, make_cases in GROUPS.items():
            if args.only not in name:
                continue
            setup = time.perf_counter()
            for case in make_cases(args.quick, rng):
                measured = time.perf_counter()
                measure(case, budget, max_rounds)
                cases.append(case)
                print(
                    f"  {time.perf_counter() - measured:5.1f}s {case.name}",
                    file=sys.stderr,
                    flush=True,
                )
            print(f"{name}: {time.perf_counter() - setup:.1f}s", file=sys.stderr, flush=True)
        pools = threadpool_info()
    clock_after, adds_after, terms_after = measured_core()
    # the faster of the two measurements: the lower, conservative terms-per-cycle figure
    measured = [c for c in (clock_before, clock_after) if np.isfinite(c)]
    clock = max(measured) if measured else nominal_clock
    # (each measurement's additions and terms per second, over the clock used)
    adds = np.nanmax([adds_before * clock_before, adds_after * clock_after, 0.0]) / clock
    terms = np.nanmax([terms_before * clock_before, terms_after * clock_after, 0.0]) / clock
    term_limit = terms if terms > 0 else float("nan")
    rows = [row for case in cases for row in summarise(case, clock)]
    print_table(rows)
    environment = {
        "cpu": cpu_model(),
        "clock_hz_cpuinfo": nominal_clock,
        "clock_hz_measured_before_after": [clock_before, clock_after],
        "clock_hz_used": clock,
        "vaddpd_ymm_per_cycle_before_after": [adds_before, adds_after],
        "distance_terms_per_cycle_before_after": [terms_before, terms_after],
        "distance_terms_per_cycle_limit": term_limit,
        "cores": os.cpu_count(),
        "python": sys.version.split()[0],
        "numpy": np.__version__,
        "OPENBLAS_CORETYPE": os.environ.get("OPENBLAS_CORETYPE"),
        "OPENBLAS_L2_SIZE": os.environ.get("OPENBLAS_L2_SIZE"),
        "thread_pools_during_run": [
            {
                key: pool.get(key)
                for key in ("internal_api", "architecture", "num_threads", "version")
            }
            for pool in pools
        ],
        "mode": "quick" if args.quick else "full",
        "seconds": time.perf_counter() - started,
    }
    print(
        f"\nclock {clock / 1e6:.0f} MHz used for terms/cycle (measured before/after: "
        f"{clock_before / 1e6:.0f}/{clock_after / 1e6:.0f} MHz, cpuinfo "
        f"{nominal_clock / 1e6:.0f} MHz); {adds:.2f} vaddpd ymm per cycle; at most "
        f"{term_limit:.2f} exact distance terms per cycle (the kernels' own operations); "
        f"OPENBLAS_CORETYPE="
        f"{environment['OPENBLAS_CORETYPE']}, BLAS pools during the run: "
        f"{environment['thread_pools_during_run']}, {environment['seconds']:.0f} s"
    )
    (out / "bench.json").write_text(
        json.dumps({"environment": environment, "rows": rows}, indent=1)
    )
    (out / "bench.md").write_text(markdown_table(rows) + "\n" + kdtree_bench.compact_table(rows))
    if args.readme:
        write_into_readme(Path(args.readme), short_table(rows, environment))
    plot(rows, out / "cost_vs_size.png")
    print(f"wrote {out / 'bench.json'}, {out / 'bench.md'} and {out / 'cost_vs_size.png'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
