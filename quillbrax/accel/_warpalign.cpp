// quillbrax.accel._warpalign: dynamic time warping of two univariate sequences within a
// Sakoe-Chiba band, returning the optimal warping path and its total cost.
//
// The kernels come first and know nothing of Python; defining QUILLBRAX_KERNELS_ONLY before
// including this file leaves out the bindings.
#include "constants.hpp"
#include "cpu_dispatch.hpp"

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

namespace quillbrax::warpalign {

// Unreachable cells hold a large finite value, not infinity.
inline constexpr double unreachable = quillbrax::kSentinel;

// Band half-width: never narrower than the difference of the lengths, so the end cell is
// always inside the band.
inline std::int64_t band_half_width(std::int64_t n, std::int64_t m, std::int32_t window) {
    return std::max<std::int64_t>(n > m ? n - m : m - n, window);
}

// Number of cells (i, j), 0 <= i <= n, 0 <= j <= m, with |i - j| <= w: the cells of the band,
// about as many bytes as the steps of the traceback take (StepTable). In closed form, so that a
// problem too large to hold is refused without a pass over its rows; at most (n + 1) * (m + 1) <
// 2^62 for int32 lengths.
inline std::uint64_t band_cell_count(std::int64_t n, std::int64_t m, std::int64_t w) {
    // Rows 0 .. rows_inside - 1 end at i + w, the others at m.
    const std::int64_t rows_inside = m < w ? 0 : std::min(n, m - w) + 1;
    const auto inside = static_cast<std::uint64_t>(rows_inside);
    const std::uint64_t sum_last =
        inside * static_cast<std::uint64_t>(w) + inside * (inside - 1) / 2 +
        static_cast<std::uint64_t>(n + 1 - rows_inside) * static_cast<std::uint64_t>(m);
    // Rows w + 1 .. n start at i - w, the others at 0.
    const auto shifted = static_cast<std::uint64_t>(n > w ? n - w : 0);
    const std::uint64_t sum_first = shifted * (shifted + 1) / 2;
    return static_cast<std::uint64_t>(n + 1) + sum_last - sum_first;
}

// Traceback steps out of a cell: back in x alone, back in y alone, or both.
enum Step : std::uint8_t { step_x = 0, step_y = 1, step_diagonal = 2 };

// The step the traceback takes out of a cell whose neighbours (i - 1, j), (i, j - 1) and
// (i - 1, j - 1) hold d1, d2 and d3. Ties: the step back in x alone wins every tie it is in,
// the step back in y alone beats the diagonal; a NaN makes both comparisons false and so leads
// to the diagonal.
// Written without branches: on real data the three outcomes alternate unpredictably.
inline Step step_from(double d1, double d2, double d3) {
    const unsigned x_wins = static_cast<unsigned>(d1 <= d2) & static_cast<unsigned>(d1 <= d3);
    const unsigned y_wins = static_cast<unsigned>(d2 <= d1) & static_cast<unsigned>(d2 <= d3);
    return static_cast<Step>((1u - x_wins) * (2u - y_wins));
}

// Steps of cells lo .. hi of a row from the finished rows above (up) and current (cell), into
// out[0 .. hi - lo].
inline void record_steps_portable(const double* up, const double* cell, std::int64_t lo,
                                  std::int64_t hi, std::uint8_t* out) {
    for (std::int64_t j = lo; j <= hi; ++j) {
        out[j - lo] = step_from(up[j], cell[j - 1], up[j - 1]);
    }
}

// Four cells at a time: the comparisons' masks index a table of four step bytes.
struct StepBytes {
    std::uint32_t bytes[256];
    constexpr StepBytes() : bytes() {
        for (unsigned index = 0; index < 256; ++index) {
            std::uint32_t word = 0;
            for (unsigned lane = 0; lane < 4; ++lane) {
                const unsigned x_wins = (index >> lane) & 1u;
                const unsigned y_wins = (index >> (lane + 4)) & 1u;
                word |= ((1u - x_wins) * (2u - y_wins)) << (8 * lane);
            }
            bytes[index] = word;
        }
    }
};
inline constexpr StepBytes step_bytes{};

[[gnu::target("avx2")]] inline void record_steps_avx2(const double* up, const double* cell,
                                                      std::int64_t lo, std::int64_t hi,
                                                      std::uint8_t* out) {
    std::int64_t j = lo;
    for (; j + 3 <= hi; j += 4) {
        const __m256d d1 = _mm256_loadu_pd(up + j);
        const __m256d d2 = _mm256_loadu_pd(cell + j - 1);
        const __m256d d3 = _mm256_loadu_pd(up + j - 1);
        const __m256d x_wins =
            _mm256_and_pd(_mm256_cmp_pd(d1, d2, _CMP_LE_OQ), _mm256_cmp_pd(d1, d3, _CMP_LE_OQ));
        const __m256d y_wins =
            _mm256_and_pd(_mm256_cmp_pd(d2, d1, _CMP_LE_OQ), _mm256_cmp_pd(d2, d3, _CMP_LE_OQ));
        const auto index =
            static_cast<unsigned>(_mm256_movemask_pd(x_wins) | (_mm256_movemask_pd(y_wins) << 4));
        std::memcpy(out + (j - lo), &step_bytes.bytes[index], 4);
    }
    for (; j <= hi; ++j) {
        out[j - lo] = step_from(up[j], cell[j - 1], up[j - 1]);
    }
}

inline void record_steps(const double* up, const double* cell, std::int64_t lo, std::int64_t hi,
                         std::uint8_t* out) {
    quillbrax::dispatch<record_steps_portable, record_steps_avx2>(up, cell, lo, hi, out);
}

// The traceback only ever reads, at a cell, the three neighbours the forward pass read there,
// so the forward pass records the step of every cell it computes and keeps only two rows of
// values. Steps are recorded over the band widened by one cell on each side: such a cell holds
// the unreachable value, yet a traceback through cells of cost 1e308 or more can reach it, and
// its step depends on its one neighbour inside the band. Farther out every neighbour is
// unreachable, and the step is back in x.
class StepTable {
public:
    StepTable(std::int64_t n, std::int64_t m, std::int64_t w)
        : m_(m), reach_(w + 1), row_start_(static_cast<std::size_t>(n) + 1) {
        std::size_t start = 0;
        for (std::int64_t i = 1; i <= n; ++i) {
            row_start_[static_cast<std::size_t>(i)] = start;
            const std::int64_t width = last(i) - first(i) + 1;
            start += static_cast<std::size_t>(width > 0 ? width : 0);
        }
        steps_.resize(start);
    }

    // Columns of row i whose steps are recorded (empty when first > last).
    std::int64_t first(std::int64_t i) const { return std::max<std::int64_t>(1, i - reach_); }
    std::int64_t last(std::int64_t i) const { return std::min(m_, i + reach_); }

    // Row i's steps; column j at index j - first(i).
    std::uint8_t* row(std::int64_t i) {
        return steps_.data() + row_start_[static_cast<std::size_t>(i)];
    }

    // 1 <= i <= n, 1 <= j <= m.
    Step at(std::int64_t i, std::int64_t j) const {
        if (j < first(i) || j > last(i)) {
            return step_x;
        }
        return static_cast<Step>(steps_[row_start_[static_cast<std::size_t>(i)] +
                                        static_cast<std::size_t>(j - first(i))]);
    }

private:
    std::int64_t m_;
    std::int64_t reach_;
    std::vector<std::size_t> row_start_;
    std::vector<std::uint8_t> steps_;
};

// The path's cells from the end backwards, and the total cost.
struct Alignment {
    std::vector<std::int32_t> path_i;
    std::vector<std::int32_t> path_j;
    double cost = 0.0;
};

// x[0 .. n-1] against y[0 .. m-1]; both lengths fit int32.
inline Alignment align(const double* x, std::int64_t n, const double* y, std::int64_t m,
                       std::int32_t window) {
    Alignment result;
    if (n == 0 || m == 0) {
        result.cost = n == 0 && m == 0 ? 0.0 : unreachable;
        return result;
    }
    const std::int64_t w = band_half_width(n, m, window);
    StepTable steps(n, m, w);
    // Rows i - 1 and i of the table, indexed by column, with room for two cells past column m.
    // Beyond the band's computed cells each row holds the unreachable value over the two cells
    // on either side, which covers every cell that the next row reads outside its band.
    const auto row_length = static_cast<std::size_t>(m) + 3;
    std::vector<double> above(row_length, unreachable);
    std::vector<double> current(row_length, unreachable);
    above[0] = 0.0;
    for (std::int64_t i = 1; i <= n; ++i) {
        const std::int64_t lo = std::max<std::int64_t>(1, i - w);
        const std::int64_t hi = std::min(m, i + w);
        double* cell = current.data();
        const double* up = above.data();
        for (std::int64_t j = std::max<std::int64_t>(0, lo - 2); j < lo; ++j) {
            cell[j] = unreachable;
        }
        cell[hi + 1] = unreachable;
        cell[hi + 2] = unreachable;
        std::uint8_t* step = steps.row(i);
        const std::int64_t f = steps.first(i);
        if (f < lo) {
            step[lo - 1 - f] = step_from(up[lo - 1], cell[lo - 2], up[lo - 2]);
        }
        // The chain through the row first, then the steps, which read only finished cells and
        // so go in independent lanes.
        const double xi = x[i - 1];
        double d2 = cell[lo - 1];
        for (std::int64_t j = lo; j <= hi; ++j) {
            const double d1 = up[j];
            const double d3 = up[j - 1];
            // min(d1, d2, d3) as "d2 if below the better of d1 and d3": the same value and the
            // same NaN rule (a NaN d1 wins, any other NaN loses), with one comparison on the
            // chain through d2. No cell holds -0.0, so equal candidates are identical.
            const double above_or_diagonal = d3 < d1 ? d3 : d1;
            d2 = std::fabs(xi - y[j - 1]) + (d2 < above_or_diagonal ? d2 : above_or_diagonal);
            cell[j] = d2;
        }
        record_steps(up, cell, lo, hi, step + (lo - f));
        if (steps.last(i) > hi) {
            step[hi + 1 - f] = step_from(up[hi + 1], cell[hi], up[hi]);
        }
        std::swap(above, current);
    }
    result.cost = above[static_cast<std::size_t>(m)];
    std::int64_t i = n;
    std::int64_t j = m;
    while (true) {
        result.path_i.push_back(static_cast<std::int32_t>(i - 1));
        result.path_j.push_back(static_cast<std::int32_t>(j - 1));
        switch (steps.at(i, j)) {
            case step_x: --i; break;
            case step_y: --j; break;
            case step_diagonal:
                --i;
                --j;
                break;
        }
        if (i == 0 || j == 0) {
            break;
        }
    }
    return result;
}

// Writes the path as rows of (index into x, index into y), start of the alignment first.
inline void write_path(const Alignment& alignment, std::int32_t* path) {
    const std::size_t length = alignment.path_i.size();
    for (std::size_t t = 0; t < length; ++t) {
        const std::size_t row = length - 1 - t;
        path[2 * row] = alignment.path_i[t];
        path[2 * row + 1] = alignment.path_j[t];
    }
}

}  // namespace quillbrax::warpalign

#ifndef QUILLBRAX_KERNELS_ONLY

#include <tuple>

#include "bound/conventions.hpp"

namespace quillbrax::warpalign {

namespace py = pybind11;
using bound::FloatArray;
using bound::text;

inline constexpr const char* message_table_too_large =
    "x and y of lengths {} and {} with window {} need {} table cells, more than can be addressed";

std::tuple<py::array_t<std::int32_t>, double> dtw_path(const FloatArray& x, const FloatArray& y,
                                                       int window) {
    const bound::HeldArray held_x(x, "x");
    const bound::HeldArray held_y(y, "y");
    bound::require_ndim(x, 1, "x");
    bound::require_ndim(y, 1, "y");
    const std::int32_t n = bound::int32_extent(x, 0, "x", "elements");
    const std::int32_t m = bound::int32_extent(y, 0, "y", "elements");
    const std::uint64_t cells = band_cell_count(n, m, band_half_width(n, m, window));
    // (With room to spare: the steps take a byte a cell, and two more cells a row.)
    if (cells >
        static_cast<std::uint64_t>(std::numeric_limits<std::ptrdiff_t>::max()) / sizeof(double)) {
        bound::raise_value_error(message_table_too_large, text(n), text(m), text(window),
                                 std::to_string(cells));
    }
    const bound::DenseFloats xs(x);
    const bound::DenseFloats ys(y);
    const Alignment alignment = align(xs.data(), n, ys.data(), m, window);
    auto path =
        bound::new_result<std::int32_t>({static_cast<py::ssize_t>(alignment.path_i.size()), 2});
    write_path(alignment, path.mutable_data());
    return {std::move(path), alignment.cost};
}

}  // namespace quillbrax::warpalign

PYBIND11_MODULE(_warpalign, m, pybind11::mod_gil_used(),
                pybind11::multiple_interpreters::not_supported()) {
    m.doc() = "Accelerated DTW module: banded dynamic time warping of two sequences.";
    m.def("dtw_path", &quillbrax::warpalign::dtw_path);
}

#endif  // QUILLBRAX_KERNELS_ONLY
