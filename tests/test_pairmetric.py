import math
import subprocess
import sys

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st
from reference import pairwise
from support import (
    FakeNumpy,
    Subclass,
    laid_out,
    outputs_on_every_kernel,
    read_only,
    same_bits,
)

from quillbrax.accel import _pairmetric

FUNCTIONS = {
    "squared_euclidean": _pairmetric.pairwise_squared_euclidean,
    "euclidean": _pairmetric.pairwise_distances,
    "manhattan": _pairmetric.pairwise_manhattan_distances,
}
METRICS = sorted(FUNCTIONS)

values = st.one_of(
    st.integers(-3, 3).map(float),  # many ties and exact zeros
    st.floats(allow_nan=True, allow_infinity=True),
    st.floats(-1e3, 1e3),
)


# The same values in C and Fortran order, a strided view and reversed rows and columns.
LAYOUTS = ["C", "fortran", "strided", "reversed"]


@st.composite
def problems(draw):
    n, m, d = draw(st.integers(0, 5)), draw(st.integers(0, 6)), draw(st.integers(0, 4))
    extra = draw(st.integers(0, 2))
    X = np.array(draw(st.lists(values, min_size=n * d, max_size=n * d)), float).reshape(n, d)
    Y = np.array(
        draw(st.lists(values, min_size=m * (d + extra), max_size=m * (d + extra))), float
    ).reshape(m, d + extra)
    return X, Y


@pytest.mark.parametrize("metric", METRICS)
@given(problem=problems(), layout=st.integers(0, 3))
def test_bit_exact_against_sequential_reference(metric, problem, layout):
    X, Y = problem
    expected = pairwise(X, Y, metric)
    result = FUNCTIONS[metric](laid_out(X, LAYOUTS[layout]), laid_out(Y, LAYOUTS[3 - layout]))
    assert result.flags.c_contiguous and result.dtype == np.float64
    assert same_bits(result, expected)


@pytest.mark.parametrize("metric", METRICS)
def test_longer_rows_and_blocks_of_four(metric):
    # Rows of Y in groups of four and a remainder, long enough that order of summation shows.
    rng = np.random.default_rng(7)
    X = rng.standard_normal((5, 37)) * 10.0 ** rng.integers(-8, 8, (5, 37))
    Y = rng.standard_normal((11, 37)) * 10.0 ** rng.integers(-8, 8, (11, 37))
    assert same_bits(FUNCTIONS[metric](X, Y), pairwise(X, Y, metric))


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("layout", range(4))
def test_several_blocks_of_rows_and_partial_panels(metric, layout):
    # Wide rows make the blocks of X short (a few dozen rows), so 53 rows span several blocks
    # with a partial last one, and 19 rows of Y end in a partial panel; any layout is packed.
    rng = np.random.default_rng(11)
    X = rng.standard_normal((53, 300)) * 10.0 ** rng.integers(-6, 6, (53, 300))
    Y = rng.standard_normal((19, 300)) * 10.0 ** rng.integers(-6, 6, (19, 300))
    expected = pairwise(X, Y, metric)
    result = FUNCTIONS[metric](laid_out(X, LAYOUTS[layout]), laid_out(Y, LAYOUTS[3 - layout]))
    assert same_bits(result, expected)


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("d", [1, 3, 24, 300])  # unrolled rows, one block, two blocks
# Few rows of X (thin tiles), or few rows of Y: with a NaN in Y the sums are taken as they are;
# without one, X and Y are exchanged where that pays (two rows of up to 24 columns; not six rows of
# 24, nor, with AVX-512, of 1 or 3), X's NaN either way. Enough of both for tiles of several rows,
# two panels wide where rows are longer than 16 columns.
@pytest.mark.parametrize(
    "n, m, nan_in_y", [(6, 17, True), (17, 6, True), (17, 6, False), (17, 2, False), (17, 40, True)]
)
def test_nan_payloads_signed_zeros_and_infinities_in_every_lane(metric, d, n, m, nan_in_y):
    # Differences are taken two ways (by subtraction, and as x·1 − y); both must give x's NaN
    # where x and y are both NaN, and the zeros' signs of x − y, in every lane of a tile.
    rng = np.random.default_rng(23)
    signs_and_kinds = np.array([0x7FF8, 0xFFF8, 0x7FF0, 0xFFF0], dtype=np.uint64) << np.uint64(48)
    payloads = rng.integers(1, 1 << 40, (4, 4), dtype=np.uint64)
    nans = (signs_and_kinds[:, None] | payloads).view(np.float64).ravel()  # quiet and signalling
    others = [0.0, -0.0, np.inf, -np.inf, 1.0, -2.5]
    choices = np.concatenate([nans, others])
    X = rng.choice(choices, (n, d))
    Y = rng.choice(choices if nan_in_y else np.array(others), (m, d))
    X[0] = nans[0]
    if nan_in_y:
        Y[0] = nans[1]  # both NaN at every column, with different payloads
    assert same_bits(FUNCTIONS[metric](X, Y), pairwise(X, Y, metric))


def test_euclidean_is_pow_of_squared():
    rng = np.random.default_rng(1)
    X, Y = rng.random((6, 5)), rng.random((7, 5))
    squared = _pairmetric.pairwise_squared_euclidean(X, Y)
    expected = np.vectorize(lambda v: math.pow(v, 0.5))(squared)
    assert same_bits(_pairmetric.pairwise_distances(X, Y), expected)


@pytest.mark.parametrize("metric", METRICS)
def test_identical_rows_give_exact_zero_diagonal(metric):
    X = np.random.default_rng(3).standard_normal((9, 4)) * 1e10
    assert np.all(np.diag(FUNCTIONS[metric](X, X)) == 0.0)


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("n, m, d", [(0, 3, 2), (3, 0, 2), (0, 0, 0), (2, 3, 0)])
def test_empty_extents(metric, n, m, d):
    result = FUNCTIONS[metric](np.ones((n, d)), np.ones((m, d)))
    assert result.shape == (n, m)
    assert np.all(result == 0.0)


def test_nan_and_infinity_propagate():
    X = np.array([[np.nan, 0.0], [np.inf, 0.0], [1.0, 1.0]])
    Y = np.array([[np.inf, 0.0], [0.0, 0.0]])
    sq = _pairmetric.pairwise_squared_euclidean(X, Y)
    assert np.isnan(sq[0]).all()  # NaN row reaches every entry
    assert np.isnan(sq[1, 0])  # inf - inf
    assert sq[1, 1] == np.inf and sq[2, 0] == np.inf
    big = np.array([[1e200]])
    assert _pairmetric.pairwise_squared_euclidean(big, -big)[0, 0] == np.inf


def test_subclass_read_only_and_keywords():
    rng = np.random.default_rng(5)
    X, Y = rng.random((3, 2)), rng.random((4, 2))
    expected = _pairmetric.pairwise_distances(X, Y)
    assert same_bits(_pairmetric.pairwise_distances(X.view(Subclass), Y), expected)
    assert same_bits(_pairmetric.pairwise_distances(read_only(X), Y), expected)
    assert same_bits(_pairmetric.pairwise_distances(Y=Y, X=X), expected)
    assert same_bits(_pairmetric.pairwise_distances(X, Y=Y), expected)
    # the keyword-dictionary convention
    assert same_bits(
        type(_pairmetric.pairwise_distances).__call__(_pairmetric.pairwise_distances, X, Y=Y),
        expected,
    )
    assert type(_pairmetric.pairwise_distances(X.view(Subclass), Y)) is np.ndarray


@pytest.mark.parametrize("metric", METRICS)
def test_y_with_fewer_columns_is_refused(metric):
    with pytest.raises(ValueError, match=r"^Y has 2 columns but X has 3"):
        FUNCTIONS[metric](np.ones((2, 3)), np.ones((2, 2)))


@pytest.mark.parametrize(
    "X, Y, error, message",
    [
        (
            np.ones((2, 2), np.float32),
            np.ones((2, 2)),
            ValueError,
            "Buffer dtype mismatch, expected 'DTYPE_t' but got 'float'",
        ),
        (
            np.ones((2, 2)),
            np.ones((2, 2), np.int64),
            ValueError,
            "Buffer dtype mismatch, expected 'DTYPE_t' but got 'long'",
        ),
        (
            np.ones((2, 2), ">f8"),
            np.ones((2, 2)),
            ValueError,
            "Big-endian buffer not supported on little-endian compiler",
        ),
        (
            np.ones(2),
            np.ones((2, 2)),
            ValueError,
            "Buffer has wrong number of dimensions (expected 2, got 1)",
        ),
        (
            np.ones((2, 2)),
            np.ones((2, 2, 1)),
            ValueError,
            "Buffer has wrong number of dimensions (expected 2, got 3)",
        ),
        (
            [[1.0]],
            np.ones((2, 2)),
            TypeError,
            "Argument 'X' has incorrect type (expected numpy.ndarray, got list)",
        ),
        (
            np.ones((2, 2)),
            3.0,
            TypeError,
            "Argument 'Y' has incorrect type (expected numpy.ndarray, got float)",
        ),
        (None, np.ones((2, 2)), TypeError, "Argument 'X' must be a numpy.ndarray, not None"),
        (np.ones((2, 2)), None, TypeError, "Argument 'Y' must be a numpy.ndarray, not None"),
        (
            None,
            [1],
            TypeError,
            "Argument 'Y' has incorrect type (expected numpy.ndarray, got list)",
        ),
    ],
)
def test_argument_errors(X, Y, error, message):
    with pytest.raises(error) as caught:
        _pairmetric.pairwise_manhattan_distances(X, Y)
    assert str(caught.value) == message


# ---------------------------------------------------------------------------------------------
# Euclidean roots: pow(acc, 0.5) of the maths library on every entry, whatever shortcut the
# kernel takes. Sums are built to be exact: against a zero row of Y, a row of X whose first
# element has at most 27 significant bits and whose others are powers of two sums its squares
# without rounding, so any double can be made the sum of an entry.


def row_summing_to(target):
    """Elements whose squares, added in order from 0.0, give exactly `target` (a double >= 0)."""
    if not math.isfinite(target) or target == 0.0:
        return [target]
    q = math.frexp(math.ulp(target))[1] - 1  # target = K * 2**q
    K = int(target / math.ldexp(1.0, q))
    if q % 2 and K % 2:
        # Squares of doubles are even multiples of 2**q here: sum up to target − 2**q exactly,
        # then add the rounded square of sqrt(2**q), which the last addition rounds to 2**q.
        return row_summing_to(target - math.ldexp(1.0, q)) + [math.sqrt(math.ldexp(1.0, q))]
    g = -((-q) // 2)  # ceil(q / 2): the first element is t * 2**g, its square a multiple of 2**q
    t = math.isqrt(K >> (2 * g - q))
    row = [math.ldexp(float(t), g)]
    rest = K - (t * t << (2 * g - q))
    for bit in range(rest.bit_length()):
        if rest >> bit & 1:
            e = q + bit
            row += [math.ldexp(1.0, e // 2)] * (1 if e % 2 == 0 else 2)
    return row


def entries_summing_to(targets):
    rows = [row_summing_to(t) for t in targets]
    d = max(len(r) for r in rows)
    X = np.array([r + [0.0] * (d - len(r)) for r in rows])
    Y = np.zeros((1, d))
    squared = _pairmetric.pairwise_squared_euclidean(X, Y)[:, 0]
    assert same_bits(squared, np.array(targets, dtype=float))  # the construction holds
    return X, Y


def sqrt_mod_power_of_two(rho, bits):
    """x with x * x ≡ rho (mod 2**bits), for rho ≡ 1 (mod 8)."""
    x = 1
    for i in range(3, bits):
        if (x * x - rho) % (1 << (i + 1)):
            x += 1 << (i - 1)
    return x


def near_midpoints(count, side, rng):
    """Doubles whose exact roots lie within about 2**-50 ulp of a midpoint between two adjacent
    doubles, below it (side -1) or above (side +1): for odd w in [2**53, 2**54) with
    w * w ≡ ±rho modulo a power of two for a small rho, the double nearest the square of the
    midpoint w * 2**h sits rho units from it."""
    targets = []
    rho = 1 if side < 0 else 7  # odd squares are 1 modulo 8
    while len(targets) < count:
        residue = rho if side < 0 else (1 << 54) - rho
        root = sqrt_mod_power_of_two(residue, 54)
        for w in (root, (1 << 54) - root, root ^ (1 << 53), ((1 << 54) - root) ^ (1 << 53)):
            if w >> 53 != 1:
                continue
            square = w * w
            shift = square.bit_length() - 53
            if square % (1 << shift) == (rho if side < 0 else (1 << shift) - rho):
                mantissa = (square >> shift) + (side > 0)  # rho units off, rounded either way
                targets.append(math.ldexp(mantissa, shift + 2 * int(rng.integers(-560, 455))))
        rho += 8
    return targets


def expected_roots(squared):
    return np.array([math.pow(v, 0.5) for v in squared.ravel().tolist()]).reshape(squared.shape)


def sequential(X, Y, metric):
    """The reference's sums by NumPy's elementwise operations (the scalar ones), k in order: the
    same bits, fast enough for large results."""
    expected = np.zeros((X.shape[0], Y.shape[0]))
    for k in range(X.shape[1]):
        diff = X[:, None, k] - Y[None, :, k]
        expected = expected + (np.abs(diff) if metric == "manhattan" else diff * diff)
    return expected_roots(expected) if metric == "euclidean" else expected


@pytest.mark.parametrize("side", [-1, 1])
def test_euclidean_roots_next_to_midpoints(side):
    targets = near_midpoints(300, side, np.random.default_rng(side + 7))
    # The cases are the hard ones: for many, pow and a correctly rounded root differ.
    assert sum(math.pow(t, 0.5) != math.sqrt(t) for t in targets) > len(targets) // 10
    X, Y = entries_summing_to(targets)
    # Nine copies of Y's row: whole tiles and a partial one, every entry of them taking pow.
    result = _pairmetric.pairwise_distances(X, np.repeat(Y, 9, axis=0))
    assert same_bits(result, np.repeat(expected_roots(np.array(targets))[:, None], 9, axis=1))


# A whole tile across, one more partial; against 40 rows (these rows are longer than 16 columns),
# tiles two panels wide and a partial one, whose 128 entries fill two slots of the queue for pow.
@pytest.mark.parametrize("columns", [16, 20, 40])
def test_euclidean_roots_by_pow_in_any_rows_of_a_tile(columns):
    # Rows whose sums lie next to midpoints (roots by pow) among rows whose sums are exact squares
    # (roots kept), a random set of each group of eight rows: some groups with pow only in their
    # first four rows, some only in their last four, and a last group of five rows.
    rng = np.random.default_rng(columns)
    hard = iter(near_midpoints(400, 1, rng))
    targets = []
    for group in range(45):
        takes_pow = rng.random(8) < [0.3] * 4 + [0.0 if group % 3 == 0 else 0.3] * 4
        if group % 3 == 1:
            takes_pow[:4] = False
        targets += [next(hard) if p else 4.0 ** int(rng.integers(-90, 90)) for p in takes_pow]
    targets = targets[:-3]
    X, Y = entries_summing_to(targets)
    result = _pairmetric.pairwise_distances(X, np.repeat(Y, columns, axis=0))
    expected = expected_roots(np.array(targets))
    assert same_bits(result, np.repeat(expected[:, None], columns, axis=1))


def _special_sums():
    tiny, huge = 2.0**-200, 2.0**200  # the bounds of the sums whose roots may skip pow
    values = [0.0, 5e-324, 2.0**-1022, 2.0**-1022 - 5e-324, np.finfo(float).max, np.inf, np.nan]
    for v in (tiny, huge, 2.0**-800, 2.0**1000, 1.0, 4.0, 2.0, 0.25, 2.0**-1000, 2.0**1020):
        values += [v, math.nextafter(v, 0.0), math.nextafter(v, math.inf)]
        for _ in range(3):  # a few ulps further out, where both thresholds apply
            values += [math.nextafter(values[-2], 0.0), math.nextafter(values[-1], math.inf)]
    return values


def test_euclidean_roots_of_special_sums():
    targets = _special_sums()
    X, Y = entries_summing_to(targets)
    assert same_bits(_pairmetric.pairwise_distances(X, Y)[:, 0], expected_roots(np.array(targets)))


def spread_matrix(rng, shape):
    """Values whose magnitudes spread over the whole exponent range of the squared sums."""
    return (
        rng.choice([-1.0, 1.0], shape) * np.exp2(rng.uniform(-540, 511, shape)) * rng.random(shape)
    )


@pytest.mark.parametrize("d", [1, 3, 70])
def test_euclidean_roots_spread_over_the_exponent_range(d):
    rng = np.random.default_rng(d)
    X, Y = spread_matrix(rng, (150, d)), spread_matrix(rng, (130, d))
    if d == 70:  # and sums near 1, where pow's error bound is tightest
        X, Y = rng.standard_normal((150, d)), rng.standard_normal((130, d))
    squared = _pairmetric.pairwise_squared_euclidean(X, Y)
    assert same_bits(_pairmetric.pairwise_distances(X, Y), expected_roots(squared))


# ---------------------------------------------------------------------------------------------
# The portable, AVX2 and AVX-512 kernels (as far as the machine has them) are three
# implementations of the same sums: each in its own process, on data that reaches every path
# (unrolled, blocked and streamed, roots by estimate and by pow), they must give the same bits.
def test_every_instruction_set_gives_the_same_bits(tmp_path):
    rng = np.random.default_rng(29)
    inputs = {}
    for d, (n, m) in {3: (2049, 1032), 40: (37, 45), 300: (21, 19)}.items():
        X = rng.standard_normal((n, d)) * 10.0 ** rng.integers(-150, 150, (n, 1))
        Y = rng.standard_normal((m, d)) * 10.0 ** rng.integers(-150, 150, (m, 1))
        X[1, 0], Y[2, d - 1], X[3, 1], Y[3, 0] = math.nan, -math.inf, math.inf, math.nan
        X[4] = Y[5]  # a zero distance
        inputs[d] = (X, Y)
    X, Y = entries_summing_to(near_midpoints(64, -1, rng) + near_midpoints(64, 1, rng))
    inputs[0] = (X, np.repeat(Y, 9, axis=0))  # sums next to midpoints
    np.savez(
        tmp_path / "inputs.npz",
        **{f"{k}_{d}": v for d, xy in inputs.items() for k, v in zip("XY", xy)},
    )
    script = f"""
import numpy as np
from quillbrax.accel import _pairmetric
data = np.load("inputs.npz")
out = {{}}
for d in {sorted(inputs)}:
    for name in {[f.__name__ for f in FUNCTIONS.values()]}:
        out[f"{{name}}_{{d}}"] = getattr(_pairmetric, name)(data[f"X_{{d}}"], data[f"Y_{{d}}"])
np.savez("out.npz", **out)
"""
    results = outputs_on_every_kernel(script, tmp_path)
    for key, widest in results["widest"].items():
        assert same_bits(results["portable"][key], widest), key
        assert same_bits(results["avx2"][key], widest), key
    roots = results["widest"][f"{_pairmetric.pairwise_distances.__name__}_0"]
    squared = results["widest"][f"{_pairmetric.pairwise_squared_euclidean.__name__}_0"]
    assert same_bits(roots, expected_roots(squared))


# Bounded scratch memory, rows too long to sum, results in unusual memory.

MEMORY_CASES = {
    "one row against two million": "X = np.ones((1, 8)); Y = np.full((2_000_000, 8), 2.0)",
    "two rows of 2**24": "X = np.ones((1, 2**24)); Y = np.full((1, 2**24), 2.0)",
}


@pytest.mark.slow
@pytest.mark.not_under_asan(reason="the sanitizers' own allocations dwarf the bound")
@pytest.mark.parametrize("case", sorted(MEMORY_CASES))
@pytest.mark.parametrize("metric", METRICS)
def test_peak_memory_is_result_plus_a_constant(tmp_path, case, metric):
    script = f"""
import numpy as np
from quillbrax.accel import _pairmetric
def status(key):  # bytes
    return next(int(l.split()[1]) * 1024 for l in open("/proc/self/status") if l.startswith(key))
{MEMORY_CASES[case]}
open("/proc/self/clear_refs", "w").write("5")  # the peak starts again from here
before = status("VmRSS")
out = _pairmetric.{FUNCTIONS[metric].__name__}(X, Y)
after = status("VmHWM")
print(after - before - out.nbytes)
"""
    run = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, check=True, cwd=tmp_path
    )  # the installed package, not the sources
    assert int(run.stdout) <= 16 * 2**20


@pytest.mark.parametrize("metric", METRICS)
def test_rows_too_long_to_sum_are_refused(metric):
    X = np.broadcast_to(0.0, (1, 2**58))
    with pytest.raises(
        ValueError,
        match=r"^X has 288230376151711744 columns: rows longer than "
        r"18014398509481984 elements are not supported$",
    ):
        FUNCTIONS[metric](X, X)


def empty_in(layout, base=None):
    """A stand-in for the module's np whose empty gives a float64 array of the requested shape
    at an odd address, with a column stride of two elements, or as the first columns of wider
    rows (the whole array, NaN elsewhere, kept in `base`)."""

    def empty(shape, dtype):
        n, m = shape
        if layout == "unaligned":
            raw = np.zeros(n * m * 8 + 1, np.uint8)
            return raw[1:].view(np.float64).reshape(n, m)
        if layout == "part of wider rows":
            base.append(np.full((n, m + 11), np.nan))
            return base[-1][:, :m]
        return np.zeros((n, 2 * m))[:, ::2]

    return FakeNumpy(empty=empty)


@pytest.mark.parametrize("layout", ["unaligned", "column stride 16", "part of wider rows"])
@pytest.mark.parametrize("d", [5, 300])  # 300: sums carried in the result between two blocks
@pytest.mark.parametrize("n, m", [(7, 13), (37, 1), (37, 3), (37, 21)])  # 1, 3: exchanged at 5
@pytest.mark.parametrize("metric", METRICS)
def test_results_in_unaligned_or_strided_memory(monkeypatch, layout, d, n, m, metric):
    rng = np.random.default_rng(d)
    X, Y = rng.standard_normal((n, d)), rng.standard_normal((m, d + 1))
    expected = FUNCTIONS[metric](X, Y)
    base = []
    monkeypatch.setattr(_pairmetric, "np", empty_in(layout, base))
    result = FUNCTIONS[metric](X, Y)
    assert result.flags.aligned == (layout != "unaligned")
    assert same_bits(result, expected) and same_bits(expected, pairwise(X, Y, metric))
    assert all(np.isnan(whole[:, m:]).all() for whole in base)  # nothing written past a row


# Rows of X are read where they lie when contiguous and aligned, at any row stride and in either
# direction, and packed otherwise; 37 rows end in a partial tile of rows, which is packed.
# Against 45 rows of Y, rows of any length take tiles of two panels (the last one partial), which
# pack X column by column, turned from its rows where their columns are adjacent; against 21,
# rows of up to 16 columns take tiles of one panel.
@pytest.mark.parametrize("rows", ["part of wider rows", "reversed", "unaligned"])
@pytest.mark.parametrize("d", [3, 40, 300])  # unrolled rows, one block, two blocks
@pytest.mark.parametrize("m", [21, 45])
@pytest.mark.parametrize("metric", METRICS)
def test_rows_of_x_in_place_or_packed(rows, d, m, metric):
    rng = np.random.default_rng(d)
    wide = rng.standard_normal((37, d + 5)) * 10.0 ** rng.integers(-6, 6, (37, d + 5))
    X = {
        "part of wider rows": wide[:, 2 : d + 2],
        "reversed": wide[::-1, 1 : d + 1],
        "unaligned": laid_out(wide[:, :d], "unaligned"),
    }[rows]
    Y = rng.standard_normal((m, d))
    assert same_bits(FUNCTIONS[metric](X, Y), pairwise(X, Y, metric))


# Short rows in tiles two panels wide, with X packed column by column: turned from its rows
# eight columns at a time (the last turn partial at 1, 3, 7, 9 and 15 columns), or element by
# element (Fortran order, and the partial tile of the last 5 rows).
@pytest.mark.parametrize("d", [1, 3, 7, 8, 9, 15, 16])
@pytest.mark.parametrize("layout", ["C", "fortran"])
@pytest.mark.parametrize("metric", METRICS)
def test_short_rows_in_tiles_two_panels_wide(d, layout, metric):
    rng = np.random.default_rng(d)
    X = rng.standard_normal((37, d)) * 10.0 ** rng.integers(-6, 6, (37, d))
    Y = rng.standard_normal((45, d)) * 10.0 ** rng.integers(-6, 6, (45, d))
    X[36, d - 1], Y[44, 0] = math.nan, math.inf
    assert same_bits(FUNCTIONS[metric](laid_out(X, layout), Y), pairwise(X, Y, metric))


# Fewer rows of X than a tile (a query against many rows of Y) take tiles of one row by several
# panels, in whole groups of panels and a partial one, over several blocks of Y rows (50011 rows
# at d = 3) or of columns (d = 300); whole panels are packed a column at a time, in any layout.
# Up to a few tiles of rows (12) take Y in small blocks, the last one partial.
@pytest.mark.parametrize(
    "n, m, d", [(1, 50011, 3), (3, 200, 40), (7, 1000, 300), (2, 130, 16), (12, 1000, 5)]
)
@pytest.mark.parametrize("layout", ["C", "fortran", "reversed"])
@pytest.mark.parametrize("metric", METRICS)
def test_few_rows_of_x_against_many(monkeypatch, n, m, d, layout, metric):
    rng = np.random.default_rng(m)
    X = rng.standard_normal((n, d)) * 10.0 ** rng.integers(-6, 6, (n, d))
    Y = rng.standard_normal((m, d)) * 10.0 ** rng.integers(-6, 6, (m, d))
    X[-1, 0], Y[m // 2, d - 1] = math.inf, math.nan
    expected = sequential(X, Y, metric)
    assert same_bits(FUNCTIONS[metric](X, laid_out(Y, layout)), expected)
    monkeypatch.setattr(_pairmetric, "np", empty_in("column stride 16"))
    assert same_bits(FUNCTIONS[metric](X, laid_out(Y, layout)), expected)


@pytest.mark.parametrize("d", [*range(1, 9), 13, 37])
@pytest.mark.parametrize("n", [1, 9])
@pytest.mark.parametrize("wider", [False, True])
@pytest.mark.parametrize("metric", METRICS)
def test_rows_of_y_packed_from_their_memory(n, d, wider, metric):
    # Rows whose columns lie next to each other are packed eight at a time from the rows'
    # memory: from 8·d consecutive doubles for up to seven columns, else eight columns at a time
    # (the last few by masked loads); rows of a wider array are not consecutive. The last
    # partial panel is packed element by element.
    rng = np.random.default_rng(d)
    X = rng.standard_normal((n, d)) * 10.0 ** rng.integers(-6, 6, (n, d))
    Y = rng.standard_normal((43, d + 3)) * 10.0 ** rng.integers(-6, 6, (43, d + 3))
    Y[17, d - 1] = -math.inf
    Y = Y[:, :d] if wider else np.ascontiguousarray(Y[:, :d])
    assert same_bits(FUNCTIONS[metric](X, Y), sequential(X, Y, metric))


@pytest.mark.parametrize("metric", METRICS)
def test_several_blocks_of_y_rows_and_columns(metric):
    # d = 512: two blocks of 256 columns, and blocks of 256 rows of Y: 300 rows span two.
    rng = np.random.default_rng(13)
    X, Y = rng.standard_normal((3, 512)), rng.standard_normal((300, 512))
    assert same_bits(FUNCTIONS[metric](X, Y), sequential(X, Y, metric))


@pytest.mark.parametrize("stride", [-(2**63), 2**63 - 8])
@pytest.mark.parametrize("one_row", ["X", "Y"])
@pytest.mark.parametrize("metric", METRICS)
def test_a_single_row_at_any_stride(metric, one_row, stride):
    # The stride of a dimension of length one addresses nothing and may be any value; the
    # kernels' size rules (what to fetch ahead, whether to exchange X and Y) must not overflow it.
    rng = np.random.default_rng(5)
    row = np.lib.stride_tricks.as_strided(rng.standard_normal(5), (1, 5), (stride, 8))
    many = rng.standard_normal((20, 5))
    X, Y = (row, many) if one_row == "X" else (many, row)
    assert same_bits(FUNCTIONS[metric](X, Y), sequential(X, Y, metric))


def empty_at(residue):
    """A stand-in for the module's np whose empty gives a C-ordered float64 array whose data
    starts `residue` bytes past a multiple of 64 (a cache line)."""

    def empty(shape, dtype):
        n, m = shape
        raw = np.zeros(n * m * 8 + 128, np.uint8)
        start = (residue - raw.ctypes.data) % 64
        return raw[start : start + n * m * 8].view(np.float64).reshape(n, m)

    return FakeNumpy(empty=empty)


# Results of 2**21 entries or more (where QUILLBRAX_STREAMED_BYTES is 16 MiB, as make test sets it
# for a second run; by default the size follows the machine's cache) bypass the caches where their
# rows are whole cache lines apart (a multiple of 8 entries long), from each row's first line
# boundary on; the columns before it (none at residue 0, 7 at residue 8) are a block of their own.
# Other results take ordinary stores.
@pytest.mark.parametrize("residue", [0, 32, 16, 8])
@pytest.mark.parametrize(
    "n, m",
    [
        (2047, 1024),  # just below 2**21 entries
        (2049, 1032),  # above, rows whole lines apart, a partial tile of rows
        (2049, 1026),  # above, in partial tiles as well, rows 16 bytes past a line apart
        (2049, 1025),  # above, but rows 8 bytes past a multiple of 16 apart
    ],
)
@pytest.mark.parametrize("metric", METRICS)
def test_large_results_at_any_alignment(monkeypatch, residue, n, m, metric):
    rng = np.random.default_rng(n)
    X, Y = rng.standard_normal((n, 3)), rng.standard_normal((m, 3))
    X[5, 1], Y[-1, 2] = math.nan, math.inf  # in the partial tiles of the last rows and columns
    expected = np.zeros((n, m))
    for k in range(3):  # NumPy's elementwise operations are the scalar ones, k in order
        diff = X[:, None, k] - Y[None, :, k]
        expected = expected + (np.abs(diff) if metric == "manhattan" else diff * diff)
    monkeypatch.setattr(_pairmetric, "np", empty_at(residue))
    result = FUNCTIONS[metric](X, Y)
    assert result.ctypes.data % 64 == residue
    if metric == "euclidean":  # roots by pow: against the reference on a sample of rows
        rows = np.r_[rng.integers(0, n, 20), 5, n - 1]
        expected, result = pairwise(X[rows], Y, metric), result[rows]
    assert same_bits(result, expected)
