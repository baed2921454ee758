// quillbrax.accel._pairmetric: dense distance matrices between the rows of two sample matrices.
//
// Every entry is summed over k strictly in order, each term rounded before it is added, from
// explicit differences (no expansion into norms and inner products): squared distances are sums
// of non-negative terms and a row's distance to itself is exactly 0.0.

#include "frame/module.hpp"

#include <cmath>

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

// out[i, j] = finish(Σ_k term(X[i, k] − Y[j, k])), k in increasing order. Four columns j are
// accumulated side by side: each keeps its own sequential sum, so the results are those of the
// plain triple loop, with four independent dependency chains in flight.
template <Metric metric>
void pairwise_kernel(StridedMatrix X, StridedMatrix Y, char* out, ITYPE out_row_stride,
                     ITYPE out_column_stride, ITYPE n, ITYPE m, ITYPE d) {
    auto store = [&](ITYPE i, ITYPE j, double value) {
        *reinterpret_cast<double*>(out + i * out_row_stride + j * out_column_stride) = value;
    };
    for (ITYPE i = 0; i < n; ++i) {
        const double* x = X.row(i);
        ITYPE j = 0;
        for (; j + 4 <= m; j += 4) {
            const double* y0 = Y.row(j);
            const double* y1 = Y.row(j + 1);
            const double* y2 = Y.row(j + 2);
            const double* y3 = Y.row(j + 3);
            double acc0 = 0.0, acc1 = 0.0, acc2 = 0.0, acc3 = 0.0;
            for (ITYPE k = 0; k < d; ++k) {
                const double xk = X.at(x, k);
                acc0 = acc0 + term<metric>(xk - Y.at(y0, k));
                acc1 = acc1 + term<metric>(xk - Y.at(y1, k));
                acc2 = acc2 + term<metric>(xk - Y.at(y2, k));
                acc3 = acc3 + term<metric>(xk - Y.at(y3, k));
            }
            store(i, j, finish<metric>(acc0));
            store(i, j + 1, finish<metric>(acc1));
            store(i, j + 2, finish<metric>(acc2));
            store(i, j + 3, finish<metric>(acc3));
        }
        for (; j < m; ++j) {
            const double* y = Y.row(j);
            double acc = 0.0;
            for (ITYPE k = 0; k < d; ++k) acc = acc + term<metric>(X.at(x, k) - Y.at(y, k));
            store(i, j, finish<metric>(acc));
        }
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
