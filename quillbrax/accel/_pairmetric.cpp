// quillbrax.accel._pairmetric: dense distance matrices between the rows of two sample matrices.
//
// Every entry is summed over k strictly in order, each term rounded before it is added, from
// explicit differences (no expansion into norms and inner products): squared distances are sums
// of non-negative terms and a row's distance to itself is exactly 0.0.

#include "frame/module.hpp"
#include "cpu_dispatch.hpp"

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <type_traits>
#include <vector>

namespace {

namespace frame = quillbrax::frame;
using frame::ITYPE;

// ---------------------------------------------------------------------------------------------
// Kernels: plain loops over byte-strided matrices.

enum class Metric { squared_euclidean, euclidean, manhattan };

struct StridedMatrix {
    const char* data;
    ITYPE row_stride;  // bytes
    ITYPE column_stride;

    // Elements are read by memcpy: a valid array may sit at any byte offset.
    const char* row(ITYPE i) const { return data + i * row_stride; }
    double at(const char* row, ITYPE k) const {
        double value;
        __builtin_memcpy(&value, row + k * column_stride, sizeof value);
        return value;
    }
};

template <Metric metric>
inline double term(double diff) {
    if constexpr (metric == Metric::manhattan) {
        return std::fabs(diff);
    } else {
        return diff * diff;
    }
}

template <Metric metric>
inline double finish(double acc) {
    if constexpr (metric == Metric::euclidean) {
        return std::pow(acc, 0.5);  // the general power function, as documented
    } else {
        return acc;
    }
}

// The kernel works on tiles of kRows rows of X by kPanel rows of Y. Y is packed once into panels
// of kPanel rows, k-major (panel[k·kPanel + lane] = Y[j0 + lane, k]); X is packed a block of rows
// at a time, row-major, so that both are read at unit stride whatever the caller's strides. Each
// lane of a vector is one (i, j) entry with its own sequential sum over k: the vector operations
// are the scalar ones side by side, so every result is that of the plain triple loop.
//
// A tile holds kRows × kPanel / lanes accumulators in registers; per k it loads the panel's
// vectors once and broadcasts one element of each of the tile's rows of X. The block of X is
// sized for the second-level cache and reused across every panel of Y.
constexpr ITYPE kPanel = 8;
constexpr size_t kBlockBytes = 64 * 1024;

using Vector2 = double __attribute__((vector_size(16)));
using Vector4 = double __attribute__((vector_size(32)));
using Bits2 = unsigned long long __attribute__((vector_size(16)));
using Bits4 = unsigned long long __attribute__((vector_size(32)));

template <class Vector>
[[gnu::always_inline]] inline Vector vector_term_manhattan(Vector diff) {
    using Bits = std::conditional_t<sizeof(Vector) == 16, Bits2, Bits4>;
    constexpr unsigned long long magnitude = ~0ULL >> 1;
    return (Vector)((Bits)diff & magnitude);  // the sign bit cleared, as fabs does
}

template <Metric metric, class Vector>
[[gnu::always_inline]] inline Vector vector_term(Vector diff) {
    if constexpr (metric == Metric::manhattan) {
        return vector_term_manhattan(diff);
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
    __asm__("vaddpd %2, %1, %0" : "=x"(acc) : "x"(acc), "x"(term));
    return acc;
}
#endif

// How one double becomes a vector: a broadcast from memory where AVX has one (a load, no
// shuffle), a duplicated scalar otherwise. The AVX2 entry is flattened, so this inlines there.
struct BroadcastBaseline {
    using Vector = Vector2;
    static constexpr ITYPE rows = 2;
    [[gnu::always_inline]] static inline Vector2 at(const double* value) {
        return Vector2{*value, *value};
    }
};
struct BroadcastAvx2 {
    using Vector = Vector4;
    static constexpr ITYPE rows = 4;
#if defined(__clang__)  // no AVX intrinsic outside AVX code; a splat becomes the broadcast there
    [[gnu::always_inline]] static inline Vector4 at(const double* value) {
        return Vector4{*value, *value, *value, *value};
    }
#else
    [[gnu::target("avx2")]] static inline Vector4 at(const double* value) {
        return (Vector4)_mm256_broadcast_sd(value);
    }
#endif
};

// Y rows [j0, j0 + width) into one panel; lanes past the last row repeat it (their sums are
// computed but never stored).
inline void pack_panel(StridedMatrix Y, ITYPE j0, ITYPE width, ITYPE d, double* panel) {
    for (ITYPE lane = 0; lane < kPanel; ++lane) {
        const char* y = Y.row(j0 + std::min(lane, width - 1));
        for (ITYPE k = 0; k < d; ++k) panel[k * kPanel + lane] = Y.at(y, k);
    }
}

// X rows [i0, i0 + count) row-major into block, then the last row again up to `padded` rows.
inline void pack_rows(StridedMatrix X, ITYPE i0, ITYPE count, ITYPE padded, ITYPE d,
                      double* block) {
    for (ITYPE r = 0; r < padded; ++r) {
        const char* x = X.row(i0 + std::min(r, count - 1));
        for (ITYPE k = 0; k < d; ++k) block[r * d + k] = X.at(x, k);
    }
}

template <Metric metric, class Broadcast>
[[gnu::always_inline]] inline void tile_kernel(const double* x, const double* panel, ITYPE d,
                                               double (*tile)[kPanel]) {
    using Vector = typename Broadcast::Vector;
    constexpr ITYPE rows = Broadcast::rows;
    constexpr ITYPE lanes = sizeof(Vector) / sizeof(double);
    constexpr ITYPE vectors = kPanel / lanes;
    Vector acc[rows][vectors] = {};
    for (ITYPE k = 0; k < d; ++k) {
        Vector y[vectors];
        for (ITYPE v = 0; v < vectors; ++v) {
            __builtin_memcpy(&y[v], panel + k * kPanel + v * lanes, sizeof(Vector));
        }
        for (ITYPE r = 0; r < rows; ++r) {
            const Vector xk = Broadcast::at(x + r * d + k);
            for (ITYPE v = 0; v < vectors; ++v) {
                acc[r][v] = accumulate(acc[r][v], vector_term<metric>(xk - y[v]));
            }
        }
    }
    for (ITYPE r = 0; r < rows; ++r) {
        for (ITYPE v = 0; v < vectors; ++v) {
            for (ITYPE lane = 0; lane < lanes; ++lane) tile[r][v * lanes + lane] = acc[r][v][lane];
        }
    }
}

struct Scratch {
    double* packed_y;  // ceil(m / kPanel) panels of d × kPanel
    double* block;     // block_rows rows of d
    ITYPE block_rows;  // a multiple of every tile height
};

template <Metric metric, class Broadcast>
[[gnu::always_inline]] inline void pairwise_tiles(StridedMatrix X, StridedMatrix Y, char* out,
                                                  ITYPE out_row_stride, ITYPE out_column_stride,
                                                  ITYPE n, ITYPE m, ITYPE d,
                                                  const Scratch& scratch) {
    constexpr ITYPE rows = Broadcast::rows;
    const ITYPE panels = (m + kPanel - 1) / kPanel;
    for (ITYPE p = 0; p < panels; ++p) {
        pack_panel(Y, p * kPanel, std::min(kPanel, m - p * kPanel), d,
                   scratch.packed_y + p * d * kPanel);
    }
    for (ITYPE i0 = 0; i0 < n; i0 += scratch.block_rows) {
        const ITYPE count = std::min(scratch.block_rows, n - i0);
        const ITYPE padded = (count + rows - 1) / rows * rows;
        pack_rows(X, i0, count, padded, d, scratch.block);
        for (ITYPE p = 0; p < panels; ++p) {
            const ITYPE j0 = p * kPanel;
            const ITYPE width = std::min(kPanel, m - j0);
            const double* panel = scratch.packed_y + p * d * kPanel;
            for (ITYPE r0 = 0; r0 < padded; r0 += rows) {
                double tile[rows][kPanel];
                tile_kernel<metric, Broadcast>(scratch.block + r0 * d, panel, d, tile);
                const ITYPE live = std::min(rows, count - r0);
                for (ITYPE r = 0; r < live; ++r) {
                    char* row = out + (i0 + r0 + r) * out_row_stride + j0 * out_column_stride;
                    for (ITYPE lane = 0; lane < width; ++lane) {
                        *reinterpret_cast<double*>(row + lane * out_column_stride) =
                            finish<metric>(tile[r][lane]);
                    }
                }
            }
        }
    }
}

template <Metric metric>
void pairwise_tiles_portable(StridedMatrix X, StridedMatrix Y, char* out, ITYPE rs, ITYPE cs,
                             ITYPE n, ITYPE m, ITYPE d, const Scratch& scratch) {
    pairwise_tiles<metric, BroadcastBaseline>(X, Y, out, rs, cs, n, m, d, scratch);
}

template <Metric metric>
[[gnu::target("avx2"), gnu::flatten]] void pairwise_tiles_avx2(StridedMatrix X, StridedMatrix Y,
                                                               char* out, ITYPE rs, ITYPE cs,
                                                               ITYPE n, ITYPE m, ITYPE d,
                                                               const Scratch& scratch) {
    pairwise_tiles<metric, BroadcastAvx2>(X, Y, out, rs, cs, n, m, d, scratch);
}

template <Metric metric>
void pairwise_kernel(StridedMatrix X, StridedMatrix Y, char* out, ITYPE out_row_stride,
                     ITYPE out_column_stride, ITYPE n, ITYPE m, ITYPE d) {
    if (n == 0 || m == 0) return;
    const ITYPE tile_rows =
        quillbrax::cpu_has_avx2() ? BroadcastAvx2::rows : BroadcastBaseline::rows;
    const ITYPE panels = (m + kPanel - 1) / kPanel;
    // Rows of X per block: what fits kBlockBytes, at least one tile, never more than n needs.
    ITYPE block_rows = static_cast<ITYPE>(kBlockBytes / sizeof(double)) / std::max<ITYPE>(d, 1);
    block_rows = std::min(block_rows, n + tile_rows - 1) / tile_rows * tile_rows;
    block_rows = std::max(block_rows, tile_rows);
    // bad_alloc: MemoryError
    std::vector<double> packed_y(static_cast<size_t>(panels) * kPanel * static_cast<size_t>(d));
    std::vector<double> block(static_cast<size_t>(block_rows) * static_cast<size_t>(d));
    const Scratch scratch{packed_y.data(), block.data(), block_rows};
    quillbrax::dispatch<pairwise_tiles_portable<metric>, pairwise_tiles_avx2<metric>>(
        X, Y, out, out_row_stride, out_column_stride, n, m, d, scratch);
}

// ---------------------------------------------------------------------------------------------
// Bodies: argument checks are the frame's; what remains is the result and the kernel call.

constexpr const char* kTooFewColumnsMessage =
    "Y has %zd columns but X has %zd: Y needs at least as many columns as X";

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

    frame::Ref shape = frame::make_shape({n, m}, lines.result);
    frame::Ref out = call.call_numpy_with_dtype(empty, float64, lines.result, {shape.get()});
    const frame::ArrayBuffer& result = call.numpy_buffer(out.get(), empty, frame::DTYPE_t, {n, m},
                                                         frame::Use::written, lines.result);

    pairwise_kernel<metric>({X.data(), X.stride(0), X.stride(1)},
                            {Y.data(), Y.stride(0), Y.stride(1)}, result.data(), result.stride(0),
                            result.stride(1), n, m, d);
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
