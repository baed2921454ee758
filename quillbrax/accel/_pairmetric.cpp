// quillbrax.accel._pairmetric: dense distance matrices between the rows of two sample matrices.
//
// Every entry is summed over k strictly in order, each term rounded before it is added, from
// explicit differences (no expansion into norms and inner products): squared distances are sums
// of non-negative terms and a row's distance to itself is exactly 0.0.

#include "cpu_dispatch.hpp"
#include "frame/module.hpp"

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <type_traits>
#include <utility>

#include <unistd.h>

namespace {

namespace frame = quillbrax::frame;
using frame::ITYPE;

// ---------------------------------------------------------------------------------------------
// Kernels.
//
// The result is computed in tiles of `rows` rows of X by kPanel rows of Y, one vector lane per
// (i, j) entry, each lane with its own sequential sum over k: the vector operations are the
// scalar ones side by side, so every entry is that of the plain triple loop.
//
// Scratch memory is bounded by a constant, whatever n, m and d are. Y is packed a block of rows
// and a block of at most kDepth columns at a time, k-major within panels of kPanel rows
// (panel[k·kPanel + lane] = Y[j0 + lane, k0 + k]); X is packed one tile of rows at a time. When d
// is longer than one block of columns, an entry's running sum is stored in the result after
// each block and loaded again for the next, so the order of the additions is unchanged: the
// result holds exactly the double the register held. Packing reads X and Y through their byte
// strides; the result is written by vector stores where its rows are contiguous (masked ones for
// the columns of a tile that are not whole, with AVX-512), and element by element through its
// strides otherwise.

using Vector2 = double __attribute__((vector_size(16)));
using Vector4 = double __attribute__((vector_size(32)));
using Vector8 = double __attribute__((vector_size(64)));
using Bits2 = long long __attribute__((vector_size(16)));
using Bits4 = long long __attribute__((vector_size(32)));
using Bits8 = long long __attribute__((vector_size(64)));

enum class Metric { squared_euclidean, euclidean, manhattan };

using Matrix = frame::Strided<const double, 2>;
using Result = frame::Strided<double, 2>;

constexpr ITYPE kPanel = 8;
constexpr ITYPE kDepth = 256;                // columns per block: a panel slice fits L1
constexpr size_t kYBlockBytes = 512 * 1024;  // packed block of Y: fits L2 beside a tile of X
// For fewer rows of X than four of the tallest tiles, each panel is read by one to a few tiles,
// right after it is packed: packed a block of this size at a time (or of one group of panels,
// 64 rows, where rows are longer than 32 columns), it is still in L1 or close when they read it
// (where a block of kYBlockBytes went out to L2 and came back). A row against 10^4 rows
// of 16 columns took 0.6 times as long, eight rows against them 0.85 times.
constexpr size_t kFewRowsYBlockBytes = 16 * 1024;
// Eight rows of Y of at most this many columns that follow each other are packed from the
// 8·d doubles they make up (pack_adjacent_rows), by d/2 rounded up permutes and blends a column.
// Rows of eight columns are eight whole vectors, which pack_rows turns by 24 shuffles: on an AMD
// Zen 5, a row against 10^5 rows of eight columns took 0.85 times as long that way, against
// 10^6 of them 0.7 times. For shorter rows, its masked loads cost more: 2.4–2.7 times as long
// against 10^6 rows of five to seven columns.
constexpr ITYPE kAdjacentColumns = 7;

// Results of at least this many bytes bypass the caches: three quarters of the last level cache
// the C library reports, or 16 MiB where it reports none. A result that fits is better left in
// the cache, where ordinary stores write it and where its caller reads it next: on a Xeon with a
// 260 MiB cache, a 30 MiB result took 0.75–0.9× the time written by ordinary stores, a 270 MiB
// one 1.05×. QUILLBRAX_STREAMED_BYTES (read once per process) sets the size instead, so that the
// tests reach both kinds of store on any machine.
ITYPE streamed_bytes() {
    static const ITYPE bytes = [] {
        if (const char* value = std::getenv("QUILLBRAX_STREAMED_BYTES")) {
            char* end = nullptr;
            const long long given = std::strtoll(value, &end, 10);
            if (end != value && *end == '\0' && given > 0) return static_cast<ITYPE>(given);
        }
        ITYPE cache = 0;
#if defined(_SC_LEVEL3_CACHE_SIZE)
        cache = static_cast<ITYPE>(sysconf(_SC_LEVEL3_CACHE_SIZE));
#endif
        return cache > 0 ? cache / 4 * 3 : ITYPE{16} << 20;
    }();
    return bytes;
}

// Elements of the longest row of X or Y that the kernels accept (2**54 elements, 2**57 bytes: more
// than x86-64's largest address space could hold as distinct elements). Only arrays with zero
// strides, such as broadcasts, can be longer; their sums would take years.
constexpr ITYPE kMaxColumns = ITYPE{1} << 54;

template <class Vector>
using BitsOf = std::conditional_t<sizeof(Vector) == 16, Bits2,
                                  std::conditional_t<sizeof(Vector) == 32, Bits4, Bits8>>;

template <class Vector>
[[gnu::always_inline]] inline Vector splat(double value) {
    if constexpr (sizeof(Vector) == 16) {
        return Vector{value, value};
    } else if constexpr (sizeof(Vector) == 32) {
        return Vector{value, value, value, value};
    } else {
        return Vector{value, value, value, value, value, value, value, value};
    }
}

template <Metric metric, class Vector>
[[gnu::always_inline]] inline Vector vector_term(Vector diff) {
    if constexpr (metric == Metric::manhattan) {
        using Bits = BitsOf<Vector>;
        return (Vector)((Bits)diff & ~(Bits)splat<Vector>(-0.0));  // the sign bit cleared, as fabs
    } else {
        return diff * diff;
    }
}

// acc + term with acc as the first operand of the instruction, as the scalar `acc + term` is
// evaluated: when both are NaN, x86 returns the first operand's NaN (inf − inf makes the negative
// default NaN, so the choice shows in the sign bit). The compiler, taking the addition as
// commutative, would otherwise be free to swap the operands.
[[gnu::always_inline]] inline Vector2 accumulate(Vector2 acc, Vector2 term) {
    __asm__("addpd %1, %0" : "+x"(acc) : "x"(term));
    return acc;
}
#if defined(__clang__)
// Clang takes no 256-bit register operand outside AVX code, and this is inlined into code that
// becomes AVX only when inlined further. The same result without fixing the operand order: where
// acc is NaN, acc quieted (as the instruction gives it); elsewhere the sum, the same either way.
[[gnu::always_inline]] inline Vector4 accumulate(Vector4 acc, Vector4 term) {
    constexpr unsigned long long quiet = 1ULL << 51;
    const Bits4 acc_is_nan = (Bits4)(acc != acc);
    return (Vector4)(((Bits4)(acc + term) & ~acc_is_nan) | (((Bits4)acc | quiet) & acc_is_nan));
}
#else
[[gnu::always_inline]] inline Vector4 accumulate(Vector4 acc, Vector4 term) {
    __asm__("vaddpd %1, %0, %0" : "+x"(acc) : "x"(term));
    return acc;
}
[[gnu::always_inline]] inline Vector8 accumulate(Vector8 acc, Vector8 term) {
    __asm__("vaddpd %1, %0, %0" : "+v"(acc) : "v"(term));
    return acc;
}
#endif

// The lanes whose square roots stand, as a comparison's all-ones lanes: acc in [2^-200, 2^200]
// with |e| < bound, or acc = +0 (see root()).
template <class Vector>
[[gnu::always_inline]] inline BitsOf<Vector> keep_lanes(Vector acc, Vector magnitude,
                                                        Vector bound) {
    return ((acc >= splat<Vector>(0x1p-200)) & (acc <= splat<Vector>(0x1p200)) &
            (magnitude < bound)) |
           (acc == splat<Vector>(0.0));
}

// The instruction set of a kernel: its vector, its tile height, and how a double becomes a
// vector (a broadcast from memory where AVX has one), a square root (or an estimate) and which
// lanes keep it. The AVX2 entry is flattened, so these inline there.
struct IsaBaseline {
    using Vector = Vector2;
    static constexpr ITYPE rows = 2;
    [[gnu::always_inline]] static inline Vector2 broadcast(const double* value) {
        return Vector2{*value, *value};
    }
    [[gnu::always_inline]] static inline Vector2 root_estimate(Vector2 v) {
        return (Vector2)_mm_sqrt_pd((__m128d)v);
    }
    // keep_lanes as bits, lane 0 the lowest.
    [[gnu::always_inline]] static inline int kept(Vector2 acc, Vector2 magnitude, Vector2 bound) {
        return _mm_movemask_pd((__m128d)keep_lanes(acc, magnitude, bound));
    }
    [[gnu::always_inline]] static inline Vector2 difference_on_multipliers(Vector2 x, Vector2 y) {
        return x - y;
    }
    // acc − s·s for s = sqrt(acc), exact for the sums root() keeps (and far beyond them): s·s =
    // hi + lo exactly by Veltkamp's split and Dekker's two-product, acc − hi by Sterbenz's lemma.
    [[gnu::always_inline]] static inline Vector2 residual(Vector2 acc, Vector2 s) {
        const Vector2 split = Vector2{134217729.0, 134217729.0};  // 2^27 + 1
        const Vector2 t = s * split;
        const Vector2 high = t - (t - s);
        const Vector2 low = s - high;
        const Vector2 hi = s * s;
        const Vector2 lo = low * low - (((hi - high * high) - high * low) - high * low);
        return (acc - hi) - lo;
    }
};
struct IsaAvx2 {
    using Vector = Vector4;
    static constexpr ITYPE rows = 4;
#if defined(__clang__)
    // Clang takes no AVX intrinsic outside AVX code, and these are inlined into code that becomes
    // AVX only when inlined further: generic forms, which become the same instructions there.
    [[gnu::always_inline]] static inline Vector4 broadcast(const double* value) {
        return Vector4{*value, *value, *value, *value};
    }
    [[gnu::always_inline]] static inline Vector4 root_estimate(Vector4 v) {
        return __builtin_elementwise_sqrt(v);
    }
    [[gnu::always_inline]] static inline int kept(Vector4 acc, Vector4 magnitude, Vector4 bound) {
        const Bits4 keep = keep_lanes(acc, magnitude, bound);
        int bits = 0;
        for (int lane = 0; lane < 4; ++lane)
            bits |= static_cast<int>((keep[lane] >> 63) & 1) << lane;
        return bits;
    }
    [[gnu::always_inline]] static inline Vector4 residual(Vector4 acc, Vector4 s) {
        return __builtin_elementwise_fma(-s, s, acc);
    }
    [[gnu::always_inline]] static inline Vector4 difference_on_multipliers(Vector4 x, Vector4 y) {
        return x - y;
    }
#else
    [[gnu::target("avx2")]] static inline Vector4 broadcast(const double* value) {
        return (Vector4)_mm256_broadcast_sd(value);
    }
    [[gnu::target("avx2")]] static inline Vector4 root_estimate(Vector4 v) {
        return (Vector4)_mm256_sqrt_pd((__m256d)v);
    }
    [[gnu::target("avx2")]] static inline int kept(Vector4 acc, Vector4 magnitude, Vector4 bound) {
        return _mm256_movemask_pd((__m256d)keep_lanes(acc, magnitude, bound));
    }
    // acc − s·s for s = sqrt(acc), exact for the sums root() keeps (and far beyond them): one
    // rounding of a representable value.
    [[gnu::target("avx2,fma")]] static inline Vector4 residual(Vector4 acc, Vector4 s) {
        return (Vector4)_mm256_fnmadd_pd((__m256d)s, (__m256d)s, (__m256d)acc);
    }
    // x − y as x·1 − y: one rounding of the same exact difference, so the same double (zeros'
    // signs included), and where both are NaN this form returns x's, as the subtraction does.
    // A term is a difference, a product and an addition. Where the adders are separate from the
    // multipliers (AMD's Zen), half of the differences taken here leave each of the two three
    // operations for every two terms, where the adders had four.
    // The result takes x's register (x is the first operand and the multiplicand, so its NaN
    // wins by either rule a processor might follow): in tiles of several rows, each broadcast
    // element of X is used last here, so it is not copied. With a copy of y made for every
    // difference, an AMD Zen 5 took 1.06–1.07 times as long at 500 × 500, d = 1024 and
    // 2000 × 2000, d = 64, and with AVX-512 1.02–1.04 times: the loops then had more
    // instructions than the core could take in.
    [[gnu::target("avx2,fma")]] static inline Vector4 difference_on_multipliers(Vector4 x,
                                                                                Vector4 y) {
        __asm__("vfmsub213pd %2, %1, %0" : "+x"(x) : "x"(_mm256_set1_pd(1.0)), "x"(y));
        return x;
    }
#endif
};
#if !defined(__clang__)
// AVX-512 (F, DQ and VL, which every AVX-512 processor since the first Xeon with it has): eight
// lanes, so a tile of 8 rows by one vector keeps eight sums in flight. On a core with two 512-bit
// units (Intel's server cores) the kernels take a third more terms per cycle than with AVX2's
// 256-bit vectors. Not built by clang, for the reasons given above.
struct IsaAvx512 {
    using Vector = Vector8;
    static constexpr ITYPE rows = 8;
    // Tiles of 8 rows by two panels (see pairwise_any_depth for which calls take them): sixteen
    // sums, each element of X broadcast once for two vectors of them, where a tile of one panel
    // takes a broadcast for every vector. On an AMD Zen 5, 2000 × 2000 at d = 32 and 64 took 0.8
    // times as long (with the loop over k unrolled twice, and X packed column by column: see
    // tile_kernel and pairwise_blocks).
    static constexpr ITYPE panels = 2;
    [[gnu::target("avx512f,avx512dq,avx512vl")]] static inline Vector8 broadcast(
        const double* value) {
        return (Vector8)_mm512_set1_pd(*value);
    }
    // Not the square root instruction, which takes 16 cycles a vector on a Xeon (2 a lane), but
    // an estimate that is the correctly rounded root on every lane root() keeps: the 14-bit
    // reciprocal square root estimate y0, one Newton step y1 = y0 + (y0/2)·(1 − acc·y0²) (27
    // bits), then c = acc·y1 corrected twice as c + (acc − c²)·(y1/2). The first correction leaves
    // c within about 2^-54 of the root, relatively; the second, whose residual is exact, within
    // about 2^-79 before its rounding, so c is the correctly rounded root unless the root lies
    // within about 2^-26 ulp of a midpoint. root() takes nothing on trust: it keeps a lane only
    // where the exact residual of c proves c the correctly rounded root, far from a midpoint,
    // so what the estimate instruction gives (it is not specified to the bit) never shows.
    // +0 gives +0; lanes outside [2^-200, 2^200] go to pow whatever they give.
    [[gnu::target("avx512f,avx512dq,avx512vl")]] static inline Vector8 root_estimate(Vector8 v) {
        const __m512d acc = (__m512d)v;
        const __m512d half = _mm512_set1_pd(0.5);
        // (the zero-masking form with every lane kept: GCC 12 warns of the plain form's undefined
        // source register)
        const __m512d y0 = _mm512_maskz_rsqrt14_pd(0xFF, acc);
        const __m512d error = _mm512_fnmadd_pd(_mm512_mul_pd(acc, y0), y0, _mm512_set1_pd(1.0));
        const __m512d y1 = _mm512_fmadd_pd(_mm512_mul_pd(half, y0), error, y0);
        const __m512d half_y1 = _mm512_mul_pd(half, y1);
        __m512d c = _mm512_mul_pd(acc, y1);
        c = _mm512_fmadd_pd(_mm512_fnmadd_pd(c, c, acc), half_y1, c);
        c = _mm512_fmadd_pd(_mm512_fnmadd_pd(c, c, acc), half_y1, c);
        const __mmask8 nonzero = _mm512_cmp_pd_mask(acc, _mm512_setzero_pd(), _CMP_NEQ_UQ);
        return (Vector8)_mm512_maskz_mov_pd(nonzero, c);
    }
    // keep_lanes by comparisons into mask registers (ordered: a NaN compares false): the
    // compiler takes comparisons of eight lanes into a vector apart one by one.
    [[gnu::target("avx512f,avx512dq,avx512vl")]] static inline int kept(Vector8 acc,
                                                                        Vector8 magnitude,
                                                                        Vector8 bound) {
        const __m512d a = (__m512d)acc;
        const __mmask8 in_range = _mm512_cmp_pd_mask(a, _mm512_set1_pd(0x1p-200), _CMP_GE_OQ) &
                                  _mm512_cmp_pd_mask(a, _mm512_set1_pd(0x1p200), _CMP_LE_OQ);
        const __mmask8 close = _mm512_cmp_pd_mask((__m512d)magnitude, (__m512d)bound, _CMP_LT_OQ);
        return (in_range & close) | _mm512_cmp_pd_mask(a, _mm512_setzero_pd(), _CMP_EQ_OQ);
    }
    [[gnu::target("avx512f,avx512dq,avx512vl")]] static inline Vector8 residual(Vector8 acc,
                                                                                Vector8 s) {
        return (Vector8)_mm512_fnmadd_pd((__m512d)s, (__m512d)s, (__m512d)acc);
    }
    // to[lane] = the double at from + lane · stride bytes, for the eight lanes: one gather. (Used
    // where gathers are quick: see gathers_quickly.)
    [[gnu::target("avx512f,avx512dq,avx512vl")]] static inline void gather(double* to,
                                                                           const char* from,
                                                                           ITYPE stride) {
        const __m512i offsets = _mm512_set_epi64(7 * stride, 6 * stride, 5 * stride, 4 * stride,
                                                 3 * stride, 2 * stride, stride, 0);
        // (the merging form with every lane gathered: GCC 12 warns of the plain form's undefined
        // source register)
        _mm512_storeu_pd(to, _mm512_mask_i64gather_pd(_mm512_setzero_pd(), 0xFF, offsets, from, 1));
    }
    // Which lanes of column k of a panel of eight adjacent rows of kColumns columns lie in the
    // loaded registers 2·pair and 2·pair + 1 (`held`), and where (`index`). Built at compile
    // time: left to the loop unroller, at kColumns = 7 GCC built the indices on the stack at run
    // time and each panel took ten times as long.
    template <ITYPE kColumns>
    struct AdjacentPicks {
        static constexpr ITYPE kPairs = (kColumns + 1) / 2;
        long long index[kColumns][kPairs][8] = {};
        unsigned held[kColumns][kPairs] = {};
        constexpr AdjacentPicks() {
            for (ITYPE k = 0; k < kColumns; ++k) {
                for (ITYPE lane = 0; lane < 8; ++lane) {
                    const ITYPE source = k + lane * kColumns;
                    index[k][source / 16][lane] = source % 16;
                    held[k][source / 16] |= 1U << lane;
                }
            }
        }
    };
    // A panel of eight rows of kColumns columns that lie next to each other (to[k·8 + lane] =
    // from[lane·kColumns + k]): kColumns loads of the 8·kColumns doubles, each column then picked
    // from them two registers at a time and merged. Quicker than gathers or copies for short
    // rows: at d = 3 six permutes and three blends, where copies take 24 loads and 24 stores.
    template <ITYPE kColumns>
    [[gnu::target("avx512f,avx512dq,avx512vl")]] static inline void pack_adjacent_rows(
        double* to, const double* from) {
        static_assert(kColumns >= 1 && kColumns <= kAdjacentColumns, "eight short rows");
        static constexpr AdjacentPicks<kColumns> picks;
        __m512d part[kColumns];
        for (ITYPE q = 0; q < kColumns; ++q) part[q] = _mm512_loadu_pd(from + 8 * q);
        for (ITYPE k = 0; k < kColumns; ++k) {
            __m512d column = _mm512_setzero_pd();
            for (ITYPE pair = 0; pair < picks.kPairs; ++pair) {
                const __m512d picked =
                    _mm512_permutex2var_pd(part[2 * pair], _mm512_loadu_si512(picks.index[k][pair]),
                                           part[std::min<ITYPE>(2 * pair + 1, kColumns - 1)]);
                column = _mm512_mask_blend_pd(static_cast<__mmask8>(picks.held[k][pair]), column,
                                              picked);
            }
            _mm512_storeu_pd(to + 8 * k, column);
        }
    }
    // A panel of eight rows whose columns lie next to each other, `row` bytes from one row to the
    // next (to[k·8 + lane] = row `lane`'s column k, k < depth): eight columns at a time, a load
    // from each row (the last columns by masked loads, which read nothing past them), the 8 × 8
    // block turned in registers by 24 shuffles. Where gathers are slow (see gathers_quickly),
    // scalar copies took up to four times as long.
    [[gnu::target("avx512f,avx512dq,avx512vl")]] static inline void pack_rows(double* to,
                                                                              const char* from,
                                                                              ITYPE row,
                                                                              ITYPE depth) {
        const __m512i even = _mm512_set_epi64(13, 12, 5, 4, 9, 8, 1, 0);
        const __m512i odd = _mm512_set_epi64(15, 14, 7, 6, 11, 10, 3, 2);
        for (ITYPE k0 = 0; k0 < depth; k0 += 8) {
            const ITYPE count = std::min<ITYPE>(8, depth - k0);
            const auto mask = static_cast<__mmask8>((1U << count) - 1);
            __m512d r[8];
            for (ITYPE lane = 0; lane < 8; ++lane) {
                r[lane] = _mm512_maskz_loadu_pd(mask, from + lane * row + k0 * 8);
            }
            // Pairs of rows interleaved (t[2q] holds their even columns, t[2q + 1] the odd
            // ones), then quadruples of rows by 128-bit pairs, then the halves of eight rows.
            // (The zero-masking forms with every lane kept: GCC 12 warns of the plain forms'
            // undefined source register.)
            __m512d t[8];
            for (ITYPE q = 0; q < 4; ++q) {
                t[2 * q] = _mm512_maskz_unpacklo_pd(0xFF, r[2 * q], r[2 * q + 1]);
                t[2 * q + 1] = _mm512_maskz_unpackhi_pd(0xFF, r[2 * q], r[2 * q + 1]);
            }
            __m512d u[8];  // u[4h + c]: rows 4h … 4h + 3 at columns c, c + 4 (c in 0, 2, 1, 3)
            for (ITYPE h = 0; h < 2; ++h) {
                u[4 * h + 0] = _mm512_permutex2var_pd(t[4 * h], even, t[4 * h + 2]);
                u[4 * h + 1] = _mm512_permutex2var_pd(t[4 * h], odd, t[4 * h + 2]);
                u[4 * h + 2] = _mm512_permutex2var_pd(t[4 * h + 1], even, t[4 * h + 3]);
                u[4 * h + 3] = _mm512_permutex2var_pd(t[4 * h + 1], odd, t[4 * h + 3]);
            }
            constexpr ITYPE kColumnOf[4] = {0, 2, 1, 3};
            __m512d column[8];
            for (ITYPE c = 0; c < 4; ++c) {
                column[kColumnOf[c]] = _mm512_maskz_shuffle_f64x2(0xFF, u[c], u[4 + c], 0x44);
                column[kColumnOf[c] + 4] = _mm512_maskz_shuffle_f64x2(0xFF, u[c], u[4 + c], 0xEE);
            }
            // (Whole stores, not masked ones: the tile that reads the columns next finds them
            // in the stores not yet written to the cache only if they were whole. From masked
            // stores its loads waited for the cache: on an AMD Zen 5, 2·10^5 rows against 32 of
            // three columns took 1.5 times as long. The loop is unrolled whole, so that GCC
            // does not turn it into a call of memcpy through the stack.)
#pragma GCC unroll 8
            for (ITYPE k = 0; k < 8; ++k) {
                if (k < count) _mm512_storeu_pd(to + (k0 + k) * 8, column[k]);
            }
        }
    }
    // The first `count` lanes of v to `to` (0 < count <= 8), the others left unwritten. A masked
    // AVX-512 store never faults on a lane it leaves out, where the lanes past a result's last row
    // may lie on a page that is not mapped. (So not with AVX2: AMD leaves open whether its masked
    // stores fault on such lanes.)
    [[gnu::target("avx512f,avx512dq,avx512vl")]] static inline void store_first(void* to, Vector8 v,
                                                                                ITYPE count) {
        _mm512_mask_storeu_pd(to, static_cast<__mmask8>((1U << count) - 1), (__m512d)v);
    }
    // As IsaAvx2's.
    [[gnu::target("avx512f,avx512dq,avx512vl")]] static inline Vector8 difference_on_multipliers(
        Vector8 x, Vector8 y) {
        __asm__("vfmsub213pd %2, %1, %0" : "+v"(x) : "v"(_mm512_set1_pd(1.0)), "v"(y));
        return x;
    }
};
#endif
constexpr ITYPE kMostRows = 8;   // the tallest tile of any of them
constexpr ITYPE kPackAhead = 8;  // panels
// Rows of X or Y spanning up to this many bytes are left to the caches and the hardware's
// prefetchers (see pairwise_blocks): the rows the caches keep between calls gain nothing from
// being asked for early, and a row against 5000 rows of 16 columns took 1.2 times as long, against
// 3·10^4 rows 1.1 times. (The last level cache that a core reaches is 32 MiB on an AMD Zen 5; the C
// library reports the whole processor's, 384 MiB on one such machine.)
constexpr uint64_t kFetchedBytes = uint64_t{16} << 20;
constexpr ITYPE kWideRows = 32;          // see pairwise_blocks
constexpr ITYPE kXAhead = 4;             // tiles
constexpr ITYPE kXFetchedColumns = 128;  // see pairwise_blocks

// Whether the instruction set's gather packs Y faster than scalar copies. On Intel's processors it
// did: on a Xeon, a query against 10^6 rows of three columns took 0.65× the time, and 8 × 500000
// at d = 3 0.8×. On AMD's Zen 5 gathers took 2–3× the time of the copies at those shapes (one
// row against 10^5 rows of 64 columns: 17 ms against 6.6 ms), and no less at any shape measured,
// so they are used on Intel's processors only. QUILLBRAX_GATHERS=1 (read once per process) uses
// them on any processor, so that the tests reach both ways on any machine with AVX-512.
bool gathers_quickly() {
    static const bool quickly =
        quillbrax::environment_flag("QUILLBRAX_GATHERS") || __builtin_cpu_is("intel") != 0;
    return quickly;
}

// to[lane] = the double at from + lane · stride bytes, lane < kPanel: a column of a Y panel, by
// the instruction set's gather where it has one and `gather` is set.
template <class Isa>
[[gnu::always_inline]] inline void panel_column(double* to, const char* from, ITYPE stride,
                                                bool gather) {
    if constexpr (requires { Isa::gather(to, from, stride); }) {
        if (gather) {
            Isa::gather(to, from, stride);
            return;
        }
    }
    for (ITYPE lane = 0; lane < kPanel; ++lane) {
        __builtin_memcpy(to + lane, from + lane * stride, sizeof(double));
    }
}

template <class Vector>
[[gnu::always_inline]] inline Vector load(const void* from) {
    Vector v;
    __builtin_memcpy(&v, from, sizeof v);
    return v;
}
template <class Vector>
[[gnu::always_inline]] inline void store(void* to, Vector v) {
    __builtin_memcpy(to, &v, sizeof v);
}

// The Euclidean distance pow(acc, 0.5) of the maths library, lane by lane, at the cost of a
// square root for all but a few per cent of the lanes.
//
// s = sqrt(acc), correctly rounded (the AVX-512 kernels take an estimate, which the test below
// proves correctly rounded on every lane it keeps). The maths library's pow is documented to err by
// at most 0.54 ulp in general; for the exponent 0.5 its error analysis gives less: the final
// rounding of its exp (0.5 ulp) plus at most 0.011 ulp of exp's own approximation and 0.5·|ln
// acc|·1.5·2^-68 relative error from its log, at most 0.0016 ulp for acc in [2^-200, 2^200]. So
// there pow returns what rounding some r' with |r' − r| ≤ 0.013 ulp(r) gives, r the exact root; it
// can differ from s only when r lies within 0.013 ulp(r) of a midpoint between s and a neighbour.
//
// The exact residual e = acc − s·s (representable; computed by one fused multiply-add, or
// without one by Veltkamp's split and Dekker's two-product: Isa::residual) gives
// r − s = e / (r + s). A lane keeps s when |e| < c·s·u, where u is the spacing of the doubles just
// below s (so the bound holds on both sides of s, a power of two included) and c = 1 − 2μ:
// then |r − s| < (1/2 − μ)·u·(1 + 2^-52), so r lies at least μ·u − 2^-53·u from any midpoint.
// (For an estimate s, e is exact wherever s lies within an ulp of r, as on every lane that can
// pass; where s lies farther, |e| exceeds the bound many times over, rounded or not.)
// μ = 1/32, 2.4 times the 0.013 ulp bound: about 6 % of random lanes go to pow. (On 8·10^7
// random sums, glibc's pow differed from the correctly rounded root on 0.09 % of them, all
// within 0.0083 ulp of a midpoint.) The rounding of s·(c·u) (relative 2^-53) is far inside
// the margin.
//
// acc outside [2^-200, 2^200] (distances below 2^-100 or above 2^100, rare in practice) goes to
// pow as well, except +0, whose root sqrt and pow both give exactly; so do +inf and NaN, whose
// payload pow keeps as it likes.
template <class Isa>
[[gnu::always_inline]] inline typename Isa::Vector root(typename Isa::Vector acc, int& unsafe) {
    using Vector = typename Isa::Vector;
    using Bits = BitsOf<Vector>;
    constexpr int lanes = sizeof(Vector) / sizeof(double);
    const Vector s = Isa::root_estimate(acc);
    const Vector e = Isa::residual(acc, s);
    // c·u = (15/16)·2^(E − 52) = 1.875·2^(E − 53) for the exponent E of s's predecessor, built
    // from its bits (s ≥ 2^-100 in range, so E − 53 is a normal exponent).
    const Bits exponent_mask = (Bits)splat<Vector>(__builtin_inf());
    const Bits fraction_of_1_875 = (Bits)splat<Vector>(1.875) & ~exponent_mask;
    // (One subtraction takes both the 1 and the 53 from the exponent field: no borrow crosses.)
    const Vector cu =
        (Vector)((((Bits)s - (1 + (53LL << 52))) & exponent_mask) | fraction_of_1_875);
    const Vector magnitude = (Vector)((Bits)e & ~(Bits)splat<Vector>(-0.0));
    unsafe = Isa::kept(acc, magnitude, s * cu) ^ ((1 << lanes) - 1);
    return s;
}

// A store that bypasses the caches, 16 bytes at a time (`to` aligned to at least 16 bytes).
template <class Vector>
[[gnu::always_inline]] inline void stream(void* to, Vector v) {
    double values[sizeof(Vector) / sizeof(double)];
    __builtin_memcpy(values, &v, sizeof v);
    for (size_t i = 0; i < sizeof(Vector) / sizeof(double); i += 2) {
        _mm_stream_pd(static_cast<double*>(to) + i, _mm_loadu_pd(values + i));
    }
}

// The sums of Euclidean tiles whose entries include some that take their roots from pow, kept
// until a loop of nothing but pow calls stores those roots: there a call costs about a third of
// what it costs between the vector code of the tiles. A tile writes its sums into the next slots
// (kEntries to a slot, at most kParts slots) and commits, slot by slot, the mask of its entries
// that need pow (a slot without any is not kept). The queue is worked through after the tiles
// that stored those entries' square roots, and before the kernel returns.
class PowQueue {
public:
    static constexpr int kEntries = 64;  // per slot
    static constexpr int kParts = 2;     // slots per tile, at most
    explicit PowQueue(const Result& out) : out_(out) {}
    PowQueue(const PowQueue&) = delete;
    PowQueue& operator=(const PowQueue&) = delete;
    ~PowQueue() = default;

    // kParts · kEntries doubles for a tile's sums, slot after slot.
    double* slot() { return sums_[tiles_]; }
    // The tile at (i0, j0), `columns` wide (a power of two), whose sums are in slot(): entry t
    // (row t / columns, column t % columns) takes pow where bit t % kEntries of
    // pending[t / kEntries] is set.
    void commit(const uint64_t (&pending)[kParts], ITYPE i0, ITYPE j0, ITYPE columns) {
        const int shift = __builtin_ctzll(static_cast<uint64_t>(columns));
        const int first = tiles_;
        for (int part = 0; part < kParts; ++part) {
            if (pending[part] == 0) continue;
            if (tiles_ != first + part) {  // the slot before it was not kept
                std::copy(sums_[first + part], sums_[first + part] + kEntries, sums_[tiles_]);
            }
            tile_[tiles_] = Tile{pending[part], i0 + ((part * kEntries) >> shift), j0, shift};
            ++tiles_;
            entries_ += __builtin_popcountll(pending[part]);
        }
        if (tiles_ + kParts > kTiles) flush();
    }
    // One loop over all the queued entries, from tile to tile without a branch (every queued
    // tile has at least one entry), so that nothing but the calls themselves is left to predict.
    // Each step finds the next entry's sum before the call for the current one, so the search
    // for it does not delay the next call (past the last entry it reads the spare tile's zeros).
    // Out of line: inlined into a kernel, its state lives on the stack, reloaded around each call.
    [[gnu::noinline]] void flush() {
        tile_[tiles_].pending = 0;
        std::fill(sums_[tiles_], sums_[tiles_] + kEntries, 0.0);
        int tile = 0;
        uint64_t bits = tile_[0].pending;
        int e = __builtin_ctzll(bits | kPastLast);
        ITYPE i = tile_[0].i0 + (e >> tile_[0].shift);
        ITYPE j = tile_[0].j0 + (e & ((1 << tile_[0].shift) - 1));
        double sum = sums_[0][e];
        for (int entry = 0; entry < entries_; ++entry) {
            bits &= bits - 1;
            const int done = bits == 0;
            tile += done;
            bits |= tile_[tile].pending & (uint64_t{0} - static_cast<uint64_t>(done));
            e = __builtin_ctzll(bits | kPastLast);
            const double next = sums_[tile][e];
            out_(i, j) = std::pow(sum, 0.5);
            i = tile_[tile].i0 + (e >> tile_[tile].shift);
            j = tile_[tile].j0 + (e & ((1 << tile_[tile].shift) - 1));
            sum = next;
        }
        tiles_ = 0;
        entries_ = 0;
    }

private:
    static constexpr int kTiles = 64;
    static constexpr uint64_t kPastLast = uint64_t{1} << (kEntries - 1);  // where none is left
    struct Tile {
        uint64_t pending;
        ITYPE i0, j0;
        int shift;  // log2 of the tile's columns
    };
    Result out_;
    int tiles_ = 0;
    int entries_ = 0;
    Tile tile_[kTiles + 1] = {};  // and one past the last tile, with no entries
    // Whole vectors of sums are stored here, each on a line of its own.
    alignas(64) double sums_[kTiles + 1][kEntries];
    static_assert(kParts <= kTiles);
};

// The term of vector v of a tile (counted row by row) at one column: odd vectors take their
// differences on the multipliers.
template <Metric metric, class Isa>
[[gnu::always_inline]] inline typename Isa::Vector tile_term(typename Isa::Vector xk,
                                                             typename Isa::Vector yv, ITYPE v) {
    return vector_term<metric>(v % 2 == 1 ? Isa::difference_on_multipliers(xk, yv) : xk - yv);
}

// How a tile reaches the result: element by element through its strides, by vector stores into
// contiguous rows, or by stores that bypass the caches. Those serve a result larger than a last
// level cache, whose lines would only be read from memory to be overwritten, with rows a whole
// number of cache lines apart and one block of columns (no running sum loaded back); not the
// Euclidean one, whose roots by pow are stored later, from the queue, each store bringing its
// line back from memory. A row of a tile straddles two lines where it does not start on one, and
// the lines that tiles leave partly written between them are more than a core's write-combining
// buffers hold: on one Xeon, a result 16 bytes past a line took two (tiles of four rows) to ten
// (eight rows) times as long streamed as by ordinary stores. So the tiles are placed on the
// lines: the columns before a row's first line boundary form a narrower block of their own.
enum class Stores { strided, vector, streamed };
constexpr ITYPE kStoresAhead = 2;  // tiles

// The first `live` rows and `width` columns of a tile's sums, element by element through the
// result's strides.
template <class Isa, ITYPE rows, ITYPE columns>
[[gnu::always_inline]] inline void store_strided(
    const typename Isa::Vector (&acc)[rows][columns / (sizeof(typename Isa::Vector) / 8)],
    const Result& out, ITYPE i0, ITYPE j0, ITYPE live, ITYPE width) {
    constexpr ITYPE lanes = sizeof(typename Isa::Vector) / sizeof(double);
    double values[rows][columns];
#pragma GCC unroll 8
    for (ITYPE r = 0; r < rows; ++r) {
        for (ITYPE v = 0; v < columns / lanes; ++v) store(&values[r][v * lanes], acc[r][v]);
    }
    for (ITYPE r = 0; r < live; ++r) {
        for (ITYPE lane = 0; lane < width; ++lane) out(i0 + r, j0 + lane) = values[r][lane];
    }
}

// One tile: rows i0 … i0 + rows − 1 of the result (the first `live` of them real) by columns
// j0 … j0 + panels · kPanel − 1 (the first `width` real), over the columns of one block. `x` holds
// the tile's rows of X, `depth_given` elements each (kFixed when that is not 0: the loop over k is
// then unrolled, as short rows need), `x_row` elements from the start of one to the next, or, where
// kInterleaved, column by column (x[k·rows + r]); `panel` the first of its `panels` consecutive Y
// panels. The sums start at 0.0 in the first block and from the result in the others; the last
// block stores final(acc) (Euclidean: through `queue`, null for the other metrics). A tile is
// Isa::rows rows by one panel (or Isa::panels), or one row by Isa::rows panels (as many sums in
// flight) for a problem of fewer rows.
template <Metric metric, class Isa, ITYPE kFixed, ITYPE rows = Isa::rows, ITYPE panels = 1,
          bool kInterleaved = false>
[[gnu::always_inline]] inline void tile_kernel(const double* x, const double* panel, ITYPE x_row,
                                               ITYPE depth_given, bool first, bool last,
                                               const Result& out, Stores stores, PowQueue* queue,
                                               ITYPE i0, ITYPE j0, ITYPE live, ITYPE width) {
    using Vector = typename Isa::Vector;
    constexpr ITYPE lanes = sizeof(Vector) / sizeof(double);
    constexpr ITYPE columns = panels * kPanel;
    constexpr ITYPE vectors = columns / lanes;  // in a row
    constexpr ITYPE per_panel = kPanel / lanes;
    const ITYPE depth = kFixed != 0 ? kFixed : depth_given;
    const bool whole = stores != Stores::strided && live == rows && width == columns;
    // Vector v of a row of the tile, at column k of the block: in panel v / per_panel.
    const auto y_at = [&](ITYPE v, ITYPE k) {
        return panel + (v / per_panel) * depth * kPanel + k * kPanel + v % per_panel * lanes;
    };
    // Element (i0 + r, j0 + c) of a result whose rows are contiguous, as bytes: the result
    // may sit at any byte offset, so it is only reached through memcpy.
    const auto element = [&](ITYPE r, ITYPE c) {
        return out.data + (i0 + r) * out.strides[0] + (j0 + c) * ITYPE{sizeof(double)};
    };

    // The lines of the result that a tile two on writes, asked for now: a tile's rows are as many
    // streams of stores, which the hardware's prefetchers leave to wait for each line in turn (on
    // a Xeon, ordinary stores into a result in the caches then took 1.5 times as long). Two tiles
    // on along the rows; in a result too narrow for that, the tile below, written as many tiles
    // on as there are across.
    if (whole && stores == Stores::vector) {
        if (j0 + (kStoresAhead + 1) * columns <= out.shape[1]) {
            for (ITYPE r = 0; r < rows; ++r) {
                for (ITYPE q = 0; q < panels; ++q) {
                    __builtin_prefetch(element(r, kStoresAhead * columns + q * kPanel), 1);
                }
            }
        } else if (i0 + 2 * rows <= out.shape[0]) {
            for (ITYPE r = rows; r < 2 * rows; ++r) __builtin_prefetch(element(r, 0), 1);
        }
    }
    // The sums stay in registers from their first term to their stores only where every access
    // to them has a constant index: GCC decides which arrays become registers before it unrolls
    // any but the innermost loops, so the loops over the rows of `acc` are unrolled by pragma
    // (kMostRows times). Through the stack, 2000 × 2000 at d = 64 took 1.08 times as long on an
    // AMD Zen 5, 8 × 10^5 at d = 24 1.2 times, and the Euclidean tiles of 500 × 500 at d = 1024
    // 1.15 times. Tiles one panel wide, and Euclidean tiles one row high, keep their sums in
    // memory (their masked stores read them at run-time rows): in registers the narrow tiles
    // gained nothing (2000 × 2000 at d = 3 and 16, 10^5 × 8 at d = 8: 0.97–1.05 times), and the
    // narrow Euclidean ones lost (10^5 × 5 at d = 64: 1.1 times).
    Vector acc[rows][vectors];
    if (first) {
#pragma GCC unroll 8
        for (ITYPE r = 0; r < rows; ++r) {
            for (ITYPE v = 0; v < vectors; ++v) acc[r][v] = splat<Vector>(0.0);
        }
    } else if (whole) {
#pragma GCC unroll 8
        for (ITYPE r = 0; r < rows; ++r) {
            for (ITYPE v = 0; v < vectors; ++v) acc[r][v] = load<Vector>(element(r, v * lanes));
        }
    } else {
        double partial[rows][columns] = {};
        for (ITYPE r = 0; r < live; ++r) {
            for (ITYPE lane = 0; lane < width; ++lane) partial[r][lane] = out(i0 + r, j0 + lane);
        }
#pragma GCC unroll 8
        for (ITYPE r = 0; r < rows; ++r) {
            for (ITYPE v = 0; v < vectors; ++v) acc[r][v] = load<Vector>(&partial[r][v * lanes]);
        }
    }

    // The first term of a fresh sum is the sum: 0.0 + t is t, bit for bit, for every term (none
    // is −0.0, and a NaN term is already quiet), so that addition is left out.
    // (Rows of kFixed elements are one block, so there the first term is always fresh and the
    // loop below keeps its constant trip count.)
    const ITYPE x_step = kFixed != 0 ? kFixed : x_row;  // packed rows of kFixed elements
    const auto x_at = [&](ITYPE r, ITYPE k) {
        return kInterleaved ? x + k * rows + r : x + r * x_step + k;
    };
    ITYPE k = 0;
    if ((kFixed != 0 || first) && depth > 0) {
#pragma GCC unroll 8
        for (ITYPE r = 0; r < rows; ++r) {
            const Vector xk = Isa::broadcast(x_at(r, 0));
            for (ITYPE v = 0; v < vectors; ++v) {
                acc[r][v] = tile_term<metric, Isa>(xk, load<Vector>(y_at(v, 0)), r * vectors + v);
            }
        }
        k = 1;
    }
    // (The body is written out in both loops: as a lambda called from them, the sums of the
    // narrow tiles were kept on the stack.)
    if constexpr (kFixed == 0 && rows * vectors >= 16) {
        // Sixteen sums make a body of some seventy instructions a column: unrolled sixteen times,
        // with the remainder of up to fifteen columns in a loop of its own, 2000 × 2000 at d = 64
        // took 1.2 times as long on an AMD Zen 5 as unrolled twice.
#pragma GCC unroll 2
        for (; k < depth; ++k) {
            Vector y[vectors];
            for (ITYPE v = 0; v < vectors; ++v) y[v] = load<Vector>(y_at(v, k));
            for (ITYPE r = 0; r < rows; ++r) {
                const Vector xk = Isa::broadcast(x_at(r, k));
                for (ITYPE v = 0; v < vectors; ++v) {
                    acc[r][v] =
                        accumulate(acc[r][v], tile_term<metric, Isa>(xk, y[v], r * vectors + v));
                }
            }
        }
    } else {
#pragma GCC unroll 16
        for (; k < depth; ++k) {
            Vector y[vectors];
            for (ITYPE v = 0; v < vectors; ++v) y[v] = load<Vector>(y_at(v, k));
            for (ITYPE r = 0; r < rows; ++r) {
                const Vector xk = Isa::broadcast(x_at(r, k));
                for (ITYPE v = 0; v < vectors; ++v) {
                    acc[r][v] =
                        accumulate(acc[r][v], tile_term<metric, Isa>(xk, y[v], r * vectors + v));
                }
            }
        }
    }

    // Euclidean: every entry takes its square root; the tile's sums go to the queue, with the
    // mask of the entries whose roots pow gives instead (stored after the tile's own stores).
    // (Entry t = r · columns + c is bit t % kEntries of pending[t / kEntries].)
    constexpr ITYPE kEntries = PowQueue::kEntries;
    uint64_t pending[PowQueue::kParts] = {};
    if (metric == Metric::euclidean && last) {
        static_assert(rows * columns <= PowQueue::kParts * kEntries && kEntries % columns == 0);
        double* sums = queue->slot();
#pragma GCC unroll 8
        for (ITYPE r = 0; r < rows; ++r) {
            for (ITYPE v = 0; v < vectors; ++v) {
                const ITYPE t = r * columns + v * lanes;
                store(&sums[t], acc[r][v]);
                int unsafe = 0;
                acc[r][v] = root<Isa>(acc[r][v], unsafe);
                pending[t / kEntries] |= static_cast<uint64_t>(unsafe) << (t % kEntries);
            }
        }
        if (!whole) {  // only the live rows' first `width` columns (width ≤ columns) are entries
            const uint64_t row = width < 64 ? (uint64_t{1} << width) - 1 : ~uint64_t{0};
            uint64_t real[PowQueue::kParts] = {};
            for (ITYPE r = 0; r < live; ++r) {
                real[r * columns / kEntries] |= row << (r * columns % kEntries);
            }
            for (ITYPE part = 0; part < PowQueue::kParts; ++part) pending[part] &= real[part];
        }
    }

    if (whole && stores == Stores::streamed) {
#pragma GCC unroll 8
        for (ITYPE r = 0; r < rows; ++r) {
            for (ITYPE v = 0; v < vectors; ++v) stream(element(r, v * lanes), acc[r][v]);
        }
    } else if (whole) {
#pragma GCC unroll 8
        for (ITYPE r = 0; r < rows; ++r) {
            for (ITYPE v = 0; v < vectors; ++v) store(element(r, v * lanes), acc[r][v]);
        }
    } else if constexpr (requires { Isa::store_first(nullptr, acc[0][0], lanes); }) {
        if (stores != Stores::strided) {
            // The last rows or columns of contiguous rows (all of a result narrower than a
            // tile): each live row's first `width` columns by masked stores, from a copy of the
            // sums where they are kept in registers (read at run-time rows, they are not).
            constexpr bool kCopied = panels > 1 && (metric != Metric::euclidean || kInterleaved);
            [[maybe_unused]] double copied[kCopied ? rows : 1][columns];
            if constexpr (kCopied) {
#pragma GCC unroll 8
                for (ITYPE r = 0; r < rows; ++r) {
                    for (ITYPE v = 0; v < vectors; ++v) store(&copied[r][v * lanes], acc[r][v]);
                }
            }
            for (ITYPE r = 0; r < live; ++r) {
                for (ITYPE v = 0; v < vectors && v * lanes < width; ++v) {
                    Vector sums;
                    if constexpr (kCopied) {
                        sums = load<Vector>(&copied[r][v * lanes]);
                    } else {
                        sums = acc[r][v];
                    }
                    Isa::store_first(element(r, v * lanes), sums,
                                     std::min(lanes, width - v * lanes));
                }
            }
        } else {
            store_strided<Isa, rows, columns>(acc, out, i0, j0, live, width);
        }
    } else {
        store_strided<Isa, rows, columns>(acc, out, i0, j0, live, width);
    }
    if (metric == Metric::euclidean && last) queue->commit(pending, i0, j0, columns);
}

// Bytes from the first of `count` rows `stride` bytes apart to the last: within the array, where
// there are two rows or more; 0 for one row, whatever its stride.
inline uint64_t span_bytes(ITYPE count, ITYPE stride) {
    const auto size = static_cast<uint64_t>(stride);
    return static_cast<uint64_t>(count - 1) * (stride < 0 ? 0 - size : size);
}

// Asks for the lines of rows first … first + count − 1 of A (those that exist), columns
// k0 … k0 + depth − 1, ahead of their use.
[[gnu::always_inline]] inline void fetch_rows(const Matrix& A, ITYPE first, ITYPE count, ITYPE k0,
                                              ITYPE depth) {
    for (ITYPE i = first; i < std::min(first + count, A.shape[0]); ++i) {
        const char* row = reinterpret_cast<const char*>(&A(i, k0));
        for (ITYPE byte = 0; byte < depth * ITYPE{sizeof(double)}; byte += 64) {
            __builtin_prefetch(row + byte);
        }
    }
}

// How whole panels of Y are packed: by gathers where they are quick (`gather`); else, for rows
// whose columns lie next to each other, from the rows' memory (`adjacent`: rows of short fixed
// length that also follow each other, eight of them 8·d consecutive doubles; `transposed`: any
// such rows); else column by column. `ahead`: rows are asked for before the packing reaches them.
struct Packing {
    bool gather;
    bool transposed;
    bool adjacent;
    bool ahead;
};

// Rows j_start … j_start + count − 1 of Y, columns k0 … k0 + depth − 1, into `panels` panels at
// `to`; lanes past the last row repeat it (their sums are computed but never stored). Each way
// of packing whole panels has a loop of its own: in one loop that chose the way panel by panel,
// GCC kept the addresses of all of them on the stack, updated on every panel, and a row against
// 3·10^4 adjacent rows of three to six columns took 1.5–1.65 times as long.
template <class Isa, ITYPE kFixed>
[[gnu::always_inline]] inline void pack_y(double* to, Matrix Y, const Packing& how, ITYPE j_start,
                                          ITYPE count, ITYPE panels, ITYPE k0, ITYPE depth) {
    const ITYPE whole = count / kPanel;  // panels of kPanel rows
    const auto panel = [&](ITYPE p) { return to + p * depth * kPanel; };
    const auto first_row = [&](ITYPE p) {
        return reinterpret_cast<const char*>(&Y(j_start + p * kPanel, k0));
    };
    const auto fetch_ahead = [&](ITYPE p) {
        fetch_rows(Y, j_start + (p + kPackAhead) * kPanel, kPanel, k0, depth);
    };
    ITYPE p = 0;
    if constexpr (kFixed >= 1 && kFixed <= kAdjacentColumns &&
                  requires { Isa::template pack_adjacent_rows<kFixed>(nullptr, nullptr); }) {
        if (how.adjacent) {
            for (; p < whole; ++p) {
                Isa::template pack_adjacent_rows<kFixed>(panel(p), &Y(j_start + p * kPanel, 0));
            }
        }
    }
    if constexpr (requires { Isa::pack_rows(nullptr, nullptr, 0, 0); }) {
        if (how.transposed) {
            for (; p < whole; ++p) {
                if (how.ahead) fetch_ahead(p);
                Isa::pack_rows(panel(p), first_row(p), Y.strides[0], depth);
            }
        }
    }
    for (; p < whole; ++p) {  // columns at a time
        if (how.ahead) fetch_ahead(p);
        for (ITYPE k = 0; k < depth; ++k) {
            panel_column<Isa>(panel(p) + k * kPanel, first_row(p) + k * Y.strides[1], Y.strides[0],
                              how.gather);
        }
    }
    for (; p < panels; ++p) {  // the last rows
        for (ITYPE lane = 0; lane < kPanel; ++lane) {
            const ITYPE j = j_start + std::min(p * kPanel + lane, count - 1);
            for (ITYPE k = 0; k < depth; ++k) panel(p)[k * kPanel + lane] = Y(j, k0 + k);
        }
    }
}

struct Plan {
    ITYPE n, m, d;
    ITYPE depth;      // columns per block (0 when d = 0)
    ITYPE k_blocks;   // at least 1
    ITYPE y_rows;     // rows of Y per packed block, a multiple of kPanel · kMostRows
    double* y_block;  // y_rows × depth
    double* x_tile;   // rows × depth
};

template <Metric metric, class Isa, ITYPE kFixed, ITYPE wide = 1>
[[gnu::always_inline]] inline void pairwise_blocks(Matrix X, Matrix Y, Result out,
                                                   const Plan& plan) {
    constexpr ITYPE rows = Isa::rows;
    static_assert(rows <= kMostRows, "the tile of X holds kMostRows rows");
    Stores stores = out.strides[1] == ITYPE{sizeof(double)} ? Stores::vector : Stores::strided;
    // Rows a whole number of cache lines apart that start part-way into a line (as a large
    // array's data does, 16 bytes past a page) take their first `lead` columns, up to the first
    // line boundary, as a block of their own: every later tile's rows then start on a line.
    constexpr ITYPE kLine = 64;
    ITYPE lead = 0;
    const auto offset = static_cast<ITYPE>(reinterpret_cast<uintptr_t>(out.data) % kLine);
    if (metric != Metric::euclidean && stores == Stores::vector && plan.k_blocks == 1 &&
        plan.n * plan.m >= streamed_bytes() / ITYPE{sizeof(double)} &&
        out.strides[0] % kLine == 0 && offset % ITYPE{sizeof(double)} == 0) {
        stores = Stores::streamed;
        lead = std::min(plan.m, (kLine - offset) % kLine / ITYPE{sizeof(double)});
    }
    // A problem of fewer rows than a tile (a few points against many rows of Y) takes tiles of one
    // row by `rows` panels: as many sums in flight, and none for rows that do not exist. Others
    // take tiles `wide` panels wide (see pairwise_any_depth).
    const bool thin = plan.n < rows;
    const ITYPE tile_rows = thin ? 1 : rows;
    // Rows of X that are contiguous and aligned are read where they lie, a tile at a time; others
    // (and a last tile of fewer rows) are packed. A tile of short rows costs little more to
    // compute than to pack, with few rows of Y (a few centroids) nothing amortises the packing.
    // Rows of a fixed length kFixed are always packed: a tile then finds its elements of X at
    // fixed offsets from one address, where rows a run-time stride apart made GCC keep an
    // address for each of them, spilled to the stack (at d = 16 the tiles took up to twice as
    // long on an AMD Zen 5, as their stack happened to lie). Tiles more than one panel wide
    // (`interleave`) read their rows packed column by column, for the same reason: read in place,
    // 2000 × 2000 at d = 64 took 1.05 times as long, 100 × 2000 1.07 times.
    const bool interleave = wide > 1 && !thin;
    // Their rows, where the columns lie next to each other, are turned by the transpose that
    // packs Y (Isa::pack_rows): element by element, 500 × 500 at d = 1024 took 1.04 times as long
    // (X is packed again for each block of Y), 2000 × 2000 at d = 64 1.01 times.
    const bool x_columns_adjacent = X.strides[1] == ITYPE{sizeof(double)};
    const bool x_in_place = kFixed == 0 && !interleave && x_columns_adjacent &&
                            X.strides[0] % ITYPE{sizeof(double)} == 0 &&
                            reinterpret_cast<uintptr_t>(X.data) % alignof(double) == 0;
    Packing how{};
    how.gather = gathers_quickly();
    const bool contiguous_columns = Y.strides[1] == ITYPE{sizeof(double)};
    how.transposed = !how.gather && contiguous_columns;
    how.adjacent = how.transposed && kFixed != 0 && kFixed <= kAdjacentColumns &&
                   Y.strides[0] == kFixed * ITYPE{sizeof(double)};
    // Rows of Y whose columns lie next to each other, other than adjacent ones, spanning more
    // than kFetchedBytes: the rows that the packing reaches kPackAhead panels on are asked for
    // early. At 64 columns each panel's rows take one page, across which the hardware's
    // prefetchers do not follow them; short rows of a wider array they did not follow either (on
    // an AMD Zen 5, one row against 10^5 rows of 64 columns then took 0.5–0.6× the time, against
    // 10^6 rows of three to six columns of wider rows 0.35–0.4×). Adjacent rows are one stream,
    // which they follow.
    how.ahead = contiguous_columns && span_bytes(plan.m, Y.strides[0]) > kFetchedBytes;
    // Rows of X of fewer than kXFetchedColumns columns next to each other, spanning more than
    // kFetchedBytes: the rows of the tile kXAhead tiles on are asked for early. The hardware's
    // prefetchers followed the rows of tiles of 8 rows well at some lengths and not at others: on
    // an AMD Zen 5, 3·10^5 rows against 8 took 0.45–0.5 times as long fetched so at 17 to 28
    // columns, 0.73 at 48, 0.9–1.0 at 32 to 96 other than 48, and 1.06–1.1 at 128 and 200.
    // Rows of tiles two panels wide are asked for so whatever their span: each tile of them
    // packs its rows by masked loads, which waited for memory where the copies of the narrower
    // tiles did not (on an AMD Zen 5, 10^5 rows against 40 of 16 columns, 13 MB of X, took 0.6
    // times as long fetched so; 2000 × 2000 at d = 16 0.98 times).
    const bool fetch_x = x_columns_adjacent && plan.depth < kXFetchedColumns &&
                         (interleave || span_bytes(plan.n, X.strides[0]) > kFetchedBytes);
    // The Euclidean queue (35 KiB) lies on the heap; the other metrics have none. On the stack,
    // just above the frames of flush and pow, its calls to pow took twice as long at some offsets
    // of the frame and not at others (on an AMD Zen 5, 2000 × 2000 at d = 3 with AVX-512, 10^5 × 8
    // at d = 8 with AVX2).
    std::unique_ptr<PowQueue> queue;
    if constexpr (metric == Metric::euclidean) queue = std::make_unique<PowQueue>(out);
    for (ITYPE j_start = 0, block_rows = 0; j_start < plan.m; j_start += block_rows) {
        block_rows = j_start < lead ? lead : std::min(plan.y_rows, plan.m - j_start);
        const ITYPE panels = (block_rows + kPanel - 1) / kPanel;
        // (Tiles read whole groups of `rows` or `wide` panels: y_rows is a multiple of both.)
        const ITYPE group = thin ? rows : interleave ? wide : 1;
        const ITYPE packed = (panels + group - 1) / group * group;
        for (ITYPE b = 0; b < plan.k_blocks; ++b) {
            const ITYPE k0 = b * plan.depth;
            const ITYPE depth = kFixed != 0 ? kFixed : std::min(plan.depth, plan.d - k0);
            pack_y<Isa, kFixed>(plan.y_block, Y, how, j_start, block_rows, packed, k0, depth);
            for (ITYPE i0 = 0; i0 < plan.n; i0 += tile_rows) {
                const ITYPE live = std::min(tile_rows, plan.n - i0);
                if (fetch_x) fetch_rows(X, i0 + kXAhead * tile_rows, tile_rows, k0, depth);
                const double* x = plan.x_tile;
                ITYPE x_row = depth;
                if (x_in_place && live == tile_rows) {
                    x = reinterpret_cast<const double*>(&X(i0, k0));
                    x_row = X.strides[0] / ITYPE{sizeof(double)};
                } else if (interleave && x_columns_adjacent && live == tile_rows) {
                    if constexpr (wide > 1) {
                        Isa::pack_rows(plan.x_tile, reinterpret_cast<const char*>(&X(i0, k0)),
                                       X.strides[0], depth);
                    }
                } else {
                    for (ITYPE r = 0; r < tile_rows; ++r) {
                        const ITYPE i = i0 + std::min(r, live - 1);
                        for (ITYPE k = 0; k < depth; ++k) {
                            plan.x_tile[interleave ? k * rows + r : r * depth + k] = X(i, k0 + k);
                        }
                    }
                }
                // The tiles along the block, kRows rows by kPanels panels each.
                const auto tiles = [&]<ITYPE kRows, ITYPE kPanels, bool kInterleaved = false>() {
                    for (ITYPE p = 0; p < panels; p += kPanels) {
                        tile_kernel<metric, Isa, kFixed, kRows, kPanels, kInterleaved>(
                            x, plan.y_block + p * depth * kPanel, x_row, depth, b == 0,
                            b + 1 == plan.k_blocks, out, stores, queue.get(), i0,
                            j_start + p * kPanel, live,
                            std::min(kPanels * kPanel, block_rows - p * kPanel));
                    }
                };
                if (thin) {
                    tiles.template operator()<1, rows>();
                } else if (interleave) {
                    if constexpr (wide > 1) tiles.template operator()<rows, wide, true>();
                } else {
                    tiles.template operator()<rows, 1>();
                }
            }
        }
    }
    if (queue) queue->flush();
    if (stores == Stores::streamed) _mm_sfence();  // the streamed stores ordered before the return
}

#if !defined(__clang__)
// The Euclidean tiles two panels wide, in a function of their own: inlined beside the others,
// 500 × 500 at d = 1024 and 2000 × 2000 at d = 64 took 1.05–1.07 times as long. (For the other
// metrics, out of line, 10^5 × 5 at d = 64 took 1.15–1.2 times as long, though that takes the
// narrow tiles.)
template <Metric metric>
[[gnu::target("avx512f,avx512dq,avx512vl,avx2,fma"), gnu::flatten, gnu::noinline]] void
pairwise_blocks_wide(Matrix X, Matrix Y, Result out, const Plan& plan) {
    pairwise_blocks<metric, IsaAvx512, 0, IsaAvx512::panels>(X, Y, out, plan);
}
#endif

// Rows of up to kShortRows elements take a kernel with the loop over k unrolled, in tiles of one
// panel (see pairwise_any_depth for the calls that take them).
constexpr ITYPE kShortRows = 16;
static_assert(kShortRows <= kDepth, "short rows are one block of columns");

template <Metric metric, class Isa, ITYPE... kDepths>
[[gnu::always_inline]] inline void pairwise_any_depth(Matrix X, Matrix Y, Result out,
                                                      const Plan& plan,
                                                      std::integer_sequence<ITYPE, kDepths...>) {
    // Tiles Isa::panels wide, against at least kWideRows rows of Y; against fewer, tiles of one
    // panel, reading X in place (10^5 rows against 5 of 64 columns took 2.6 times as long in tiles
    // of two panels, most of whose lanes were idle, with X packed for each). Short rows take them
    // too, from kWideRows rows of X on, though their loop over k is not unrolled whole: on an AMD
    // Zen 5 the squared and Manhattan kernels took 0.75–0.94 times as long at 2000 × 2000 for
    // d = 3, 8 and 16, and 0.73–0.97 times at 10^4 × 100, 2·10^4 × 64 and 10^5 × 40 (but
    // Manhattan 1.06–1.16 times at 2·10^4 × 200 for d = 7 and 8); the Euclidean ones, bound by
    // their roots, 0.97–1.03 times. With fewer rows of X each panel of Y is read by few tiles, and
    // packing it column by column cost more than they saved (8 rows against 1000 of three
    // columns took 1.2 times as long; the narrower tiles have those short rows packed by
    // pack_adjacent_rows). Each kind of tile has a copy of the loops of its own.
    if constexpr (requires { Isa::panels; }) {
        if (plan.n >= Isa::rows && plan.m >= kWideRows &&
            (plan.d > kShortRows || plan.n >= kWideRows)) {
#if !defined(__clang__)
            if constexpr (metric == Metric::euclidean) {
                pairwise_blocks_wide<metric>(X, Y, out, plan);
                return;
            }
#endif
            pairwise_blocks<metric, Isa, 0, Isa::panels>(X, Y, out, plan);
            return;
        }
    }
    if (plan.d > kShortRows || plan.d == 0 ||
        !((plan.d == kDepths + 1
               ? (pairwise_blocks<metric, Isa, kDepths + 1>(X, Y, out, plan), true)
               : false) ||
          ...)) {
        pairwise_blocks<metric, Isa, 0>(X, Y, out, plan);
    }
}

template <Metric metric, class Isa>
[[gnu::always_inline]] inline void pairwise_all(Matrix X, Matrix Y, Result out, const Plan& plan) {
    pairwise_any_depth<metric, Isa>(X, Y, out, plan,
                                    std::make_integer_sequence<ITYPE, kShortRows>{});
}

template <Metric metric>
void pairwise_blocks_portable(Matrix X, Matrix Y, Result out, const Plan& plan) {
    pairwise_all<metric, IsaBaseline>(X, Y, out, plan);
}

template <Metric metric>
[[gnu::target("avx2,fma"), gnu::flatten]] void pairwise_blocks_avx2(Matrix X, Matrix Y, Result out,
                                                                    const Plan& plan) {
    pairwise_all<metric, IsaAvx2>(X, Y, out, plan);
}

#if !defined(__clang__)
template <Metric metric>
[[gnu::target("avx512f,avx512dq,avx512vl,avx2,fma"),
  gnu::flatten]] void pairwise_blocks_avx512(Matrix X, Matrix Y, Result out, const Plan& plan) {
    pairwise_all<metric, IsaAvx512>(X, Y, out, plan);
}
#endif

// Fills the n × m result `out`; X is n × d, Y has m rows of at least d elements. Needs
// d ≤ kMaxColumns.
template <Metric metric>
void pairwise_kernel(Matrix X, Matrix Y, Result out, ITYPE n, ITYPE m, ITYPE d) {
    if (n == 0 || m == 0) return;
    // Fewer rows of Y than a panel's lanes (each point against one centroid or a few) leave most
    // lanes idle: the same sums with X and Y exchanged fill them, into the transposed result, as
    // m passes of thin tiles over X packed into panels. That pays where X's rows are packed
    // either way (up to kShortRows columns), except, with AVX-512, for rows of one to three
    // columns against more than three rows of Y; where X's rows would be read in place, only for
    // few and short rows of Y. (On an AMD Zen 5, against 3·10^5 rows of X, exchanged took
    // 0.25–0.97 times as long at 4 to 16 columns, 1.15–1.55 times at 1 to 3 columns against 5 to 7
    // rows of Y (0.85–0.95 times with AVX2), 1.05–1.9 times at 32 or 48 columns against 3 to 7
    // rows, and 0.5–0.8 at 24 and 32 columns against one or two.)
    // Every term is the same double either way (y − x is −(x − y) exactly, and a NaN operand's
    // NaN is the one returned) except where x and y are both NaN, so only for a NaN-free Y.
#if defined(__clang__)
    const bool wide = false;  // (no AVX-512 kernels: see IsaAvx512)
#else
    const bool wide = quillbrax::cpu_has_avx512();
#endif
    const bool exchanged_pays = d <= kShortRows ? d > 3 || m <= 3 || !wide : d <= 32 && m * d <= 72;
    if (m < kPanel && n >= kPanel && exchanged_pays) {
        bool nan_free = true;
        for (ITYPE j = 0; j < m; ++j) {
            for (ITYPE k = 0; k < d; ++k) nan_free &= !std::isnan(static_cast<double>(Y(j, k)));
        }
        if (nan_free) {
            const Result transposed{out.data, {m, n}, {out.strides[1], out.strides[0]}};
            pairwise_kernel<metric>(Y, X, transposed, m, n, d);
            return;
        }
    }
    Plan plan{n, m, d, 0, std::max<ITYPE>(1, (d + kDepth - 1) / kDepth), 0, nullptr, nullptr};
    plan.depth = (d + plan.k_blocks - 1) / plan.k_blocks;  // blocks of nearly equal length
    const ITYPE width = std::max<ITYPE>(plan.depth, 1);
    constexpr ITYPE group = kPanel * kMostRows;  // the rows of the widest tile
    const ITYPE budget = static_cast<ITYPE>(
        (n < 4 * kMostRows ? kFewRowsYBlockBytes : kYBlockBytes) / sizeof(double));
    const ITYPE fit = budget / width / group * group;
    plan.y_rows = std::max(group, std::min(fit, (m + group - 1) / group * group));
    // Bounded by kYBlockBytes and a tile: a few hundred KiB whatever the shapes.
    // (Not zeroed: every panel a tile reads is packed first. Zeroing the block made a call
    // against 10^4 rows of 8 columns take 1.3 times as long.)
    const auto y_block =
        std::make_unique_for_overwrite<double[]>(static_cast<size_t>(plan.y_rows * width));
    const auto x_tile =
        std::make_unique_for_overwrite<double[]>(static_cast<size_t>(kMostRows * width));
    plan.y_block = y_block.get();
    plan.x_tile = x_tile.get();
#if defined(__clang__)
    quillbrax::dispatch<pairwise_blocks_portable<metric>, pairwise_blocks_avx2<metric>>(X, Y, out,
                                                                                        plan);
#else
    quillbrax::dispatch_wide<pairwise_blocks_portable<metric>, pairwise_blocks_avx2<metric>,
                             pairwise_blocks_avx512<metric>>(X, Y, out, plan);
#endif
}

// ---------------------------------------------------------------------------------------------
// Bodies: argument checks are the frame's; what remains is the result and the kernel call.

constexpr const char* kTooFewColumnsMessage =
    "Y has %zd columns but X has %zd: Y needs at least as many columns as X";
constexpr const char* kTooManyColumnsMessage =
    "X has %zd columns: rows longer than %zd elements are not supported";

struct PairwiseParameters {
    static constexpr frame::ArrayParameter X{0, "X", frame::DTYPE_t, 2};
    static constexpr frame::ArrayParameter Y{1, "Y", frame::DTYPE_t, 2};
    static constexpr auto table = frame::parameter_table(X, Y);
};

// Source lines of the statements that can fail (labels of the traceback entries).
struct PairwiseLines {
    int definition;  // argument errors, and Y narrower than X
    int result;      // out = np.empty((n, m), dtype=np.float64)
};

template <Metric metric, PairwiseLines lines>
frame::Ref pairwise_body(frame::Call& call) {
    using frame::numpy_names::empty;
    using frame::numpy_names::float64;
    using P = PairwiseParameters;
    const frame::ArrayBuffer& X = call[P::X];
    const frame::ArrayBuffer& Y = call[P::Y];
    const ITYPE n = X.shape(0);
    const ITYPE d = X.shape(1);
    const ITYPE m = Y.shape(0);
    if (Y.shape(1) < d) {
        frame::raise(PyExc_ValueError, lines.definition, kTooFewColumnsMessage, Y.shape(1), d);
    }
    if (d > kMaxColumns) {
        frame::raise(PyExc_ValueError, lines.definition, kTooManyColumnsMessage, d, kMaxColumns);
    }

    frame::Ref shape = frame::make_shape({n, m}, lines.result);
    frame::Ref out = call.call_numpy_with_dtype(empty, float64, lines.result, {shape.get()});
    const frame::ArrayBuffer& result = call.numpy_buffer(out.get(), empty, frame::DTYPE_t, {n, m},
                                                         frame::Use::written, lines.result);

    pairwise_kernel<metric>(X.as<const double, 2>(), Y.as<const double, 2>(),
                            result.as<double, 2>(), n, m, d);
    return out;
}

// ---------------------------------------------------------------------------------------------
// Module table.

constexpr const char* kEuclideanLocals[] = {"n", "m", "d", "out", "i", "j", "k", "diff", "acc"};
constexpr const char* kManhattanLocals[] = {"n", "m", "d", "out", "i", "j", "k", "acc"};

constexpr PairwiseLines kSquaredEuclideanLines{.definition = 11, .result = 16};
constexpr PairwiseLines kEuclideanLines{.definition = 30, .result = 35};
constexpr PairwiseLines kManhattanLines{.definition = 49, .result = 54};

constexpr frame::FunctionSpec kFunctions[] = {
    {"pairwise_squared_euclidean", PairwiseParameters::table, kEuclideanLocals, nullptr,
     kSquaredEuclideanLines.definition,
     pairwise_body<Metric::squared_euclidean, kSquaredEuclideanLines>},
    {"pairwise_distances", PairwiseParameters::table, kEuclideanLocals, nullptr,
     kEuclideanLines.definition, pairwise_body<Metric::euclidean, kEuclideanLines>},
    {"pairwise_manhattan_distances", PairwiseParameters::table, kManhattanLocals, nullptr,
     kManhattanLines.definition, pairwise_body<Metric::manhattan, kManhattanLines>},
};

constexpr frame::ModuleSpec kModule = {
    "_pairmetric",
    "quillbrax.accel._pairmetric",
    "quillbrax/accel/_pairmetric",
    "Accelerated pairwise distance routines.",
    kFunctions,
    frame::NativeInterfaceImport::during_initialisation,
    0,
};

}  // namespace

PyMODINIT_FUNC PyInit__pairmetric(void) { return quillbrax::frame::module_definition(kModule); }
