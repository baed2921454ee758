// quillbrax.accel._pairmetric: dense distance matrices between the rows of two sample matrices.
//
// Every entry is summed over k strictly in order, each term rounded before it is added, from
// explicit differences (no expansion into norms and inner products): squared distances are sums
// of non-negative terms and a row's distance to itself is exactly 0.0.

#include "frame/module.hpp"

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

    const double* row(ITYPE i) const {
        return reinterpret_cast<const double*>(data + i * row_stride);
    }
    double at(const double* row, ITYPE k) const {
        return *reinterpret_cast<const double*>(reinterpret_cast<const char*>(row) +
                                                k * column_stride);
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

// out[i, j] = finish(Σ_k term(X[i, k] − Y[j, k])), k in increasing order, for a block of rows of
// X against a panel of kPanel rows of Y packed k-major (panel[k·kPanel + lane] = Y[j + lane, k]).
// Each lane of a vector is one (i, j) entry with its own sequential sum: the vector operations are
// the scalar ones side by side, so every result is that of the plain triple loop.
constexpr ITYPE kPanel = 8;
constexpr ITYPE kRowBlock = 3;

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

template <class Vector>
[[gnu::always_inline]] inline Vector broadcast(double value) {
    Vector vector;
    for (size_t lane = 0; lane < sizeof(Vector) / sizeof(double); ++lane) vector[lane] = value;
    return vector;
}

template <Metric metric, class Vector>
[[gnu::always_inline]] inline void panel_kernel(StridedMatrix X, const double* panel, char* out,
                                                ITYPE out_row_stride, ITYPE out_column_stride,
                                                ITYPE n, ITYPE j0, ITYPE width, ITYPE d) {
    constexpr ITYPE lanes = sizeof(Vector) / sizeof(double);
    constexpr ITYPE vectors = kPanel / lanes;
    auto store = [&](ITYPE i, const Vector* acc) {
        for (ITYPE v = 0; v < vectors; ++v) {
            for (ITYPE lane = 0; lane < lanes; ++lane) {
                const ITYPE j = v * lanes + lane;
                if (j < width) {
                    *reinterpret_cast<double*>(out + i * out_row_stride +
                                               (j0 + j) * out_column_stride) =
                        finish<metric>(acc[v][lane]);
                }
            }
        }
    };
    auto load = [&](ITYPE k, ITYPE v) {
        Vector value;
        __builtin_memcpy(&value, panel + k * kPanel + v * lanes, sizeof(Vector));
        return value;
    };
    ITYPE i = 0;
    for (; i + kRowBlock <= n; i += kRowBlock) {
        const double* x[kRowBlock];
        for (ITYPE r = 0; r < kRowBlock; ++r) x[r] = X.row(i + r);
        Vector acc[kRowBlock][vectors] = {};
        for (ITYPE k = 0; k < d; ++k) {
            Vector y[vectors];
            for (ITYPE v = 0; v < vectors; ++v) y[v] = load(k, v);
            for (ITYPE r = 0; r < kRowBlock; ++r) {
                const Vector xk = broadcast<Vector>(X.at(x[r], k));
                for (ITYPE v = 0; v < vectors; ++v) {
                    acc[r][v] = acc[r][v] + vector_term<metric>(xk - y[v]);
                }
            }
        }
        for (ITYPE r = 0; r < kRowBlock; ++r) store(i + r, acc[r]);
    }
    for (; i < n; ++i) {
        const double* x = X.row(i);
        Vector acc[vectors] = {};
        for (ITYPE k = 0; k < d; ++k) {
            const Vector xk = broadcast<Vector>(X.at(x, k));
            for (ITYPE v = 0; v < vectors; ++v) {
                acc[v] = acc[v] + vector_term<metric>(xk - load(k, v));
            }
        }
        store(i, acc);
    }
}

template <Metric metric>
void panel_kernel_baseline(StridedMatrix X, const double* panel, char* out, ITYPE rs, ITYPE cs,
                           ITYPE n, ITYPE j0, ITYPE width, ITYPE d) {
    panel_kernel<metric, Vector2>(X, panel, out, rs, cs, n, j0, width, d);
}

template <Metric metric>
[[gnu::target("avx2")]] void panel_kernel_avx2(StridedMatrix X, const double* panel, char* out,
                                               ITYPE rs, ITYPE cs, ITYPE n, ITYPE j0, ITYPE width,
                                               ITYPE d) {
    panel_kernel<metric, Vector4>(X, panel, out, rs, cs, n, j0, width, d);
}

bool cpu_has_avx2() {
#ifdef QUILLBRAX_BASELINE_ONLY  // lets a test build exercise the portable kernels
    return false;
#else
    static const bool has_avx2 = __builtin_cpu_supports("avx2");
    return has_avx2;
#endif
}

template <Metric metric>
void pairwise_kernel(StridedMatrix X, StridedMatrix Y, char* out, ITYPE out_row_stride,
                     ITYPE out_column_stride, ITYPE n, ITYPE m, ITYPE d) {
    if (n == 0 || m == 0) return;
    const auto kernel = cpu_has_avx2() ? panel_kernel_avx2<metric> : panel_kernel_baseline<metric>;
    std::vector<double> panel(static_cast<size_t>(d) * kPanel);  // bad_alloc: MemoryError
    for (ITYPE j0 = 0; j0 < m; j0 += kPanel) {
        const ITYPE width = std::min(kPanel, m - j0);
        for (ITYPE lane = 0; lane < kPanel; ++lane) {
            // Lanes past the last row of Y repeat it; their sums are computed but never stored.
            const double* y = Y.row(j0 + std::min(lane, width - 1));
            for (ITYPE k = 0; k < d; ++k) panel[k * kPanel + lane] = Y.at(y, k);
        }
        kernel(X, panel.data(), out, out_row_stride, out_column_stride, n, j0, width, d);
    }
}

// ---------------------------------------------------------------------------------------------
// Bodies: argument checks are the frame's; what remains is the result and the kernel call.

constexpr const char* kTooFewColumnsMessage =
    "Y has %zd columns but X has %zd: Y needs at least as many columns as X";
constexpr const char* kResultShapeMessage =
    "np.empty gave an array that is not of shape (%zd, %zd)";

frame::InternedName name_empty{"empty"};
frame::InternedName name_float64{"float64"};
frame::InternedName name_dtype{"dtype"};

template <Metric metric, int allocation_line>
frame::Ref pairwise_body(frame::Call& call) {
    const frame::ArrayBuffer& X = call.array(0);
    const frame::ArrayBuffer& Y = call.array(1);
    const ITYPE n = X.shape(0);
    const ITYPE d = X.shape(1);
    const ITYPE m = Y.shape(0);
    if (Y.shape(1) < d) {
        frame::raise(PyExc_ValueError, call.definition_line(), kTooFewColumnsMessage, Y.shape(1),
                     d);
    }

    frame::Ref shape = frame::checked(Py_BuildValue("(nn)", n, m), allocation_line);
    frame::Ref float64 = call.numpy_attribute(name_float64, allocation_line);
    frame::Ref out = call.call_numpy(name_empty, allocation_line, {shape.get()},
                                     {{&name_dtype, float64.get()}});
    const frame::ArrayBuffer& result = call.acquire_array_variable(
        out.get(), frame::DTYPE_t, 2, frame::Access::write, allocation_line);
    if (result.is_none() || result.shape(0) != n || result.shape(1) != m) {
        frame::raise(PyExc_ValueError, allocation_line, kResultShapeMessage, n, m);
    }

    pairwise_kernel<metric>({X.data(), X.stride(0), X.stride(1)},
                            {Y.data(), Y.stride(0), Y.stride(1)}, result.data(), result.stride(0),
                            result.stride(1), n, m, d);
    return out;
}

// ---------------------------------------------------------------------------------------------
// Module table.

constexpr frame::Parameter kPairwiseParameters[] = {
    frame::array_parameter("X", frame::DTYPE_t, 2),
    frame::array_parameter("Y", frame::DTYPE_t, 2),
};
constexpr const char* kEuclideanLocals[] = {"n", "m", "d", "out", "i", "j", "k", "diff", "acc"};
constexpr const char* kManhattanLocals[] = {"n", "m", "d", "out", "i", "j", "k", "acc"};

constexpr frame::FunctionSpec kFunctions[] = {
    {"pairwise_squared_euclidean", kPairwiseParameters, kEuclideanLocals, nullptr, 11,
     pairwise_body<Metric::squared_euclidean, 16>},
    {"pairwise_distances", kPairwiseParameters, kEuclideanLocals, nullptr, 30,
     pairwise_body<Metric::euclidean, 35>},
    {"pairwise_manhattan_distances", kPairwiseParameters, kManhattanLocals, nullptr, 49,
     pairwise_body<Metric::manhattan, 54>},
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
