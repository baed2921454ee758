// The closed-form size of _warpalign's banded cost table against a count over its rows.
#define QUILLBRAX_KERNELS_ONLY
#include "_warpalign.cpp"

#include <cstdint>

#include "check.hpp"

using namespace quillbrax::warpalign;

int main() {
    for (std::int64_t n = 0; n <= 12; ++n) {
        for (std::int64_t m = 0; m <= 12; ++m) {
            for (std::int32_t window : {-3, 0, 1, 2, 5, 11, 40}) {
                const std::int64_t w = band_half_width(n, m, window);
                std::uint64_t rows = 0;
                for (std::int64_t i = 0; i <= n; ++i) {
                    rows += static_cast<std::uint64_t>(std::min(m, i + w) -
                                                       std::max<std::int64_t>(0, i - w) + 1);
                }
                CHECK(band_cell_count(n, m, w) == rows);
            }
        }
    }
    // The widest table of int32 lengths, (2^31)^2 cells, is counted without wrapping.
    const std::int64_t longest = 2147483647;
    CHECK(band_cell_count(longest, longest, band_half_width(longest, longest, 2147483647)) ==
          static_cast<std::uint64_t>(longest + 1) * static_cast<std::uint64_t>(longest + 1));
    return native_check::finish();
}
