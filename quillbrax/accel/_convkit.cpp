// quillbrax.accel._convkit: the array kernels of convolutional networks on channels-last image
// batches (N, H, W, C): patch extraction into a column matrix (im2col) and its adjoint scatter-add
// (col2im), and max pooling forward with an arg-max record and backward.
//
// The kernels trust the extents they are handed. The bodies refuse every geometry the kernels
// cannot take before any array is created, and check the shape of every array that NumPy hands
// back, so that no kernel reads or writes outside an array whatever `np` returns.

#include "cpu_dispatch.hpp"
#include "frame/module.hpp"

#include <emmintrin.h>

#include <cstring>
#include <optional>
#include <utility>

namespace {

namespace frame = quillbrax::frame;
using frame::DTYPE;
using frame::ITYPE;
template <class T, int N>
using Strided = frame::Strided<T, N>;

constexpr ITYPE kItemSize = sizeof(DTYPE);

// ---------------------------------------------------------------------------------------------
// Kernels: plain loops over byte-strided arrays.

// Window geometry over the padded image: kernel kh × kw moved by `stride`; padded pixel (h, w) is
// element (h, w) of the working input (which already carries the padding when pad > 0, and is
// the unpadded input when pad ≤ 0).
struct Window {
    ITYPE N, C;
    ITYPE kh, kw, stride;
    ITYPE OH, OW;

    bool empty() const { return N <= 0 || OH <= 0 || OW <= 0 || kh <= 0 || kw <= 0 || C <= 0; }
};

// Row (n·OH + oh)·OW + ow, column (i·kw + j)·C + c of `columns` is working-input element
// (n, oh·stride + i, ow·stride + j, c); every entry is written once, rows front to back.
void im2col_kernel(Strided<const DTYPE, 4> input, Strided<DTYPE, 2> columns, const Window& g) {
    if (g.empty()) return;
    // A kernel row (j = 0 … kw − 1, every c) is one run of kw·C doubles in a row-major input
    // and in a unit-stride row of the column matrix: one copy per kernel row.
    const bool kernel_rows_are_runs = input.strides[3] == kItemSize &&
                                      input.strides[2] == g.C * kItemSize &&
                                      columns.strides[1] == kItemSize;
    const ITYPE run = g.kw * g.C;
    ITYPE row = 0;
    for (ITYPE n = 0; n < g.N; ++n) {
        for (ITYPE oh = 0; oh < g.OH; ++oh) {
            for (ITYPE ow = 0; ow < g.OW; ++ow, ++row) {
                for (ITYPE i = 0; i < g.kh; ++i) {
                    const ITYPE h = oh * g.stride + i;
                    if (kernel_rows_are_runs) {
                        std::memcpy(&columns(row, i * run), &input(n, h, ow * g.stride, 0),
                                    static_cast<size_t>(run * kItemSize));
                        continue;
                    }
                    for (ITYPE j = 0; j < g.kw; ++j) {
                        const ITYPE w = ow * g.stride + j;
                        for (ITYPE c = 0; c < g.C; ++c) {
                            columns(row, (i * g.kw + j) * g.C + c) = input(n, h, w, c);
                        }
                    }
                }
            }
        }
    }
}

// *target = *target + value, with *target as the first operand of the instruction, as the
// statement reads: where both are NaN, x86 returns the first operand's NaN. The compiler takes
// the addition as commutative and may swap them (its vectorised loop did, so which NaN a sum
// held depended on the arrays' layout). `target` may lie at any address: the element is copied
// in and out as bytes.
inline void add_onto(void* target, DTYPE value) {
    DTYPE sum;
    std::memcpy(&sum, target, sizeof sum);
    __asm__("addsd %1, %0" : "+x"(sum) : "x"(value));
    std::memcpy(target, &sum, sizeof sum);
}

// The same for `count` consecutive elements, two at a time by unaligned loads and stores.
inline void add_run(void* target, const void* source, ITYPE count) {
    auto* to = static_cast<char*>(target);
    const auto* from = static_cast<const char*>(source);
    ITYPE t = 0;
    for (; t + 2 <= count; t += 2) {
        __m128d sum = _mm_loadu_pd(reinterpret_cast<const double*>(to + t * kItemSize));
        __asm__("addpd %1, %0"
                : "+x"(sum)
                : "x"(_mm_loadu_pd(reinterpret_cast<const double*>(from + t * kItemSize))));
        _mm_storeu_pd(reinterpret_cast<double*>(to + t * kItemSize), sum);
    }
    if (t < count) {
        DTYPE value;
        std::memcpy(&value, from + t * kItemSize, sizeof value);
        add_onto(to + t * kItemSize, value);
    }
}

// The adjoint: entry (row, col) is added onto accumulator element (n, oh·stride + i,
// ow·stride + j, c), in increasing row and within a row increasing col, which fixes the rounding
// where windows overlap.
void col2im_kernel(Strided<const DTYPE, 2> columns, Strided<DTYPE, 4> accumulator,
                   const Window& g) {
    if (g.empty()) return;
    // As in im2col, a kernel row is one run of kw·C doubles on both sides; its elements are
    // distinct accumulator elements, so adding the run element-wise (vectorised) keeps every
    // element's sum in row order.
    const bool kernel_rows_are_runs = accumulator.strides[3] == kItemSize &&
                                      accumulator.strides[2] == g.C * kItemSize &&
                                      columns.strides[1] == kItemSize;
    if (kernel_rows_are_runs) {
        const ITYPE run = g.kw * g.C;
        ITYPE row = 0;
        for (ITYPE n = 0; n < g.N; ++n) {
            for (ITYPE oh = 0; oh < g.OH; ++oh) {
                for (ITYPE ow = 0; ow < g.OW; ++ow, ++row) {
                    for (ITYPE i = 0; i < g.kh; ++i) {
                        decltype(accumulator)::Element* target =
                            &accumulator(n, oh * g.stride + i, ow * g.stride, 0);
                        decltype(columns)::Element* source = &columns(row, i * run);
                        add_run(target, source, run);
                    }
                }
            }
        }
        return;
    }
    ITYPE row = 0;
    for (ITYPE n = 0; n < g.N; ++n) {
        for (ITYPE oh = 0; oh < g.OH; ++oh) {
            for (ITYPE ow = 0; ow < g.OW; ++ow, ++row) {
                ITYPE col = 0;
                for (ITYPE i = 0; i < g.kh; ++i) {
                    const ITYPE h = oh * g.stride + i;
                    for (ITYPE j = 0; j < g.kw; ++j) {
                        const ITYPE w = ow * g.stride + j;
                        for (ITYPE c = 0; c < g.C; ++c, ++col) {
                            add_onto(&accumulator(n, h, w, c), columns(row, col));
                        }
                    }
                }
            }
        }
    }
}

// Pooling geometry: the window geometry with kh = kw = k and no padding.
struct Pooling {
    ITYPE N, C;
    ITYPE k, stride;
    ITYPE OH, OW;

    bool empty() const { return N <= 0 || OH <= 0 || OW <= 0 || C <= 0; }
};

using Values = DTYPE __attribute__((vector_size(32)));
using Indices = ITYPE __attribute__((vector_size(32)));
constexpr ITYPE kLanes = sizeof(Values) / sizeof(DTYPE);

// The window maximum of kLanes adjacent channels at once, for inputs and outputs whose channels
// are at unit stride. Each lane makes the scalar loop's strict comparisons in the same order
// (a NaN compares false in a vector as in a scalar), so values and indices are the same.
[[gnu::always_inline]] inline void maxpool_forward_channels(Strided<const DTYPE, 4> input,
                                                            Strided<DTYPE, 4> out,
                                                            Strided<ITYPE, 4> argmax,
                                                            const Pooling& g) {
    const ITYPE vector_channels = g.C / kLanes * kLanes;
    for (ITYPE n = 0; n < g.N; ++n) {
        for (ITYPE oh = 0; oh < g.OH; ++oh) {
            const ITYPE base_h = oh * g.stride;
            for (ITYPE ow = 0; ow < g.OW; ++ow) {
                const ITYPE base_w = ow * g.stride;
                const char* corner = reinterpret_cast<const char*>(&input(n, base_h, base_w, 0));
                decltype(out)::Element* out_pixel = &out(n, oh, ow, 0);
                decltype(argmax)::Element* argmax_pixel = &argmax(n, oh, ow, 0);
                for (ITYPE c = 0; c < vector_channels; c += kLanes) {
                    Values best_val;
                    __builtin_memcpy(&best_val, corner + c * kItemSize, sizeof(Values));
                    Indices best_idx = {};
                    Indices idx = {};
                    for (ITYPE i = 0; i < g.k; ++i) {
                        const char* line = corner + i * input.strides[1] + c * kItemSize;
                        for (ITYPE j = 0; j < g.k; ++j, idx += 1) {
                            Values val;
                            __builtin_memcpy(&val, line + j * input.strides[2], sizeof(Values));
                            const Indices greater = val > best_val;
                            best_val = greater ? val : best_val;
                            best_idx = greater ? idx : best_idx;
                        }
                    }
                    __builtin_memcpy(out_pixel + c, &best_val, sizeof(Values));
                    __builtin_memcpy(argmax_pixel + c, &best_idx, sizeof(Indices));
                }
                for (ITYPE c = vector_channels; c < g.C; ++c) {
                    DTYPE best_val = input(n, base_h, base_w, c);
                    ITYPE best_idx = 0;
                    ITYPE idx = 0;
                    for (ITYPE i = 0; i < g.k; ++i) {
                        for (ITYPE j = 0; j < g.k; ++j, ++idx) {
                            const DTYPE val = input(n, base_h + i, base_w + j, c);
                            if (val > best_val) {
                                best_val = val;
                                best_idx = idx;
                            }
                        }
                    }
                    out_pixel[c] = best_val;
                    argmax_pixel[c] = best_idx;
                }
            }
        }
    }
}

void maxpool_forward_channels_portable(Strided<const DTYPE, 4> input, Strided<DTYPE, 4> out,
                                       Strided<ITYPE, 4> argmax, const Pooling& g) {
    maxpool_forward_channels(input, out, argmax, g);
}

[[gnu::target("avx2")]] void maxpool_forward_channels_avx2(Strided<const DTYPE, 4> input,
                                                           Strided<DTYPE, 4> out,
                                                           Strided<ITYPE, 4> argmax,
                                                           const Pooling& g) {
    maxpool_forward_channels(input, out, argmax, g);
}

// Strict comparison: the first maximum in row-by-row window order wins, and a NaN is only ever
// the result when it is the window's first element.
void maxpool_forward_kernel(Strided<const DTYPE, 4> input, Strided<DTYPE, 4> out,
                            Strided<ITYPE, 4> argmax, const Pooling& g) {
    if (g.empty()) return;
    if (input.strides[3] == kItemSize && out.strides[3] == kItemSize &&
        argmax.strides[3] == static_cast<ITYPE>(sizeof(ITYPE))) {
        quillbrax::dispatch<maxpool_forward_channels_portable, maxpool_forward_channels_avx2>(
            input, out, argmax, g);
        return;
    }
    for (ITYPE n = 0; n < g.N; ++n) {
        for (ITYPE oh = 0; oh < g.OH; ++oh) {
            const ITYPE base_h = oh * g.stride;
            for (ITYPE ow = 0; ow < g.OW; ++ow) {
                const ITYPE base_w = ow * g.stride;
                for (ITYPE c = 0; c < g.C; ++c) {
                    DTYPE best_val = input(n, base_h, base_w, c);
                    ITYPE best_idx = 0;
                    ITYPE idx = 0;
                    for (ITYPE i = 0; i < g.k; ++i) {
                        for (ITYPE j = 0; j < g.k; ++j, ++idx) {
                            const DTYPE val = input(n, base_h + i, base_w + j, c);
                            if (val > best_val) {
                                best_val = val;
                                best_idx = idx;
                            }
                        }
                    }
                    out(n, oh, ow, c) = best_val;
                    argmax(n, oh, ow, c) = best_idx;
                }
            }
        }
    }
}

struct WindowIndexOutOfRange {
    ITYPE n, oh, ow, c, idx;
};

// Routes grad(n, oh, ow, c) to the input element that won window (oh, ow), summing in visiting
// order where windows overlap. Stops at the first record entry that is no window index.
std::optional<WindowIndexOutOfRange> maxpool_backward_kernel(Strided<const DTYPE, 4> grad,
                                                             Strided<const ITYPE, 4> argmax,
                                                             Strided<DTYPE, 4> dX,
                                                             const Pooling& g) {
    if (g.empty()) return std::nullopt;
    const ITYPE window_size = g.k * g.k;
    // Small windows: the byte offset of every window index from the window's corner, so that
    // the inner loop needs no division.
    constexpr ITYPE kMaxTabulated = 64;
    if (window_size <= kMaxTabulated && grad.strides[3] == kItemSize &&
        argmax.strides[3] == static_cast<ITYPE>(sizeof(ITYPE)) && dX.strides[3] == kItemSize) {
        ITYPE offsets[kMaxTabulated];
        for (ITYPE idx = 0; idx < window_size; ++idx) {
            offsets[idx] = idx / g.k * dX.strides[1] + idx % g.k * dX.strides[2];
        }
        for (ITYPE n = 0; n < g.N; ++n) {
            for (ITYPE oh = 0; oh < g.OH; ++oh) {
                for (ITYPE ow = 0; ow < g.OW; ++ow) {
                    decltype(grad)::Element* grad_pixel = &grad(n, oh, ow, 0);
                    decltype(argmax)::Element* argmax_pixel = &argmax(n, oh, ow, 0);
                    char* corner = reinterpret_cast<char*>(&dX(n, oh * g.stride, ow * g.stride, 0));
                    for (ITYPE c = 0; c < g.C; ++c) {
                        const ITYPE idx = argmax_pixel[c];
                        if (idx < 0 || idx >= window_size) {
                            return WindowIndexOutOfRange{n, oh, ow, c, idx};
                        }
                        add_onto(corner + offsets[idx] + c * kItemSize, grad_pixel[c]);
                    }
                }
            }
        }
        return std::nullopt;
    }
    for (ITYPE n = 0; n < g.N; ++n) {
        for (ITYPE oh = 0; oh < g.OH; ++oh) {
            for (ITYPE ow = 0; ow < g.OW; ++ow) {
                for (ITYPE c = 0; c < g.C; ++c) {
                    const ITYPE idx = argmax(n, oh, ow, c);
                    if (idx < 0 || idx >= window_size) {
                        return WindowIndexOutOfRange{n, oh, ow, c, idx};
                    }
                    const ITYPE bi = idx / g.k;
                    const ITYPE bj = idx % g.k;
                    add_onto(&dX(n, oh * g.stride + bi, ow * g.stride + bj, c), grad(n, oh, ow, c));
                }
            }
        }
    }
    return std::nullopt;
}

// ---------------------------------------------------------------------------------------------
// Bodies: refuse what the kernels cannot take, create the arrays through `np`, check what NumPy
// gave back against the geometry, run the kernel.

constexpr const char* kNegativeKernelMessage = "kernel size must not be negative (kh=%d, kw=%d)";
constexpr const char* kStrideMessage = "stride must be at least 1 (stride=%d)";
constexpr const char* kImageTooLargeMessage = "padded image size overflows (H=%zd, W=%zd, pad=%d)";
constexpr const char* kWindowFitMessage =
    "a %d x %d window does not fit the padded image of %zd x %zd (H=%zd, W=%zd, pad=%d)";
constexpr const char* kColumnsTooLargeMessage =
    "column matrix too large (N=%zd, OH=%zd, OW=%zd, kh=%d, kw=%d, C=%zd)";
constexpr const char* kColumnsShapeMessage =
    "cols has shape (%zd, %zd), expected (N*OH*OW, kh*kw*C) with N=%zd, OH=%zd, OW=%zd, kh=%d, "
    "kw=%d, C=%zd";
constexpr const char* kPoolWindowMessage =
    "pooling window must satisfy 1 <= k <= H and k <= W (k=%d, H=%zd, W=%zd)";
constexpr const char* kPoolShapeMessage =
    "%s has shape (%zd, %zd, %zd, %zd), expected (N, OH, OW, C) = (%zd, %zd, %zd, %zd) for shape "
    "(%zd, %zd, %zd, %zd), k=%d, stride=%d";
constexpr const char* kWindowIndexMessage =
    "argmax[%zd, %zd, %zd, %zd] = %zd is not a window index of a %d x %d window (0 to %zd)";

using frame::numpy_names::ascontiguousarray;
using frame::numpy_names::constant;
using frame::numpy_names::empty;
using frame::numpy_names::float64;
using frame::numpy_names::intp;
using frame::numpy_names::mode;
using frame::numpy_names::zeros;
const frame::InternedName& numpy_pad = frame::numpy_names::pad;

struct PatchGeometry {
    Window window;
    ITYPE padded_h, padded_w;
};

// kh, kw ≥ 0, stride ≥ 1 and the window inside the padded image, so that the quotient is a
// floor and every window lies inside the working input (OH, OW ≥ 1).
PatchGeometry patch_geometry(ITYPE N, ITYPE H, ITYPE W, ITYPE C, long kh, long kw, long stride,
                             long pad, int line) {
    if (kh < 0 || kw < 0) {
        frame::raise(PyExc_ValueError, line, kNegativeKernelMessage, static_cast<int>(kh),
                     static_cast<int>(kw));
    }
    if (stride < 1) frame::raise(PyExc_ValueError, line, kStrideMessage, static_cast<int>(stride));
    ITYPE padded_h = 0;
    ITYPE padded_w = 0;
    if (__builtin_add_overflow(H, 2 * pad, &padded_h) ||
        __builtin_add_overflow(W, 2 * pad, &padded_w)) {
        frame::raise(PyExc_ValueError, line, kImageTooLargeMessage, H, W, static_cast<int>(pad));
    }
    if (kh > padded_h || kw > padded_w) {
        frame::raise(PyExc_ValueError, line, kWindowFitMessage, static_cast<int>(kh),
                     static_cast<int>(kw), padded_h, padded_w, H, W, static_cast<int>(pad));
    }
    const Window window{
        N, C, kh, kw, stride, (padded_h - kh) / stride + 1, (padded_w - kw) / stride + 1};
    return {window, padded_h, padded_w};
}

// N·OH·OW and kh·kw·C; false when either overflows.
bool column_extents(const Window& g, ITYPE* rows, ITYPE* columns) {
    ITYPE images_rows = 0;
    ITYPE kernel = 0;
    return !__builtin_mul_overflow(g.N, g.OH, &images_rows) &&
           !__builtin_mul_overflow(images_rows, g.OW, rows) &&
           !__builtin_mul_overflow(g.kh, g.kw, &kernel) &&
           !__builtin_mul_overflow(kernel, g.C, columns);
}

// 1 ≤ k ≤ H, k ≤ W and stride ≥ 1, so that every window lies inside the input.
Pooling pooling_geometry(ITYPE N, ITYPE H, ITYPE W, ITYPE C, long k, long stride, int line) {
    if (k < 1 || k > H || k > W) {
        frame::raise(PyExc_ValueError, line, kPoolWindowMessage, static_cast<int>(k), H, W);
    }
    if (stride < 1) frame::raise(PyExc_ValueError, line, kStrideMessage, static_cast<int>(stride));
    return {N, C, k, stride, (H - k) / stride + 1, (W - k) / stride + 1};
}

// Source lines of the statements that can fail, by function (labels of the traceback entries).
struct Im2colLines {
    int definition, geometry, contiguous, padded, working, columns, columns_view, result;
};
struct Col2imLines {
    int definition, shape, geometry, columns_view, accumulator, accumulator_view, crop;
};
struct MaxpoolForwardLines {
    int definition, geometry, out, argmax, contiguous, working, out_view, argmax_view, result;
};
struct MaxpoolBackwardLines {
    int definition, shape, geometry, grad_shape, argmax_shape, dX, grad_contiguous,
        argmax_contiguous, dX_view, grad_view, argmax_view, scatter;
};

struct Im2colParameters {
    static constexpr frame::ArrayParameter X{0, "X", frame::DTYPE_t, 4};
    static constexpr frame::IntParameter kh{1, "kh"};
    static constexpr frame::IntParameter kw{2, "kw"};
    static constexpr frame::IntParameter stride{3, "stride", 1};
    static constexpr frame::IntParameter pad{4, "pad", 0};
    static constexpr auto table = frame::parameter_table(X, kh, kw, stride, pad);
};
struct Col2imParameters {
    static constexpr frame::ArrayParameter cols{0, "cols", frame::DTYPE_t, 2};
    static constexpr frame::ObjectParameter shape{1, "shape"};
    static constexpr frame::IntParameter kh{2, "kh"};
    static constexpr frame::IntParameter kw{3, "kw"};
    static constexpr frame::IntParameter stride{4, "stride", 1};
    static constexpr frame::IntParameter pad{5, "pad", 0};
    static constexpr auto table = frame::parameter_table(cols, shape, kh, kw, stride, pad);
};
struct MaxpoolForwardParameters {
    static constexpr frame::ArrayParameter X{0, "X", frame::DTYPE_t, 4};
    static constexpr frame::IntParameter k{1, "k"};
    static constexpr frame::IntParameter stride{2, "stride"};
    static constexpr auto table = frame::parameter_table(X, k, stride);
};
struct MaxpoolBackwardParameters {
    static constexpr frame::ArrayParameter grad{0, "grad", frame::DTYPE_t, 4};
    static constexpr frame::ArrayParameter argmax{1, "argmax", frame::ITYPE_t, 4};
    static constexpr frame::ObjectParameter shape{2, "shape"};
    static constexpr frame::IntParameter k{3, "k"};
    static constexpr frame::IntParameter stride{4, "stride"};
    static constexpr auto table = frame::parameter_table(grad, argmax, shape, k, stride);
};

// The four extents of an image batch, read from a Python object, item a at line first_line + a.
struct Extents {
    ITYPE N, H, W, C;
};
Extents read_extents(frame::Call& call, PyObject* shape, int first_line) {
    ITYPE extents[4];
    for (int a = 0; a < 4; ++a) extents[a] = call.read_int64(shape, a, first_line + a);
    return {extents[0], extents[1], extents[2], extents[3]};
}

template <Im2colLines lines>
frame::Ref im2col_body(frame::Call& call) {
    using P = Im2colParameters;
    const frame::ArrayBuffer& X = call[P::X];
    const long pad = call[P::pad];
    const ITYPE N = X.shape(0), H = X.shape(1), W = X.shape(2), C = X.shape(3);
    const PatchGeometry geometry =
        patch_geometry(N, H, W, C, call[P::kh], call[P::kw], call[P::stride], pad, lines.geometry);
    const Window& g = geometry.window;
    ITYPE rows = 0;
    ITYPE columns = 0;
    if (!column_extents(g, &rows, &columns)) {
        frame::raise(PyExc_ValueError, lines.geometry, kColumnsTooLargeMessage, N, g.OH, g.OW,
                     static_cast<int>(g.kh), static_cast<int>(g.kw), C);
    }

    frame::Ref working = call.call_numpy_with_dtype(ascontiguousarray, float64, lines.contiguous,
                                                    {call.object(P::X)});
    const frame::InternedName* working_from = &ascontiguousarray;
    ITYPE working_h = H;
    ITYPE working_w = W;
    if (pad > 0) {
        // ((0, 0), (pad, pad), (pad, pad), (0, 0))
        frame::Ref zero = frame::make_int(0, lines.padded);
        frame::Ref width = frame::make_int(pad, lines.padded);
        frame::Ref none = frame::make_tuple({zero.get(), zero.get()}, lines.padded);
        frame::Ref both = frame::make_tuple({width.get(), width.get()}, lines.padded);
        frame::Ref widths =
            frame::make_tuple({none.get(), both.get(), both.get(), none.get()}, lines.padded);
        working = call.call_numpy(numpy_pad, lines.padded, {working.get(), widths.get()},
                                  {{&mode, constant.get()}});
        working_from = &numpy_pad;
        working_h = geometry.padded_h;
        working_w = geometry.padded_w;
    }
    const frame::TypedView& input =
        call.numpy_view(working.get(), *working_from, frame::DTYPE_t, {N, working_h, working_w, C},
                        frame::Use::read, lines.working);

    frame::Ref shape = frame::make_shape({rows, columns}, lines.columns);
    frame::Ref result = call.call_numpy_with_dtype(empty, float64, lines.columns, {shape.get()});
    const frame::TypedView& column_view =
        call.numpy_view(result.get(), empty, frame::DTYPE_t, {rows, columns}, frame::Use::written,
                        lines.columns_view);

    im2col_kernel(input.as<const DTYPE, 4>(), column_view.as<DTYPE, 2>(), g);

    frame::Ref OH = frame::make_int(g.OH, lines.result);
    frame::Ref OW = frame::make_int(g.OW, lines.result);
    return frame::make_tuple({result.get(), OH.get(), OW.get()}, lines.result);
}

template <Col2imLines lines>
frame::Ref col2im_body(frame::Call& call) {
    using P = Col2imParameters;
    const frame::ArrayBuffer& cols = call[P::cols];
    const long pad = call[P::pad];
    const Extents extents = read_extents(call, call[P::shape], lines.shape);
    const ITYPE N = extents.N, H = extents.H, W = extents.W, C = extents.C;
    const PatchGeometry geometry =
        patch_geometry(N, H, W, C, call[P::kh], call[P::kw], call[P::stride], pad, lines.geometry);
    const Window& g = geometry.window;
    ITYPE rows = 0;
    ITYPE columns = 0;
    const bool addressable = column_extents(g, &rows, &columns);
    const auto refuse_columns = [&](const frame::StridedBuffer& given, int line) {
        frame::raise(PyExc_ValueError, line, kColumnsShapeMessage, given.shape(0), given.shape(1),
                     N, g.OH, g.OW, static_cast<int>(g.kh), static_cast<int>(g.kw), C);
    };
    if (!addressable || cols.shape(0) != rows || cols.shape(1) != columns) {
        refuse_columns(cols, lines.geometry);
    }
    // Read through a writable view of the caller's array, which is never written. Python code
    // ran since the argument was acquired (the shape's items), and the view is a second
    // acquisition: its own extents are checked.
    const frame::TypedView& column_view = call.argument_view(P::cols, lines.columns_view);
    if (column_view.shape(0) != rows || column_view.shape(1) != columns) {
        refuse_columns(column_view, lines.columns_view);
    }

    frame::Ref shape =
        frame::make_shape({N, geometry.padded_h, geometry.padded_w, C}, lines.accumulator);
    frame::Ref dX_pad =
        call.call_numpy_with_dtype(zeros, float64, lines.accumulator, {shape.get()});
    const frame::TypedView& accumulator = call.numpy_view(
        dX_pad.get(), zeros, frame::DTYPE_t, {N, geometry.padded_h, geometry.padded_w, C},
        frame::Use::written, lines.accumulator_view);

    col2im_kernel(column_view.as<const DTYPE, 2>(), accumulator.as<DTYPE, 4>(), g);

    if (pad <= 0) return dX_pad;
    // dX_pad[:, pad:-pad, pad:-pad, :], a view whose base is the accumulator.
    frame::Ref all = frame::make_slice(nullptr, nullptr, lines.crop);
    frame::Ref start = frame::make_int(pad, lines.crop);
    frame::Ref stop = frame::make_int(-pad, lines.crop);
    frame::Ref interior = frame::make_slice(start.get(), stop.get(), lines.crop);
    frame::Ref index =
        frame::make_tuple({all.get(), interior.get(), interior.get(), all.get()}, lines.crop);
    return frame::checked(PyObject_GetItem(dX_pad.get(), index.get()), lines.crop);
}

template <MaxpoolForwardLines lines>
frame::Ref maxpool_forward_body(frame::Call& call) {
    using P = MaxpoolForwardParameters;
    const frame::ArrayBuffer& X = call[P::X];
    const ITYPE N = X.shape(0), H = X.shape(1), W = X.shape(2), C = X.shape(3);
    const Pooling g = pooling_geometry(N, H, W, C, call[P::k], call[P::stride], lines.geometry);

    frame::Ref shape = frame::make_shape({N, g.OH, g.OW, C}, lines.out);
    frame::Ref out = call.call_numpy_with_dtype(empty, float64, lines.out, {shape.get()});
    frame::Ref argmax = call.call_numpy_with_dtype(empty, intp, lines.argmax, {shape.get()});
    frame::Ref working = call.call_numpy_with_dtype(ascontiguousarray, float64, lines.contiguous,
                                                    {call.object(P::X)});

    const frame::TypedView& input =
        call.numpy_view(working.get(), ascontiguousarray, frame::DTYPE_t, {N, H, W, C},
                        frame::Use::read, lines.working);
    const frame::TypedView& out_view = call.numpy_view(
        out.get(), empty, frame::DTYPE_t, {N, g.OH, g.OW, C}, frame::Use::written, lines.out_view);
    const frame::TypedView& argmax_view =
        call.numpy_view(argmax.get(), empty, frame::ITYPE_t, {N, g.OH, g.OW, C},
                        frame::Use::written, lines.argmax_view);

    maxpool_forward_kernel(input.as<const DTYPE, 4>(), out_view.as<DTYPE, 4>(),
                           argmax_view.as<ITYPE, 4>(), g);
    return frame::make_tuple({out.get(), argmax.get()}, lines.result);
}

template <MaxpoolBackwardLines lines>
frame::Ref maxpool_backward_body(frame::Call& call) {
    using P = MaxpoolBackwardParameters;
    const frame::ArrayBuffer& grad = call[P::grad];
    const frame::ArrayBuffer& argmax = call[P::argmax];
    const Extents extents = read_extents(call, call[P::shape], lines.shape);
    const ITYPE N = extents.N, H = extents.H, W = extents.W, C = extents.C;
    const long k = call[P::k];
    const long stride = call[P::stride];
    const Pooling g = pooling_geometry(N, H, W, C, k, stride, lines.geometry);
    const std::pair<const frame::ArrayBuffer*, int> records[] = {{&grad, lines.grad_shape},
                                                                 {&argmax, lines.argmax_shape}};
    for (const auto& [buffer, line] : records) {
        if (buffer->shape(0) != N || buffer->shape(1) != g.OH || buffer->shape(2) != g.OW ||
            buffer->shape(3) != C) {
            frame::raise(PyExc_ValueError, line, kPoolShapeMessage,
                         buffer == &grad ? "grad" : "argmax", buffer->shape(0), buffer->shape(1),
                         buffer->shape(2), buffer->shape(3), N, g.OH, g.OW, C, N, H, W, C,
                         static_cast<int>(k), static_cast<int>(stride));
        }
    }

    frame::Ref shape = frame::make_shape({N, H, W, C}, lines.dX);
    frame::Ref dX = call.call_numpy_with_dtype(zeros, float64, lines.dX, {shape.get()});
    frame::Ref grad_c = call.call_numpy_with_dtype(ascontiguousarray, float64,
                                                   lines.grad_contiguous, {call.object(P::grad)});
    frame::Ref argmax_c = call.call_numpy_with_dtype(
        ascontiguousarray, intp, lines.argmax_contiguous, {call.object(P::argmax)});

    const frame::TypedView& dX_view = call.numpy_view(dX.get(), zeros, frame::DTYPE_t, {N, H, W, C},
                                                      frame::Use::written, lines.dX_view);
    const frame::TypedView& grad_view =
        call.numpy_view(grad_c.get(), ascontiguousarray, frame::DTYPE_t, {N, g.OH, g.OW, C},
                        frame::Use::read, lines.grad_view);
    const frame::TypedView& argmax_view =
        call.numpy_view(argmax_c.get(), ascontiguousarray, frame::ITYPE_t, {N, g.OH, g.OW, C},
                        frame::Use::read, lines.argmax_view);

    const std::optional<WindowIndexOutOfRange> bad =
        maxpool_backward_kernel(grad_view.as<const DTYPE, 4>(), argmax_view.as<const ITYPE, 4>(),
                                dX_view.as<DTYPE, 4>(), g);
    if (bad) {
        frame::raise(PyExc_ValueError, lines.scatter, kWindowIndexMessage, bad->n, bad->oh, bad->ow,
                     bad->c, bad->idx, static_cast<int>(k), static_cast<int>(k), g.k * g.k - 1);
    }
    return dX;
}

// ---------------------------------------------------------------------------------------------
// Module table.

constexpr const char* kIm2colLocals[] = {"N", "H",  "W",  "C", "OH", "OW", "X_c", "X_p", "cols",
                                         "n", "oh", "ow", "i", "j",  "c",  "row", "col"};
constexpr const char* kCol2imLocals[] = {"N",  "H",  "W", "C", "OH", "OW",  "dX_pad", "n",
                                         "oh", "ow", "i", "j", "c",  "row", "col"};
constexpr const char* kMaxpoolForwardLocals[] = {
    "N",  "H", "W", "C", "OH",     "OW",     "out", "argmax",   "X_c", "n",       "oh",
    "ow", "c", "i", "j", "base_h", "base_w", "idx", "best_idx", "val", "best_val"};
constexpr const char* kMaxpoolBackwardLocals[] = {"N",  "H",      "W",        "C", "OH", "OW",
                                                  "dX", "grad_c", "argmax_c", "n", "oh", "ow",
                                                  "c",  "idx",    "bi",       "bj"};

// Line 4 is `import numpy as np` and line 10 the import of NumPy's native interface; `shape`
// is the line of item 0 of the shape, items 1 to 3 follow on the next lines.
constexpr Im2colLines kIm2colLines{.definition = 13,
                                   .geometry = 19,
                                   .contiguous = 22,
                                   .padded = 24,
                                   .working = 26,
                                   .columns = 30,
                                   .columns_view = 31,
                                   .result = 42};
constexpr Col2imLines kCol2imLines{.definition = 45,
                                   .shape = 46,
                                   .geometry = 52,
                                   .columns_view = 55,
                                   .accumulator = 56,
                                   .accumulator_view = 57,
                                   .crop = 70};
constexpr MaxpoolForwardLines kMaxpoolForwardLines{.definition = 75,
                                                   .geometry = 78,
                                                   .out = 82,
                                                   .argmax = 83,
                                                   .contiguous = 84,
                                                   .working = 86,
                                                   .out_view = 87,
                                                   .argmax_view = 88,
                                                   .result = 104};
constexpr MaxpoolBackwardLines kMaxpoolBackwardLines{.definition = 107,
                                                     .shape = 108,
                                                     .geometry = 114,
                                                     .grad_shape = 116,
                                                     .argmax_shape = 118,
                                                     .dX = 121,
                                                     .grad_contiguous = 122,
                                                     .argmax_contiguous = 123,
                                                     .dX_view = 125,
                                                     .grad_view = 126,
                                                     .argmax_view = 127,
                                                     .scatter = 135};

constexpr frame::FunctionSpec kFunctions[] = {
    {"im2col", Im2colParameters::table, kIm2colLocals, nullptr, kIm2colLines.definition,
     im2col_body<kIm2colLines>},
    {"col2im", Col2imParameters::table, kCol2imLocals, nullptr, kCol2imLines.definition,
     col2im_body<kCol2imLines>},
    {"maxpool_forward", MaxpoolForwardParameters::table, kMaxpoolForwardLocals, nullptr,
     kMaxpoolForwardLines.definition, maxpool_forward_body<kMaxpoolForwardLines>},
    {"maxpool_backward", MaxpoolBackwardParameters::table, kMaxpoolBackwardLocals, nullptr,
     kMaxpoolBackwardLines.definition, maxpool_backward_body<kMaxpoolBackwardLines>},
};

constexpr frame::ModuleSpec kModule = {
    "_convkit",
    "quillbrax.accel._convkit",
    "quillbrax/accel/_convkit",
    "Accelerated convolution and max-pooling routines.",
    kFunctions,
    frame::NativeInterfaceImport::module_body_statement,
    10,
};

}  // namespace

PyMODINIT_FUNC PyInit__convkit(void) { return quillbrax::frame::module_definition(kModule); }
