"""Checks pairwise_distances against math.pow(acc, 0.5) on many entries.

Every entry of _pairmetric.pairwise_distances must be the maths library's pow of the squared
sum (the entry of pairwise_squared_euclidean) with exponent 0.5, bit for bit. This compares
them on --entries entries (10**8 by default) in blocks of 2000 x 2000, with rows of 1 to 64
elements drawn three ways: magnitudes spread over the whole exponent range of the sums, standard
normal values (sums near 1, where the kernel's margin is narrowest) and small integers (exact
sums, many of them squares). Set QUILLBRAX_PORTABLE_KERNELS=1 to check the portable kernels,
QUILLBRAX_NO_AVX512=1 the AVX2 ones on a processor with AVX-512.

    .venv/bin/python bench/check_euclidean_roots.py [--entries N] [--seed S]
"""

import argparse
import math
import sys
import time

import numpy as np

from quillbrax.accel import _pairmetric


def draw(rng, kind, shape):
    if kind == "spread":
        signs = rng.choice([-1.0, 1.0], shape)
        return signs * np.exp2(rng.uniform(-540, 511, shape)) * rng.random(shape)
    if kind == "normal":
        return rng.standard_normal(shape) * 10.0 ** rng.integers(-3, 4)
    return rng.integers(-20, 21, shape).astype(float)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--entries", type=float, default=1e8)
    parser.add_argument("--seed", type=int, default=2024)
    args = parser.parse_args()
    rng = np.random.default_rng(args.seed)
    checked = mismatches = 0
    side = 2000
    start = time.perf_counter()
    while checked < args.entries:
        kind = ("spread", "normal", "integers")[rng.integers(3)]
        d = int(rng.choice([1, 2, 3, 5, 8, 16, 64]))
        X, Y = draw(rng, kind, (side, d)), draw(rng, kind, (side, d))
        squared = _pairmetric.pairwise_squared_euclidean(X, Y).ravel()
        roots = _pairmetric.pairwise_distances(X, Y).ravel()
        expected = np.fromiter(
            map(math.pow, squared.tolist(), [0.5] * squared.size), float, squared.size
        )
        bad = np.flatnonzero(roots.view(np.uint64) != expected.view(np.uint64))
        for index in bad[:5]:
            print(
                f"mismatch: acc={squared[index]!r} got {roots[index]!r} "
                f"pow gives {expected[index]!r}"
            )
        mismatches += bad.size
        checked += squared.size
    print(
        f"{checked} entries checked in {time.perf_counter() - start:.0f} s, {mismatches} mismatches"
    )
    return 1 if mismatches else 0


if __name__ == "__main__":
    sys.exit(main())
