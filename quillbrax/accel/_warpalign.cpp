// quillbrax.accel._warpalign: dynamic time warping of two univariate sequences within a
// Sakoe-Chiba band, returning the optimal warping path and its total cost.
//
// The kernels come first and know nothing of Python; defining QUILLBRAX_KERNELS_ONLY before
// including this file leaves out the bindings.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace quillbrax::warpalign {

// Unreachable cells hold a large finite value, not infinity.
inline constexpr double unreachable = 1e308;

// Band half-width: never narrower than the difference of the lengths, so the end cell is
// always inside the band.
inline std::int64_t band_half_width(std::int64_t n, std::int64_t m, std::int32_t window) {
    return std::max<std::int64_t>(n > m ? n - m : m - n, window);
}

// The cost table over cells (i, j), 0 <= i <= n, 0 <= j <= m, storing only the band: row i
// keeps the cells max(0, i - w) <= j <= min(m, i + w). A cell outside the band reads as
// unreachable, which is what it would hold in the full table, since nothing ever writes it.
class BandedTable {
public:
    // Number of stored cells, in closed form so that a table too large to hold is refused
    // without a pass over its rows. At most (n + 1) * (m + 1) < 2^62 for int32 lengths.
    static std::uint64_t cell_count(std::int64_t n, std::int64_t m, std::int64_t w) {
        // Rows 0 .. rows_inside - 1 end at i + w, the others at m.
        const std::int64_t rows_inside = m < w ? 0 : std::min(n, m - w) + 1;
        const auto inside = static_cast<std::uint64_t>(rows_inside);
        const std::uint64_t sum_last =
            inside * static_cast<std::uint64_t>(w) + inside * (inside - 1) / 2
            + static_cast<std::uint64_t>(n + 1 - rows_inside) * static_cast<std::uint64_t>(m);
        // Rows w + 1 .. n start at i - w, the others at 0.
        const auto shifted = static_cast<std::uint64_t>(n > w ? n - w : 0);
        const std::uint64_t sum_first = shifted * (shifted + 1) / 2;
        return static_cast<std::uint64_t>(n + 1) + sum_last - sum_first;
    }

    BandedTable(std::int64_t n, std::int64_t m, std::int64_t w)
        : m_(m), w_(w), row_start_(static_cast<std::size_t>(n) + 1) {
        std::size_t start = 0;
        for (std::int64_t i = 0; i <= n; ++i) {
            row_start_[static_cast<std::size_t>(i)] = start;
            start += static_cast<std::size_t>(last(m, w, i) - first(w, i) + 1);
        }
        cells_.assign(start, unreachable);
    }

    double get(std::int64_t i, std::int64_t j) const {
        if (j < first(w_, i) || j > last(m_, w_, i)) {
            return unreachable;
        }
        return cells_[offset(i, j)];
    }

    // (i, j) must lie in the band.
    void set(std::int64_t i, std::int64_t j, double value) { cells_[offset(i, j)] = value; }

private:
    static std::int64_t first(std::int64_t w, std::int64_t i) {
        return std::max<std::int64_t>(0, i - w);
    }
    static std::int64_t last(std::int64_t m, std::int64_t w, std::int64_t i) {
        return std::min(m, i + w);
    }

    std::size_t offset(std::int64_t i, std::int64_t j) const {
        return row_start_[static_cast<std::size_t>(i)] + static_cast<std::size_t>(j - first(w_, i));
    }

    std::int64_t m_;
    std::int64_t w_;
    std::vector<std::size_t> row_start_;
    std::vector<double> cells_;
};

// The path's cells from the end backwards, and the total cost.
struct Alignment {
    std::vector<std::int32_t> path_i;
    std::vector<std::int32_t> path_j;
    double cost = 0.0;
};

// x[0 .. n-1] against y[0 .. m-1]; both lengths fit int32.
inline Alignment align(const double *x, std::int64_t n, const double *y, std::int64_t m,
                       std::int32_t window) {
    const std::int64_t w = band_half_width(n, m, window);
    BandedTable dp(n, m, w);
    dp.set(0, 0, 0.0);
    for (std::int64_t i = 1; i <= n; ++i) {
        const std::int64_t lo = std::max<std::int64_t>(1, i - w);
        const std::int64_t hi = std::min(m, i + w);
        for (std::int64_t j = lo; j <= hi; ++j) {
            const double cost = std::fabs(x[i - 1] - y[j - 1]);
            double best = dp.get(i - 1, j);
            const double left = dp.get(i, j - 1);
            const double diagonal = dp.get(i - 1, j - 1);
            if (left < best) {
                best = left;
            }
            if (diagonal < best) {
                best = diagonal;
            }
            dp.set(i, j, cost + best);
        }
    }
    Alignment result;
    result.cost = dp.get(n, m);
    if (n == 0 || m == 0) {
        return result;
    }
    // Ties: the step back in x alone wins every tie it is in, the step back in y alone beats the
    // diagonal; a NaN makes both comparisons false and so leads to the diagonal.
    std::int64_t i = n;
    std::int64_t j = m;
    while (true) {
        result.path_i.push_back(static_cast<std::int32_t>(i - 1));
        result.path_j.push_back(static_cast<std::int32_t>(j - 1));
        const double d1 = dp.get(i - 1, j);
        const double d2 = dp.get(i, j - 1);
        const double d3 = dp.get(i - 1, j - 1);
        if (d1 <= d2 && d1 <= d3) {
            --i;
        } else if (d2 <= d1 && d2 <= d3) {
            --j;
        } else {
            --i;
            --j;
        }
        if (i == 0 || j == 0) {
            break;
        }
    }
    return result;
}

// Writes the path as rows of (index into x, index into y), start of the alignment first.
inline void write_path(const Alignment &alignment, std::int32_t *path) {
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

inline constexpr const char *message_table_too_large =
    "x and y of lengths {} and {} with window {} need {} table cells, more than can be addressed";

std::tuple<py::array_t<std::int32_t>, double> dtw_path(const FloatArray &x, const FloatArray &y,
                                                       int window) {
    bound::require_ndim(x, 1, "x");
    bound::require_ndim(y, 1, "y");
    const std::int32_t n = bound::int32_extent(x, 0, "x", "elements");
    const std::int32_t m = bound::int32_extent(y, 0, "y", "elements");
    const std::uint64_t cells = BandedTable::cell_count(n, m, band_half_width(n, m, window));
    if (cells
        > static_cast<std::uint64_t>(std::numeric_limits<std::ptrdiff_t>::max()) / sizeof(double)) {
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
