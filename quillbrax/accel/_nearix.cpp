// quillbrax.accel._nearix: a median-split k-d tree over the rows of a sample matrix, queried for
// the k nearest rows (squared Euclidean distance) of every row of a query matrix.
//
// The kernels come first and know nothing of Python; defining QUILLBRAX_KERNELS_ONLY before
// including this file leaves out the bindings, which is how the native unit tests use it.
#include <immintrin.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

#include "constants.hpp"
#include "cpu_dispatch.hpp"

namespace quillbrax::nearix {

inline constexpr std::int32_t no_node = -1;
inline constexpr double infinity = std::numeric_limits<double>::infinity();

// The tree is stored flat, in pre-order: node p holds one sample, its coordinates at
// points[p * d .. p * d + d - 1] and its row number at rows[p]. The median split fixes the
// shape by the subtree size alone: a subtree of `size` nodes at position p has its left child
// (size / 2 nodes) at p + 1 and its right child (size - size / 2 - 1 nodes) right after it, and
// the node at depth t splits on dimension t mod d at its own coordinate along it. So no child
// links, split dimensions or split values are stored, and a descent reads the coordinates of
// the nodes it visits from one array in visiting order, mostly forwards.
//
// lower and upper hold boxes, d coordinates each: box b spans lower[b * d ..] to upper[b * d ..],
// the smallest and largest coordinates of the samples of one subtree. Box 0 is the root's (the
// samples' bounding box, from which a search starts its pruning bound); the subtrees of the
// first box_levels levels have boxes, numbered as a binary heap (the children of box b are
// 2b + 1 on the left and 2b + 2 on the right). Only subtrees of at least box_min_size samples
// get one: fewer than 2n / box_min_size boxes of 2d values, at most 4 / box_min_size (1/64) of
// the memory of the samples themselves. A search prunes with them where the splits alone leave
// a subtree's box much larger than its samples (clustered samples, queries far outside).
// In ball_min_dims dimensions or more, reach[b] bounds from above the distance from the centre
// of box b (box_centre along each dimension, as computed) to each of its samples (+inf
// where that is not finite): far from a box in many dimensions, the ball it gives bounds the
// samples much closer than the box's corner (in fewer, it measured no better), for one more value
// per box (so at most 1/61 of the samples' memory in all). Empty for a tree without samples.
struct KDTree {
    std::vector<double> points;
    std::vector<std::int32_t> rows;
    std::int32_t n = 0;
    std::int32_t d = 0;
    std::vector<double> lower;
    std::vector<double> upper;
    std::vector<double> reach;
    std::int32_t box_levels = 0;
};

inline constexpr std::int32_t box_min_size = 256;
inline constexpr std::int32_t ball_min_dims = 12;

// sq's sum where it is NaN, which only a query row with a NaN or an infinite coordinate gives
// (samples hold no NaN, and a finite row's terms are never NaN). Which NaN it is follows from the
// order of the additions: x86's returns the running sum's own once it has one (the first
// operand's, when both are NaN), else the term's. The compiler takes an addition as commutative
// and the vector kernels may add either way, so the search sums a NaN distance again here, the
// rule spelled out. (A difference quiets a signalling NaN before it reaches the sum.)
[[gnu::noinline]] inline double nan_sq(const double* a, const double* b, std::size_t d) {
    double sum = 0.0;
    for (std::size_t i = 0; i < d; ++i) {
        const double diff = a[i] - b[i];
        const double term = diff * diff;
        sum = sum != sum ? sum : sum + term;
    }
    return sum;
}

// Squared Euclidean distance, summed in coordinate order; the query row is the first operand.
inline double sq(const double* a, const double* b, std::size_t d) {
    double sum = 0.0;
    for (std::size_t i = 0; i < d; ++i) {
        const double diff = a[i] - b[i];
        sum += diff * diff;
    }
    return sum;
}

// The relative slack that keeps a distance computed from d differences (each rounded, then
// squared, summed and rooted) on the safe side of the exact one, with room for the few roundings
// of the bounds built from it.
inline double distance_slack(std::size_t d) { return (static_cast<double>(d) + 8.0) * 0x1p-52; }

// The centre of a box along one dimension, as the reach is measured from it.
inline double box_centre(double lower, double upper) { return (lower + upper) * 0.5; }

namespace detail {

// Vectors of two and four doubles, for loops whose lanes are independent rows or keys.
using Doubles2 = double __attribute__((vector_size(16)));
using Doubles4 = double __attribute__((vector_size(32)));
using Counts4 = decltype(Doubles4{} < Doubles4{});  // what comparing them gives: 0 or -1

// An upper bound on the exact distance between a and b (d coordinates each): the computed one
// widened by the slack, plus a little for what the squares of tiny differences lose below the
// normal range. +inf where it is not finite.
inline double above_of_sum(double sum, std::size_t d) {
    const double above = std::sqrt(sum) * (1.0 + distance_slack(d)) + 0x1p-480;
    return above < infinity ? above : infinity;
}

inline double distance_above(const double* a, const double* b, std::size_t d) {
    return above_of_sum(sq(a, b, d), d);
}

// The largest squared distance from `centre` to the rows of d coordinates in [from, end), each
// summed as `sq` sums it (`lanes` rows at a time, one to a lane of a vector); +inf
// where one is NaN, whose bound is the same.
template <class Lanes>
[[gnu::always_inline]] inline double largest_sum(const double* centre, const double* from,
                                                 const double* end, std::size_t d) {
    constexpr int lanes = sizeof(Lanes) / sizeof(double);
    using Mask = decltype(Lanes{} < Lanes{});
    const std::size_t rows = static_cast<std::size_t>(end - from) / d;
    Lanes largest = {};
    Mask unordered = {};
    std::size_t r = 0;
    for (; r + lanes <= rows; r += lanes) {
        const double* at = from + r * d;
        Lanes sum = {};
        for (std::size_t j = 0; j < d; ++j) {
            Lanes row;
            for (int lane = 0; lane < lanes; ++lane) {
                row[lane] = at[static_cast<std::size_t>(lane) * d + j];
            }
            const Lanes diff = centre[j] - row;
            sum += diff * diff;
        }
        const Mask larger = sum > largest;
        largest = (Lanes)(((Mask)sum & larger) | ((Mask)largest & ~larger));
        unordered |= sum != sum;
    }
    double most = 0.0;
    bool nan = false;
    for (int lane = 0; lane < lanes; ++lane) {
        most = std::max(most, largest[lane]);
        nan = nan || unordered[lane] != 0;
    }
    for (; r < rows; ++r) {
        const double sum = sq(centre, from + r * d, d);
        most = sum > most ? sum : most;
        nan = nan || sum != sum;
    }
    return nan ? infinity : most;
}

inline double largest_sum_portable(const double* centre, const double* from, const double* end,
                                   std::size_t d) {
    return largest_sum<Doubles2>(centre, from, end, d);
}

[[gnu::target("avx2")]] inline double largest_sum_avx2(const double* centre, const double* from,
                                                       const double* end, std::size_t d) {
    return largest_sum<Doubles4>(centre, from, end, d);
}

// Widens the bounds `lower` and `upper` (d values each) to the rows of d coordinates in
// [from, end).
[[gnu::always_inline]] inline void widen_bounds(double* __restrict lower, double* __restrict upper,
                                                const double* from, const double* end,
                                                std::size_t d) {
    for (const double* at = from; at != end; at += d) {
        for (std::size_t j = 0; j < d; ++j) {
            lower[j] = std::min(lower[j], at[j]);
            upper[j] = std::max(upper[j], at[j]);
        }
    }
}

inline void widen_bounds_portable(double* lower, double* upper, const double* from,
                                  const double* end, std::size_t d) {
    widen_bounds(lower, upper, from, end, d);
}

[[gnu::target("avx2")]] inline void widen_bounds_avx2(double* lower, double* upper,
                                                      const double* from, const double* end,
                                                      std::size_t d) {
    widen_bounds(lower, upper, from, end, d);
}

// The box of subtree `box` (size nodes at position p, at level `level` of the boxes), from its
// children's boxes and its own sample, or from its samples at the last level of boxes.
inline void fill_box(KDTree& tree, std::size_t box, std::int32_t p, std::int32_t size,
                     std::int32_t level) {
    const auto width = static_cast<std::size_t>(tree.d);
    double* lower = tree.lower.data() + box * width;
    double* upper = tree.upper.data() + box * width;
    const double* own = tree.points.data() + static_cast<std::size_t>(p) * width;
    std::copy(own, own + width, lower);
    std::copy(own, own + width, upper);
    const double* end = own + static_cast<std::size_t>(size) * width;
    const bool last = level + 1 == tree.box_levels;
    if (last) {
        quillbrax::dispatch<widen_bounds_portable, widen_bounds_avx2>(lower, upper, own + width,
                                                                      end, width);
    } else {
        const std::int32_t left_size = size / 2;
        fill_box(tree, 2 * box + 1, p + 1, left_size, level + 1);
        fill_box(tree, 2 * box + 2, p + 1 + left_size, size - left_size - 1, level + 1);
        for (const std::size_t child : {2 * box + 1, 2 * box + 2}) {
            for (std::size_t j = 0; j < width; ++j) {
                lower[j] = std::min(lower[j], tree.lower[child * width + j]);
                upper[j] = std::max(upper[j], tree.upper[child * width + j]);
            }
        }
    }
    if (tree.reach.empty()) {
        return;
    }
    // The reach: from the samples themselves at the last level, above it from the own sample
    // and the children's balls (each child's centre, plus its reach).
    std::vector<double> centre(width);
    for (std::size_t j = 0; j < width; ++j) {
        centre[j] = box_centre(lower[j], upper[j]);
    }
    double reach;
    if (last) {
        // The largest of distance_above from the centre to each sample: the bound grows with
        // the sum it is taken of, so it is the bound of the largest sum.
        reach = above_of_sum(quillbrax::dispatch<largest_sum_portable, largest_sum_avx2>(
                                 centre.data(), own, end, width),
                             width);
    } else {
        reach = distance_above(centre.data(), own, width);
        std::vector<double> child_centre(width);
        for (const std::size_t child : {2 * box + 1, 2 * box + 2}) {
            for (std::size_t j = 0; j < width; ++j) {
                child_centre[j] =
                    box_centre(tree.lower[child * width + j], tree.upper[child * width + j]);
            }
            const double through =
                (distance_above(centre.data(), child_centre.data(), width) + tree.reach[child]) *
                (1.0 + 0x1p-52);
            reach = std::max(reach, through);
        }
    }
    // A NaN (a centre of infinite bounds) bounds nothing.
    tree.reach[box] = reach < infinity ? reach : infinity;
}

}  // namespace detail

// Sets the tree's boxes from its points (no NaN among them).
inline void set_bounds(KDTree& tree) {
    const auto width = static_cast<std::size_t>(tree.d);
    tree.lower.clear();
    tree.upper.clear();
    tree.reach.clear();
    tree.box_levels = 0;
    if (tree.n == 0) {
        return;
    }
    // A level has boxes while its smallest subtree (on the right of every split) is big enough;
    // the root always has one.
    std::int32_t levels = 1;
    for (std::int32_t size = tree.n - tree.n / 2 - 1; size >= box_min_size;
         size = size - size / 2 - 1) {
        ++levels;
    }
    tree.box_levels = levels;
    const std::size_t boxes = (std::size_t{1} << static_cast<unsigned>(levels)) - 1;
    tree.lower.resize(boxes * width);
    tree.upper.resize(boxes * width);
    tree.reach.resize(tree.d >= ball_min_dims ? boxes : 0);
    detail::fill_box(tree, 0, 0, tree.n, 0);
}

namespace detail {

// The ranks that sort a short run of keys (no NaN among them): key i ranks
// #{j < i: key_j <= key_i} + #{j > i: key_j < key_i}, so the ranks are the positions of a stable
// sort, whatever computes them, and they are distinct. Each is a count of comparisons without a
// branch, one lane per key: for a few dozen keys that costs less than a selection's rounds.
// `keys` holds `count` keys and is readable up to the next multiple of four; `ranks` takes as
// many.
[[gnu::always_inline]] inline void rank_keys(const double* keys, std::size_t count,
                                             std::int64_t* ranks) {
    constexpr std::size_t lanes = 4;
    const Counts4 lane = {0, 1, 2, 3};
    for (std::size_t first = 0; first < count; first += lanes) {
        Doubles4 mine;
        __builtin_memcpy(&mine, keys + first, sizeof mine);
        // A true comparison is -1: the counts go down, and are negated at the end.
        Counts4 rank = {};
        for (std::size_t j = 0; j < first; ++j) {
            rank += (Doubles4{} + keys[j]) <= mine;
        }
        for (std::size_t j = first; j < std::min(first + lanes, count); ++j) {
            const Doubles4 other = Doubles4{} + keys[j];
            const Counts4 earlier = lane > static_cast<std::int64_t>(j - first);
            rank += ((other <= mine) & earlier) | ((other < mine) & ~earlier);
        }
        for (std::size_t j = first + lanes; j < count; ++j) {
            rank += (Doubles4{} + keys[j]) < mine;
        }
        rank = -rank;
        __builtin_memcpy(ranks + first, &rank, sizeof rank);
    }
}

inline void rank_keys_portable(const double* keys, std::size_t count, std::int64_t* ranks) {
    rank_keys(keys, count, ranks);
}

[[gnu::target("avx2")]] inline void rank_keys_avx2(const double* keys, std::size_t count,
                                                   std::int64_t* ranks) {
    rank_keys(keys, count, ranks);
}

// Builds the tree in place: the samples' rows are copied into tree order first as they stand,
// and each subtree's run of rows (coordinates and row numbers together) is then rearranged by a
// median selection along the node's dimension. Keys are read straight from the rows, in order,
// rather than through an index list into the sample matrix, and a subtree's rows end up
// contiguous, so the deeper levels work within the cache. A subtree of at most subtree_limit()
// rows is built on a small buffer of (key, offset) pairs instead, and its rows are moved once.
class Builder {
public:
    // For `count` rows of d coordinates; `slack` widens (or, negative, narrows) the selections'
    // budget of rounds. The buffers hold the largest subtree built on pairs, or all the rows
    // where there are fewer.
    Builder(double* points, std::int32_t* rows, std::size_t count, std::size_t d, int slack = 8)
        : points_(points),
          rows_(rows),
          d_(d),
          slack_(slack),
          subtree_limit_(subtree_limit(d)),
          keyed_(std::min(subtree_limit_, count)),
          scratch_(keyed_.size()),
          equal_(keyed_.size()),
          spare_(keyed_.size() * d),
          spare_rows_(keyed_.size()),
          sample_(sample_limit) {}

    // The subtree of `count` rows at position `start`: after the selection the run holds the
    // `mid` smallest keys before position mid and the others after it; swapping the median
    // with the run's first row leaves it in front of the left run, as pre-order has it. Which
    // of several equal keys lands where is free, as with any selection.
    void build(std::size_t start, std::size_t count, std::size_t depth) {
        while (count > 1) {
            if (count <= subtree_limit_) {
                build_subtree(start, count, depth);
                return;
            }
            const std::size_t dim = depth % d_;
            const std::size_t mid = count / 2;
            select(start, start + count, start + mid, dim);
            swap_rows(start, start + mid);
            build(start + 1, mid, depth + 1);
            start += 1 + mid;
            count -= 1 + mid;
            ++depth;
        }
    }

    // The largest subtree built on the pair buffer: at most 16384 coordinates (its rows, and
    // the spare copy of them, stay within the second-level cache), and no more than 512 rows
    // per coordinate beyond 1024 rows (at low d, rows cost little more to move than pairs, and
    // the long runs of rows take sampled pivots).
    static std::size_t subtree_limit(std::size_t d) {
        constexpr std::size_t spare_values = 16384;
        const std::size_t width = std::max<std::size_t>(d, 1);
        return std::max<std::size_t>(
            16, std::min(spare_values / width, std::max<std::size_t>(1024, 512 * width)));
    }

private:
    static constexpr std::size_t small_run = 16;
    // Pair runs up to this long are sorted by a network, and up to rank_run by their ranks.
    static constexpr std::size_t network_run = 4;
    static constexpr std::size_t rank_run = 24;
    // Pair runs at least this long take two pivots from a sample of sample_pairs keys,
    // sample_spread places of the sorted sample either side of the target's place in it.
    static constexpr std::size_t sampled_pairs = 128;
    static constexpr std::size_t sample_pairs = 32;
    static constexpr std::size_t sample_spread = 4;
    // Runs longer than this take their pivots from a sample of their keys.
    static constexpr std::size_t sampled_run = 2048;

    // The largest sample of keys a long run's pivots are taken from.
    static constexpr std::size_t sample_limit = 1024;

    // A row of a subtree built on the pair buffer: its key along the current node's dimension
    // and its offset from the subtree's first row (wide enough that the pair has no padding,
    // whose bytes would be read unset when a pair moves as one 16-byte value).
    struct Keyed {
        double key;
        std::uint64_t at;
    };
    static_assert(sizeof(Keyed) == sizeof(__m128i));

    double key(std::size_t row, std::size_t dim) const { return points_[row * d_ + dim]; }

    void swap_rows(std::size_t a, std::size_t b) {
        if (a != b) {
            std::swap_ranges(points_ + a * d_, points_ + a * d_ + d_, points_ + b * d_);
            std::swap(rows_[a], rows_[b]);
        }
    }

    // The whole subtree of `count` <= subtree_limit_ rows at `start`: each node selects its
    // median among the (key, offset) pairs of its run, read afresh along its own dimension; the
    // pairs end in pre-order, and the rows are then moved into that order through the spare
    // buffer, once.
    void build_subtree(std::size_t start, std::size_t count, std::size_t depth) {
        Keyed* keyed = keyed_.data();
        for (std::size_t i = 0; i < count; ++i) {
            keyed[i].at = i;
        }
        arrange(keyed, count, depth, points_ + start * d_);
        move_rows(start, count, [keyed](std::size_t i) { return keyed[i].at; });
    }

    // Puts the `count` rows at `start` in a new order, row i of it the one now at start +
    // offset(i), through the spare buffers. Plain loops: a library copy of a row of a few values
    // costs a call each.
    template <class Offset>
    void move_rows(std::size_t start, std::size_t count, Offset offset) {
        double* spare = spare_.data();
        std::int32_t* spare_rows = spare_rows_.data();
        for (std::size_t i = 0; i < count; ++i) {
            const std::size_t from_row = start + static_cast<std::size_t>(offset(i));
            const double* from = points_ + from_row * d_;
            for (std::size_t j = 0; j < d_; ++j) {
                spare[i * d_ + j] = from[j];
            }
            spare_rows[i] = rows_[from_row];
        }
        double* to = points_ + start * d_;
        for (std::size_t i = 0; i < count * d_; ++i) {
            to[i] = spare[i];
        }
        for (std::size_t i = 0; i < count; ++i) {
            rows_[start + i] = spare_rows[i];
        }
    }

    // Pre-order of the subtree whose `count` pairs start at `keyed`; `first` is the subtree's
    // first row.
    void arrange(Keyed* keyed, std::size_t count, std::size_t depth, const double* first) {
        while (count > 1) {
            const double* column = first + depth % d_;
            double smallest = column[static_cast<std::size_t>(keyed[0].at) * d_];
            double largest = smallest;
            for (std::size_t i = 0; i < count; ++i) {
                const double key = column[static_cast<std::size_t>(keyed[i].at) * d_];
                keyed[i].key = key;
                smallest = std::min(smallest, key);
                largest = std::max(largest, key);
            }
            const std::size_t mid = count / 2;
            // Where all keys are equal (duplicate samples), any order is a selection.
            if (smallest != largest) {
                select_keyed(keyed, count, mid);
            }
            std::swap(keyed[0], keyed[mid]);
            arrange(keyed + 1, mid, depth + 1, first);
            keyed += 1 + mid;
            count -= 1 + mid;
            ++depth;
        }
    }

    static void order_pair(Keyed& a, Keyed& b) {
        const Keyed low = b.key < a.key ? b : a;
        const Keyed high = b.key < a.key ? a : b;
        a = low;
        b = high;
    }

    // Selection among `count` pairs for position `target`. Each round is one pass that writes
    // every pair at three places (the front of the other buffer for keys below the low pivot,
    // its back for keys above the high one, a third buffer for those between) and advances only
    // the one its key belongs to, so no store waits on a load and no branch on a key. The pairs
    // between then fill the middle, and the search goes on in the part that holds the target.
    // A long run takes its pivots from a sorted sample of its keys, just below and just above
    // the target's rank in it, which leaves the target in a middle part of about a quarter of
    // the run; if the sample misleads, the target lies outside and the search goes on there. A
    // shorter run (or a long one whose pivots divided nothing) takes one median-of-three pivot
    // as both, so the middle holds the keys equal to it: the target among them ends the search
    // (a run of equal keys at once). The rounds alternate between the pair buffer and the
    // scratch one; pairs left behind in the scratch buffer are copied back. Short runs are
    // sorted; a selection that runs out of rounds finishes with std::nth_element.
    void select_keyed(Keyed* keyed, std::size_t count, std::size_t target) {
        Keyed* from = keyed;  // holds [lo, hi); the pairs outside it are in `keyed`
        Keyed* to = scratch_.data();
        Keyed* between = equal_.data();
        const auto keep = [keyed](const Keyed* at, std::size_t lo, std::size_t hi) {
            if (at != keyed) {
                std::copy(at + lo, at + hi, keyed + lo);
            }
        };
        std::size_t lo = 0;
        std::size_t hi = count;
        bool sampled = true;
        int budget = 2 * static_cast<int>(std::bit_width(count)) + slack_;
        while (hi - lo > rank_run) {
            if (--budget < 0) {
                keep(from, lo, hi);
                std::nth_element(keyed + lo, keyed + target, keyed + hi,
                                 [](const Keyed& a, const Keyed& b) { return a.key < b.key; });
                return;
            }
            double low;
            double high;
            if (sampled && hi - lo >= sampled_pairs) {
                pivots_from_sample(from, lo, hi, target, low, high);
            } else {
                const double a = from[lo].key;
                const double b = from[lo + (hi - lo) / 2].key;
                const double c = from[hi - 1].key;
                low = std::max(std::min(a, b), std::min(std::max(a, b), c));
                high = low;
            }
            // (Positions are counted in doubles, two to a pair, which the stores' addressing
            // scales without a shift of its own.)
            double* const to_values = &to[0].key;
            double* const between_values = &between[0].key;
            std::size_t front2 = 2 * lo;
            std::size_t back2 = 2 * hi - 2;
            std::size_t between2 = 0;
            for (std::size_t i = lo; i < hi; ++i) {
                // A pair moves as one 16-byte value, one store per place.
                const __m128i moving = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + i));
                const double key = from[i].key;
                const std::size_t below = key < low;
                const std::size_t above = high < key;
                _mm_storeu_si128(reinterpret_cast<__m128i*>(to_values + front2), moving);
                _mm_storeu_si128(reinterpret_cast<__m128i*>(to_values + back2), moving);
                _mm_storeu_si128(reinterpret_cast<__m128i*>(between_values + between2), moving);
                front2 += 2 * below;
                back2 -= 2 * above;
                between2 += 2 - 2 * (below + above);
            }
            const std::size_t front = front2 / 2;
            const std::size_t back = back2 / 2 + 1;
            std::copy(between, between + between2 / 2, to + front);
            if (target < front) {
                keep(to, front, hi);
                hi = front;
            } else if (target >= back) {
                keep(to, lo, back);
                lo = back;
            } else if (low == high) {
                keep(to, lo, hi);
                return;
            } else {
                sampled = front != lo || back != hi;
                keep(to, lo, front);
                keep(to, back, hi);
                lo = front;
                hi = back;
            }
            std::swap(from, to);
        }
        keep(from, lo, hi);
        sort_run(keyed + lo, hi - lo);
    }

    // The pivots of a long run [lo, hi) of `from`: the keys of an evenly spread sample of
    // sample_pairs, sorted, sample_spread places either side of the target's place in it. Where the
    // sample has the key at that place as often as that (duplicate samples), the target most
    // likely lies among the keys equal to it: both pivots that.
    static void pivots_from_sample(const Keyed* from, std::size_t lo, std::size_t hi,
                                   std::size_t target, double& low, double& high) {
        const std::size_t count = hi - lo;
        alignas(32) double sample[sample_pairs];
        alignas(32) std::int64_t ranks[sample_pairs];
        double sorted[sample_pairs];
        for (std::size_t i = 0; i < sample_pairs; ++i) {
            sample[i] = from[lo + i * count / sample_pairs].key;
            sorted[i] = sample[i];
        }
        quillbrax::dispatch<rank_keys_portable, rank_keys_avx2>(sample, sample_pairs, ranks);
        for (std::size_t i = 0; i < sample_pairs; ++i) {
            sorted[ranks[i]] = sample[i];
        }
        const std::size_t place = (target - lo) * sample_pairs / count;
        const double centre = sorted[place];
        low = sorted[place - std::min(place, sample_spread)];
        high = sorted[std::min(place + sample_spread, sample_pairs - 1)];
        if (centre == low || centre == high) {
            low = centre;
            high = centre;
        }
    }

    // Sorts the at most rank_run pairs at `keyed`: a network for up to four, else by their
    // ranks.
    static void sort_run(Keyed* keyed, std::size_t count) {
        if (count <= network_run) {
            sort_short(keyed, count);
            return;
        }
        alignas(32) double keys[rank_run + 4] = {};
        alignas(32) std::int64_t ranks[rank_run + 4];
        // (sorted starts as a copy, so that no slot is read unset even where the ranks were
        // not distinct, as they always are without NaN)
        Keyed sorted[rank_run];
        std::copy(keyed, keyed + count, sorted);
        for (std::size_t i = 0; i < count; ++i) {
            keys[i] = keyed[i].key;
        }
        quillbrax::dispatch<rank_keys_portable, rank_keys_avx2>(keys, count, ranks);
        for (std::size_t i = 0; i < count; ++i) {
            sorted[ranks[i]] = keyed[i];
        }
        std::copy(sorted, sorted + count, keyed);
    }

    // Sorts at most network_run (4) pairs by a network of compare-exchanges.
    static void sort_short(Keyed* keyed, std::size_t count) {
        if (count == 4) {
            order_pair(keyed[0], keyed[1]);
            order_pair(keyed[2], keyed[3]);
            order_pair(keyed[0], keyed[2]);
            order_pair(keyed[1], keyed[3]);
            order_pair(keyed[1], keyed[2]);
        } else if (count == 3) {
            order_pair(keyed[0], keyed[1]);
            order_pair(keyed[1], keyed[2]);
            order_pair(keyed[0], keyed[1]);
        } else if (count == 2) {
            order_pair(keyed[0], keyed[1]);
        }
    }

    // Quickselect on [lo, hi) for position `target`. A long run takes two pivots from a sorted
    // sample of its keys, just below and just above the target's rank in it, moves the keys
    // below the low one to the front and then, of the others, the keys up to the high one (a
    // pass over what is left after the first only), which leaves the target in a short middle
    // run after about 1.5 passes, where a median of three needs several; if the sample
    // misleads, the target lies outside and the search goes on there. A shorter run takes a
    // median-of-three pivot. The partition counts equal keys as
    // misplaced on both sides, so runs of duplicates split evenly; the last few rows are sorted.
    // A selection that fails to shrink its range fast enough finishes with std::nth_element,
    // which bounds the worst case.
    void select(std::size_t lo, std::size_t hi, std::size_t target, std::size_t dim) {
        int budget = 2 * static_cast<int>(std::bit_width(hi - lo)) + slack_;
        while (hi - lo > small_run) {
            if (--budget < 0) {
                select_by_index(lo, hi, target, dim);
                return;
            }
            if (hi - lo > sampled_run) {
                if (bracket(lo, hi, target, dim)) {
                    return;
                }
                continue;
            }
            median_round(lo, hi, target, dim);
        }
        sort_small(lo, hi, dim);
    }

    // One round of the selection with a median-of-three pivot: narrows [lo, hi) (more than
    // two rows) to the side of the partition that holds the target.
    void median_round(std::size_t& lo, std::size_t& hi, std::size_t target, std::size_t dim) {
        const std::size_t middle = lo + (hi - lo) / 2;
        // Order the keys at lo, middle and hi - 1; the middle one is the pivot, and the outer
        // two bound both scans of the partition.
        if (key(middle, dim) < key(lo, dim)) swap_rows(middle, lo);
        if (key(hi - 1, dim) < key(middle, dim)) {
            swap_rows(hi - 1, middle);
            if (key(middle, dim) < key(lo, dim)) swap_rows(middle, lo);
        }
        const double pivot = key(middle, dim);
        const std::size_t j = partition(lo, hi, pivot, dim);
        // [lo, j] holds keys <= pivot and [j + 1, hi) keys >= pivot; neither is empty.
        if (target <= j) {
            hi = j + 1;
        } else {
            lo = j + 1;
        }
    }

    // One round of the selection on a long run [lo, hi): narrows it to the part between two
    // sampled pivots that most likely holds the target (keys below the low pivot are moved to
    // the front, then keys up to the high one next), or to the part outside them that does.
    // Returns true when the target is placed: the pivots are equal and so is every key between.
    // A round that cannot narrow the run (all its keys lie between the pivots) leaves it to a
    // median of three.
    bool bracket(std::size_t& lo, std::size_t& hi, std::size_t target, std::size_t dim) {
        // An evenly spread sample of keys, sorted.
        const std::size_t count = hi - lo;
        const std::size_t size =
            std::min(sample_.size(),
                     std::max<std::size_t>(
                         64, 2 * static_cast<std::size_t>(std::sqrt(static_cast<double>(count)))));
        double* sample = sample_.data();
        for (std::size_t i = 0; i < size; ++i) {
            sample[i] = key(lo + i * count / size, dim);
        }
        std::sort(sample, sample + size);
        // The target's place in the sample, and three standard deviations of the sample rank
        // of the target's key on either side of it.
        const double place = static_cast<double>(target - lo) * static_cast<double>(size) /
                             static_cast<double>(count);
        const double spread = 1.5 * std::sqrt(static_cast<double>(size));
        const auto rank = [size](double at) {
            return static_cast<std::size_t>(std::clamp(at, 0.0, static_cast<double>(size - 1)));
        };
        double low = sample[rank(place - spread)];
        double high = sample[rank(place + spread)];
        // Where the sample has the key at the target's place as often as that (duplicate
        // samples), the target most likely lies among the keys equal to it: both pivots that.
        const double centre = sample[rank(place)];
        if (centre == low || centre == high) {
            low = centre;
            high = centre;
        }
        // A key equal to low lies in the run, so `below` < hi, and a key up to high lies at or
        // after `below`, so `between` > below: every branch but the last narrows the run.
        const std::size_t below = split_rows(lo, hi, dim, [low](double key) { return key < low; });
        if (target < below) {
            hi = below;
            return false;
        }
        const std::size_t between =
            split_rows(below, hi, dim, [high](double key) { return !(high < key); });
        if (target >= between) {
            lo = between;
            return false;
        }
        if (low == high) {
            return true;
        }
        if (below != lo || between != hi) {
            lo = below;
            hi = between;
            return false;
        }
        median_round(lo, hi, target, dim);
        return false;
    }

    // The branch-free part of both partitions: blocks of rows at both ends of [l, end) are
    // classified without branching (the offsets of the rows on the wrong side, wrong_left at the
    // left end and wrong_right at the right, are recorded, then swapped in pairs), which spares
    // the mispredicted branches of a plain scan. Stops with fewer than two blocks between l and
    // end; the rows before l and from end on are then in place.
    template <class WrongLeft, class WrongRight>
    void swap_blocks(std::size_t& l, std::size_t& end, WrongLeft wrong_left_at,
                     WrongRight wrong_right_at) {
        constexpr std::size_t block = 64;
        std::uint8_t wrong_left[block];
        std::uint8_t wrong_right[block];
        std::size_t count_left = 0;
        std::size_t count_right = 0;
        std::size_t first_left = 0;
        std::size_t first_right = 0;
        while (end - l >= 2 * block) {
            if (count_left == 0) {
                first_left = 0;
                for (std::size_t i = 0; i < block; ++i) {
                    wrong_left[count_left] = static_cast<std::uint8_t>(i);
                    count_left += static_cast<std::size_t>(wrong_left_at(l + i));
                }
            }
            if (count_right == 0) {
                first_right = 0;
                for (std::size_t i = 0; i < block; ++i) {
                    wrong_right[count_right] = static_cast<std::uint8_t>(i);
                    count_right += static_cast<std::size_t>(wrong_right_at(end - 1 - i));
                }
            }
            const std::size_t pairs = std::min(count_left, count_right);
            for (std::size_t m = 0; m < pairs; ++m) {
                swap_rows(l + wrong_left[first_left + m], end - 1 - wrong_right[first_right + m]);
            }
            count_left -= pairs;
            count_right -= pairs;
            first_left += pairs;
            first_right += pairs;
            if (count_left == 0) {
                l += block;
            }
            if (count_right == 0) {
                end -= block;
            }
        }
    }

    // Moves the rows of [lo, hi) whose keys along `dim` satisfy `first` before the others and
    // returns where the others begin: swap_blocks, then a plain scan of what is left between.
    template <class Predicate>
    std::size_t split_rows(std::size_t lo, std::size_t hi, std::size_t dim, Predicate first) {
        std::size_t l = lo;  // the rows still to place are [l, r)
        std::size_t r = hi;
        swap_blocks(
            l, r, [&](std::size_t at) { return !first(key(at, dim)); },
            [&](std::size_t at) { return first(key(at, dim)); });
        while (true) {
            while (l < r && first(key(l, dim))) {
                ++l;
            }
            while (l < r && !first(key(r - 1, dim))) {
                --r;
            }
            if (l == r) {
                return l;
            }
            // key(l) does not satisfy `first` and key(r - 1) does, so l < r - 1.
            swap_rows(l, r - 1);
            ++l;
            --r;
        }
    }

    // Sorts the at most `small_run` rows of [lo, hi) by key: an insertion sort of (key, offset)
    // pairs, then move_rows into that order.
    void sort_small(std::size_t lo, std::size_t hi, std::size_t dim) {
        const std::size_t count = hi - lo;
        double keys[small_run];
        std::size_t order[small_run];
        for (std::size_t i = 0; i < count; ++i) {
            const double moving = key(lo + i, dim);
            std::size_t at = i;
            while (at > 0 && moving < keys[at - 1]) {
                keys[at] = keys[at - 1];
                order[at] = order[at - 1];
                --at;
            }
            keys[at] = moving;
            order[at] = i;
        }
        move_rows(lo, count, [&order](std::size_t i) { return order[i]; });
    }

    // Partitions [lo, hi) around `pivot`, given key(lo) <= pivot <= key(hi - 1): returns j with
    // keys <= pivot on [lo, j] and >= pivot on [j + 1, hi), lo <= j <= hi - 2: swap_blocks,
    // then a Hoare scan of what is left between. Keys equal to the pivot count as misplaced on
    // both sides, so duplicates still split evenly.
    std::size_t partition(std::size_t lo, std::size_t hi, double pivot, std::size_t dim) {
        std::size_t l = lo + 1;  // the rows still to place are [l, end); lo and hi - 1 are placed
        std::size_t end = hi - 1;
        swap_blocks(
            l, end, [&](std::size_t at) { return !(key(at, dim) < pivot); },
            [&](std::size_t at) { return !(pivot < key(at, dim)); });
        // Rows before l hold keys <= pivot and rows from end on keys >= pivot (lo and hi - 1
        // among them), so both scans stop within [lo, hi - 1]; j starts at most at hi - 2.
        std::size_t i = l - 1;
        std::size_t j = end;
        while (true) {
            do {
                ++i;
            } while (key(i, dim) < pivot);
            do {
                --j;
            } while (pivot < key(j, dim));
            if (i >= j) {
                return j;
            }
            swap_rows(i, j);
        }
    }

    void select_by_index(std::size_t lo, std::size_t hi, std::size_t target, std::size_t dim) {
        std::vector<std::size_t> order(hi - lo);
        for (std::size_t i = 0; i < order.size(); ++i) {
            order[i] = lo + i;
        }
        std::nth_element(
            order.begin(), order.begin() + static_cast<std::ptrdiff_t>(target - lo), order.end(),
            [this, dim](std::size_t a, std::size_t b) { return key(a, dim) < key(b, dim); });
        std::vector<double> points(order.size() * d_);
        std::vector<std::int32_t> rows(order.size());
        for (std::size_t i = 0; i < order.size(); ++i) {
            std::copy(points_ + order[i] * d_, points_ + order[i] * d_ + d_,
                      points.begin() + static_cast<std::ptrdiff_t>(i * d_));
            rows[i] = rows_[order[i]];
        }
        std::copy(points.begin(), points.end(), points_ + lo * d_);
        std::copy(rows.begin(), rows.end(), rows_ + lo);
    }

    double* points_;
    std::int32_t* rows_;
    std::size_t d_;
    int slack_;
    std::size_t subtree_limit_;
    std::vector<Keyed> keyed_;
    std::vector<Keyed> scratch_;
    std::vector<Keyed> equal_;
    std::vector<double> spare_;
    std::vector<std::int32_t> spare_rows_;
    std::vector<double> sample_;
};

}  // namespace detail

// Builds the tree over n samples of d coordinates (row-major). Needs d >= 1 when n >= 2, and no
// NaN among the coordinates (the median selection needs a strict weak order).
inline KDTree build_tree(const double* data, std::int32_t n, std::int32_t d) {
    KDTree tree;
    tree.n = n;
    tree.d = d;
    const auto count = static_cast<std::size_t>(n);
    const auto width = static_cast<std::size_t>(d);
    tree.points.assign(data, data + count * width);
    tree.rows.resize(count);
    for (std::int32_t i = 0; i < n; ++i) {
        tree.rows[static_cast<std::size_t>(i)] = i;
    }
    if (n >= 2) {
        detail::Builder(tree.points.data(), tree.rows.data(), count, width).build(0, count, 0);
    }
    set_bounds(tree);
    return tree;
}

// Whether `points` (count rows of d coordinates, in tree order) and `rows` describe a tree that
// build_tree can return: every row number 0 .. count-1 exactly once, no NaN, and at every inner
// node the left subtree's coordinates along the node's dimension at most its own and the right
// subtree's at least. A tree restored from saved arrays is checked with it. Needs d >= 1 when
// count >= 2. Each node's run is scanned once per ancestor: O(n log n) reads.
inline bool valid_tree(const double* points, const std::int32_t* rows, std::int32_t count,
                       std::int32_t d) {
    const auto size = static_cast<std::size_t>(count);
    const auto width = static_cast<std::size_t>(d);
    std::vector<bool> seen(size, false);
    for (std::size_t p = 0; p < size; ++p) {
        const std::int32_t row = rows[p];
        if (row < 0 || row >= count || seen[static_cast<std::size_t>(row)]) {
            return false;
        }
        seen[static_cast<std::size_t>(row)] = true;
    }
    if (std::any_of(points, points + size * width, [](double v) { return std::isnan(v); })) {
        return false;
    }
    struct Pending {
        std::int32_t node;
        std::int32_t size;
        std::int32_t depth;
    };
    std::vector<Pending> pending;
    if (count >= 2) {
        pending.push_back({0, count, 0});
    }
    while (!pending.empty()) {
        const Pending at = pending.back();
        pending.pop_back();
        const auto dim = static_cast<std::size_t>(at.depth % d);
        const double val = points[static_cast<std::size_t>(at.node) * width + dim];
        const std::int32_t left_size = at.size / 2;
        const std::int32_t right_size = at.size - left_size - 1;
        const std::int32_t end = at.node + at.size;
        for (std::int32_t q = at.node + 1; q < end; ++q) {
            const double v = points[static_cast<std::size_t>(q) * width + dim];
            if (q <= at.node + left_size ? v > val : v < val) {
                return false;
            }
        }
        if (left_size >= 2) {
            pending.push_back({at.node + 1, left_size, at.depth + 1});
        }
        if (right_size >= 2) {
            pending.push_back({at.node + 1 + left_size, right_size, at.depth + 1});
        }
    }
    return true;
}

// One node as a record: the sample's row, the split (dimension 0 and value 0.0 at a leaf) and
// the children's positions (no_node when absent).
struct Node {
    std::int32_t idx = 0;
    std::int32_t dim = 0;
    double val = 0.0;
    std::int32_t left = no_node;
    std::int32_t right = no_node;
};

// Every node as a record, in pre-order, for inspecting the tree's shape; the root is at 0.
inline std::vector<Node> node_records(const KDTree& tree) {
    std::vector<Node> nodes(static_cast<std::size_t>(tree.n));
    const auto d = static_cast<std::size_t>(tree.d);
    struct Pending {
        std::int32_t node;
        std::int32_t size;
        std::int32_t depth;
    };
    std::vector<Pending> pending;
    if (tree.n > 0) {
        pending.push_back({0, tree.n, 0});
    }
    while (!pending.empty()) {
        const Pending at = pending.back();
        pending.pop_back();
        Node& node = nodes[static_cast<std::size_t>(at.node)];
        node.idx = tree.rows[static_cast<std::size_t>(at.node)];
        if (at.size == 1) {
            continue;
        }
        node.dim = at.depth % tree.d;
        node.val =
            tree.points[static_cast<std::size_t>(at.node) * d + static_cast<std::size_t>(node.dim)];
        const std::int32_t left_size = at.size / 2;
        const std::int32_t right_size = at.size - left_size - 1;
        node.left = at.node + 1;
        pending.push_back({node.left, left_size, at.depth + 1});
        if (right_size > 0) {
            node.right = at.node + 1 + left_size;
            pending.push_back({node.right, right_size, at.depth + 1});
        }
    }
    return nodes;
}

// One candidate; candidates are ordered by distance alone.
struct HeapItem {
    double dist;
    std::int32_t idx;
};

// Bounded max-heap of the best candidates so far; the top is the current k-th best. The sift
// rules fix which of several equally distant candidates survives and the order in which ties
// are written, so they are spelled out here rather than left to std::push_heap/pop_heap.
//
// The storage for `capacity` items is taken once and reused by every query row of a call; the
// items live in a plain array reached through one pointer, which the sifts keep in a register.
class CandidateHeap {
public:
    explicit CandidateHeap(std::size_t capacity) : storage_(std::max<std::size_t>(capacity, 1)) {}

    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    const HeapItem& top() const { return storage_[0]; }
    const HeapItem* items() const { return storage_.data(); }
    void clear() { size_ = 0; }

    // Needs size() < capacity.
    [[gnu::always_inline]] void insert(HeapItem item) {
        sift_up(storage_.data(), size_, item);
        ++size_;
    }

    // Needs size() >= 1.
    [[gnu::always_inline]] void remove_top() {
        --size_;
        HeapItem* items = storage_.data();
        const HeapItem last = items[size_];
        const std::size_t count = size_;
        if (count == 0) {
            return;
        }
        sift_up(items, sink_hole(items, count), last);
    }

    // remove_top() and then insert(item). Needs size() >= 1.
    [[gnu::always_inline]] void replace_top(HeapItem item) {
        remove_top();
        insert(item);
    }

private:
    // Moves the hole left at slot 0 down to a slot without children among the first `count`
    // items, each time filling it from the child that the removal rule takes; returns the slot.
    static std::size_t sink_hole(HeapItem* items, std::size_t count) {
        std::size_t hole = 0;
        while (2 * hole + 2 < count) {
            // The right child unless it is strictly nearer than the left. (A choice without a
            // branch measured slower: each level's loads then wait for the previous comparison.)
            std::size_t child = 2 * hole + 2;
            if (items[child].dist < items[child - 1].dist) {
                --child;
            }
            items[hole] = items[child];
            hole = child;
        }
        if (2 * hole + 1 < count) {
            items[hole] = items[2 * hole + 1];
            hole = 2 * hole + 1;
        }
        return hole;
    }

    static void sift_up(HeapItem* items, std::size_t hole, HeapItem item) {
        while (hole > 0) {
            const std::size_t parent = (hole - 1) / 2;
            if (!(items[parent].dist < item.dist)) {
                break;
            }
            items[hole] = items[parent];
            hole = parent;
        }
        items[hole] = item;
    }

    std::vector<HeapItem> storage_;
    std::size_t size_ = 0;
};

// Inserts the finite distance x (with its index idx) into the ascending array of `lanes` slots,
// dropping the last: each slot above x takes the slot below it, or x where that is not above.
// Slots past the array's end hold NaN, which is neither above nor equal to anything, so they
// never change. Returns whether x equals a distance held. Without branches; written three
// times, for the baseline (SSE2) two slots at a time, for AVX2 four and for AVX-512 eight
// (`lanes` a multiple of 4, or of 8 for AVX-512).
inline bool place_sorted_portable(double* dists, std::int64_t* idxs, std::size_t lanes, double x,
                                  std::int64_t idx) {
    const __m128d xs = _mm_set1_pd(x);
    const __m128d x_idxs = _mm_castsi128_pd(_mm_set1_epi64x(idx));
    __m128d below = _mm_set1_pd(-infinity);
    __m128d below_idxs = _mm_setzero_pd();
    __m128d equal = _mm_setzero_pd();
    auto* idx_lanes = reinterpret_cast<double*>(idxs);
    const auto select = [](__m128d mask, __m128d yes, __m128d no) {
        return _mm_or_pd(_mm_and_pd(mask, yes), _mm_andnot_pd(mask, no));
    };
    for (std::size_t i = 0; i < lanes; i += 2) {
        const __m128d held = _mm_loadu_pd(dists + i);
        const __m128d held_idxs = _mm_loadu_pd(idx_lanes + i);
        const __m128d shifted = _mm_shuffle_pd(below, held, 1);
        const __m128d shifted_idxs = _mm_shuffle_pd(below_idxs, held_idxs, 1);
        const __m128d above = _mm_cmpgt_pd(held, xs);
        const __m128d shifted_above = _mm_cmpgt_pd(shifted, xs);
        equal = _mm_or_pd(equal, _mm_cmpeq_pd(held, xs));
        _mm_storeu_pd(dists + i, select(above, select(shifted_above, shifted, xs), held));
        _mm_storeu_pd(idx_lanes + i,
                      select(above, select(shifted_above, shifted_idxs, x_idxs), held_idxs));
        below = held;
        below_idxs = held_idxs;
    }
    return _mm_movemask_pd(equal) != 0;
}

[[gnu::target("avx2")]] inline bool place_sorted_avx2(double* dists, std::int64_t* idxs,
                                                      std::size_t lanes, double x,
                                                      std::int64_t idx) {
    const __m256d xs = _mm256_set1_pd(x);
    const __m256d x_idxs = _mm256_castsi256_pd(_mm256_set1_epi64x(idx));
    // The slots of the previous four, rotated up by one: its last slot in lane 0.
    __m256d below = _mm256_set1_pd(-infinity);
    __m256d below_idxs = _mm256_setzero_pd();
    __m256d equal = _mm256_setzero_pd();
    auto* idx_lanes = reinterpret_cast<double*>(idxs);
    for (std::size_t i = 0; i < lanes; i += 4) {
        const __m256d held = _mm256_loadu_pd(dists + i);
        const __m256d held_idxs = _mm256_loadu_pd(idx_lanes + i);
        const __m256d rotated = _mm256_permute4x64_pd(held, 0x93);
        const __m256d rotated_idxs = _mm256_permute4x64_pd(held_idxs, 0x93);
        const __m256d shifted = _mm256_blend_pd(rotated, below, 1);
        const __m256d shifted_idxs = _mm256_blend_pd(rotated_idxs, below_idxs, 1);
        const __m256d above = _mm256_cmp_pd(held, xs, _CMP_GT_OQ);
        const __m256d shifted_above = _mm256_cmp_pd(shifted, xs, _CMP_GT_OQ);
        equal = _mm256_or_pd(equal, _mm256_cmp_pd(held, xs, _CMP_EQ_OQ));
        _mm256_storeu_pd(
            dists + i, _mm256_blendv_pd(held, _mm256_blendv_pd(xs, shifted, shifted_above), above));
        _mm256_storeu_pd(
            idx_lanes + i,
            _mm256_blendv_pd(held_idxs, _mm256_blendv_pd(x_idxs, shifted_idxs, shifted_above),
                             above));
        below = rotated;
        below_idxs = rotated_idxs;
    }
    return _mm256_movemask_pd(equal) != 0;
}

[[gnu::target("avx512f,avx512dq,avx512vl")]] inline bool place_sorted_avx512(
    double* dists, std::int64_t* idxs, std::size_t lanes, double x, std::int64_t idx) {
    const __m512d xs = _mm512_set1_pd(x);
    const __m512i x_idxs = _mm512_set1_epi64(idx);
    // The slots of the previous eight (its last slot is the one below this one's first).
    __m512d below = _mm512_set1_pd(-infinity);
    __m512i below_idxs = _mm512_setzero_si512();
    __mmask8 equal = 0;
    for (std::size_t i = 0; i < lanes; i += 8) {
        const __m512d held = _mm512_loadu_pd(dists + i);
        const __m512i held_idxs = _mm512_loadu_si512(idxs + i);
        // Each slot's lower neighbour: the slots shifted up by one, the previous eight's last
        // one in front. (The zero-masking form with every lane kept: GCC 12 warns of the plain
        // form's undefined source register.)
        const __m512d shifted = _mm512_castsi512_pd(_mm512_maskz_alignr_epi64(
            0xFF, _mm512_castpd_si512(held), _mm512_castpd_si512(below), 7));
        const __m512i shifted_idxs = _mm512_maskz_alignr_epi64(0xFF, held_idxs, below_idxs, 7);
        const __mmask8 above = _mm512_cmp_pd_mask(held, xs, _CMP_GT_OQ);
        const __mmask8 shifted_above = _mm512_cmp_pd_mask(shifted, xs, _CMP_GT_OQ);
        equal |= _mm512_cmp_pd_mask(held, xs, _CMP_EQ_OQ);
        _mm512_storeu_pd(
            dists + i,
            _mm512_mask_blend_pd(above, held, _mm512_mask_blend_pd(shifted_above, xs, shifted)));
        _mm512_storeu_si512(
            idxs + i,
            _mm512_mask_blend_epi64(above, held_idxs,
                                    _mm512_mask_blend_epi64(shifted_above, x_idxs, shifted_idxs)));
        below = held;
        below_idxs = held_idxs;
    }
    return equal != 0;
}

// The candidates of one query row: the heap, or, for a search in any order (Search::run) with
// 2 <= k <= sorted_limit, an array sorted by distance. An insertion into the array is a few
// vector comparisons and blends without a branch, where the heap's sifts take branches that no
// predictor learns, and it tells whether the new distance equals one held (a tie, which the
// search in any order cannot settle). The array holds finite distances only (its empty slots
// hold +inf). Up to k = 32 with AVX-512 (rows of k = 32 took 0.5-0.9 times the time of the
// heap's search on a Xeon), up to 16 without: AVX2's insertions, twice as many vectors and a
// permutation for each shift, cost more than the sifts at k = 32.
class Candidates {
public:
    static std::size_t sorted_limit() { return quillbrax::cpu_has_avx512() ? 32 : 16; }

    explicit Candidates(std::size_t k)
        : k_(k),
          heap_(k),
          lanes_(quillbrax::cpu_has_avx512() ? (k + 7) / 8 * 8 : (k + 3) / 4 * 4),
          dists_(lanes_),
          idxs_(lanes_) {}

    // Starts a row, in the array where `sorted` and k allow it, else in the heap.
    void clear(bool sorted) {
        sorted_ = sorted && k_ >= 2 && k_ <= sorted_limit();
        heap_.clear();
        count_ = 0;
        worst_ = -infinity;
        tie_ = false;
        if (sorted_) {
            std::fill(dists_.begin(), dists_.begin() + static_cast<std::ptrdiff_t>(k_), infinity);
            std::fill(dists_.begin() + static_cast<std::ptrdiff_t>(k_), dists_.end(),
                      std::numeric_limits<double>::quiet_NaN());
        }
    }

    std::size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }
    // The largest distance held (the heap's top); needs size() >= 1.
    double worst() const { return worst_; }

    // Needs size() < k, and a finite distance in the array.
    [[gnu::always_inline]] void insert(HeapItem item) {
        ++count_;
        if (sorted_) {
            worst_ = std::max(worst_, item.dist);
            place(item);
        } else {
            heap_.insert(item);
            worst_ = heap_.top().dist;
        }
    }

    // In place of the largest; needs size() == k and item.dist < worst().
    [[gnu::always_inline]] void replace_worst(HeapItem item) {
        if (sorted_) {
            // The largest after: the larger of the new distance and the second largest before.
            worst_ = std::max(item.dist, dists_[k_ - 2]);
            place(item);
        } else {
            heap_.replace_top(item);
            worst_ = heap_.top().dist;
        }
    }

    // Whether two distances in the array were ever equal.
    bool tie() const { return tie_; }
    // Whether the row is in the array, nearest first (sorted_dists, sorted_idxs), or the heap.
    bool sorted() const { return sorted_; }
    const double* sorted_dists() const { return dists_.data(); }
    const std::int64_t* sorted_idxs() const { return idxs_.data(); }
    CandidateHeap& heap() { return heap_; }

private:
    [[gnu::always_inline]] void place(HeapItem item) {
        tie_ =
            quillbrax::dispatch_wide<place_sorted_portable, place_sorted_avx2, place_sorted_avx512>(
                dists_.data(), idxs_.data(), lanes_, item.dist, item.idx) ||
            tie_;
    }

    std::size_t k_;
    CandidateHeap heap_;
    std::size_t lanes_;
    std::vector<double> dists_;
    std::vector<std::int64_t> idxs_;
    std::size_t count_ = 0;
    double worst_ = -infinity;
    bool sorted_ = false;
    bool tie_ = false;
};

// `sq` that may stop early: once the running sum reaches `limit` it is returned as it stands.
// The sum never decreases (every term is a square), so a result at or above `limit` means the
// full distance is too; below `limit` the result is the full distance, bit for bit.
inline double sq_below(const double* a, const double* b, std::size_t d, double limit) {
    double sum = 0.0;
    std::size_t i = 0;
    for (; i + 4 <= d; i += 4) {
        for (std::size_t j = i; j < i + 4; ++j) {
            const double diff = a[j] - b[j];
            sum += diff * diff;
        }
        if (sum >= limit) {
            return sum;
        }
    }
    for (; i < d; ++i) {
        const double diff = a[i] - b[i];
        sum += diff * diff;
    }
    return sum;
}

// Squared distances from q to `count` <= 64 consecutive rows of d coordinates, out[r] for row r,
// each one summed exactly as `sq` sums it; the rows are independent lanes, four at a time.
// Returns the rows whose distance is strictly below `limit`, bit r for row r.
inline std::uint64_t batch_sq_portable(const double* q, const double* rows, std::size_t count,
                                       std::size_t d, double* out, double limit) {
    std::size_t r = 0;
    for (; r + 4 <= count; r += 4) {
        const double* row = rows + r * d;
        double sum0 = 0.0;
        double sum1 = 0.0;
        double sum2 = 0.0;
        double sum3 = 0.0;
        for (std::size_t j = 0; j < d; ++j) {
            const double diff0 = q[j] - row[j];
            const double diff1 = q[j] - row[d + j];
            const double diff2 = q[j] - row[2 * d + j];
            const double diff3 = q[j] - row[3 * d + j];
            sum0 += diff0 * diff0;
            sum1 += diff1 * diff1;
            sum2 += diff2 * diff2;
            sum3 += diff3 * diff3;
        }
        out[r] = sum0;
        out[r + 1] = sum1;
        out[r + 2] = sum2;
        out[r + 3] = sum3;
    }
    for (; r < count; ++r) {
        out[r] = sq(q, rows + r * d, d);
    }
    std::uint64_t below = 0;
    for (r = 0; r < count; ++r) {
        below |= static_cast<std::uint64_t>(out[r] < limit) << r;
    }
    return below;
}

// The same with one AVX2 lane per row: four coordinates of four rows are loaded and transposed,
// so that each vector holds one coordinate of the four rows, added in coordinate order; the
// four sums are compared with `limit` in one instruction.
[[gnu::target("avx2")]] inline std::uint64_t batch_sq_avx2(const double* q, const double* rows,
                                                           std::size_t count, std::size_t d,
                                                           double* out, double limit) {
    const __m256d limits = _mm256_set1_pd(limit);
    std::uint64_t below = 0;
    std::size_t r = 0;
    for (; r + 4 <= count; r += 4) {
        const double* row0 = rows + r * d;
        const double* row1 = row0 + d;
        const double* row2 = row1 + d;
        const double* row3 = row2 + d;
        __m256d sum = _mm256_setzero_pd();
        std::size_t j = 0;
        for (; j + 4 <= d; j += 4) {
            const __m256d x0 = _mm256_loadu_pd(row0 + j);
            const __m256d x1 = _mm256_loadu_pd(row1 + j);
            const __m256d x2 = _mm256_loadu_pd(row2 + j);
            const __m256d x3 = _mm256_loadu_pd(row3 + j);
            const __m256d even01 = _mm256_unpacklo_pd(x0, x1);  // j, j+2 of rows 0 and 1
            const __m256d odd01 = _mm256_unpackhi_pd(x0, x1);   // j+1, j+3
            const __m256d even23 = _mm256_unpacklo_pd(x2, x3);
            const __m256d odd23 = _mm256_unpackhi_pd(x2, x3);
            const __m256d column[4] = {_mm256_permute2f128_pd(even01, even23, 0x20),
                                       _mm256_permute2f128_pd(odd01, odd23, 0x20),
                                       _mm256_permute2f128_pd(even01, even23, 0x31),
                                       _mm256_permute2f128_pd(odd01, odd23, 0x31)};
            for (std::size_t m = 0; m < 4; ++m) {
                const __m256d diff = _mm256_sub_pd(_mm256_set1_pd(q[j + m]), column[m]);
                sum = _mm256_add_pd(sum, _mm256_mul_pd(diff, diff));
            }
        }
        for (; j < d; ++j) {
            const __m256d diff = _mm256_sub_pd(_mm256_set1_pd(q[j]),
                                               _mm256_set_pd(row3[j], row2[j], row1[j], row0[j]));
            sum = _mm256_add_pd(sum, _mm256_mul_pd(diff, diff));
        }
        _mm256_storeu_pd(out + r, sum);
        const int lanes = _mm256_movemask_pd(_mm256_cmp_pd(sum, limits, _CMP_LT_OQ));
        below |= static_cast<std::uint64_t>(static_cast<unsigned>(lanes)) << r;
    }
    for (; r < count; ++r) {
        out[r] = sq(q, rows + r * d, d);
        below |= static_cast<std::uint64_t>(out[r] < limit) << r;
    }
    return below;
}

// The same with one AVX-512 lane per row, for rows of one to three coordinates (longer rows take
// the AVX2 kernel): eight rows are d whole vectors, loaded as they lie (the elements past the
// last row masked off, so never read) and sorted into one vector per coordinate by
// permutations, where the AVX2 kernel gathers short rows element by element.
[[gnu::target("avx512f,avx512dq,avx512vl")]] inline std::uint64_t batch_sq_avx512(
    const double* q, const double* rows, std::size_t count, std::size_t d, double* out,
    double limit) {
    if (d == 0 || d > 3) {
        return batch_sq_avx2(q, rows, count, d, out, limit);
    }
    // Coordinate j of eight rows of two: elements j, j + 2, …, of the two vectors.
    const __m512i pairs[2] = {_mm512_setr_epi64(0, 2, 4, 6, 8, 10, 12, 14),
                              _mm512_setr_epi64(1, 3, 5, 7, 9, 11, 13, 15)};
    // Of three: elements j, j + 3, … of the first two vectors, then those of the third.
    const __m512i triples[3] = {_mm512_setr_epi64(0, 3, 6, 9, 12, 15, 0, 0),
                                _mm512_setr_epi64(1, 4, 7, 10, 13, 0, 0, 0),
                                _mm512_setr_epi64(2, 5, 8, 11, 14, 0, 0, 0)};
    const __m512i thirds[3] = {_mm512_setr_epi64(0, 1, 2, 3, 4, 5, 10, 13),
                               _mm512_setr_epi64(0, 1, 2, 3, 4, 8, 11, 14),
                               _mm512_setr_epi64(0, 1, 2, 3, 4, 9, 12, 15)};
    const __m512d limits = _mm512_set1_pd(limit);
    std::uint64_t below = 0;
    for (std::size_t r = 0; r < count; r += 8) {
        const std::size_t here = std::min<std::size_t>(8, count - r);
        const std::size_t elements = here * d;
        const double* first = rows + r * d;
        __m512d parts[3];
        for (std::size_t t = 0; t < d; ++t) {
            const std::size_t left = elements > 8 * t ? elements - 8 * t : 0;
            const auto mask = static_cast<__mmask8>(left >= 8 ? 0xFF : (1U << left) - 1);
            parts[t] = _mm512_maskz_loadu_pd(mask, first + 8 * t);
        }
        __m512d sum = _mm512_setzero_pd();
        for (std::size_t j = 0; j < d; ++j) {
            const __m512d column =
                d == 1 ? parts[0]
                : d == 2
                    ? _mm512_permutex2var_pd(parts[0], pairs[j], parts[1])
                    : _mm512_permutex2var_pd(_mm512_permutex2var_pd(parts[0], triples[j], parts[1]),
                                             thirds[j], parts[2]);
            const __m512d diff = _mm512_sub_pd(_mm512_set1_pd(q[j]), column);
            sum = _mm512_add_pd(sum, _mm512_mul_pd(diff, diff));
        }
        const auto rows_here = static_cast<__mmask8>((1U << here) - 1);
        _mm512_mask_storeu_pd(out + r, rows_here, sum);
        below |=
            static_cast<std::uint64_t>(_mm512_mask_cmp_pd_mask(rows_here, sum, limits, _CMP_LT_OQ))
            << r;
    }
    return below;
}

// Subtrees of at most this many nodes (the last 3 to 6 levels) have all their distances
// computed at once, before the descent into them reads them: the dearer a distance, the more
// levels. Some of those distances go unused where the descent prunes; measured, the batch wins.
// At most 63, so that one bit per node of a batch fits a 64-bit mask.
// With AVX-512, whose batches of two and three coordinates cost a third of AVX2's (see
// batch_sq_avx512), 31 nodes there too: 0.78-0.94 times the time of 7 or 15 (in one dimension
// 0.95-1.08, so not there).
inline std::int32_t batch_limit(std::int32_t d) {
    if (d >= 2 && d <= 3 && quillbrax::cpu_has_avx512()) {
        return 31;
    }
    return d >= 12 ? 63 : d >= 8 ? 31 : d >= 3 ? 15 : 7;
}

// The same for a query outside the samples' bounding box. Seen from afar, the samples nearest
// the query lie along the side of the data that faces it, at distances that differ little: the
// splits' boxes of the small subtrees there reach well beyond their samples towards the query
// (on the near side of every split they keep the bound of the box above), so most of them are
// entered and hold nothing nearer than the k-th best. A descent into such a subtree costs a
// branch on each of its bounds that no predictor learns; one batch of its distances, tested
// against the k-th best four at a time, costs less. Measured at d = 2 and 3 on clustered and
// uniform samples with queries shifted out of the box, 31 nodes did best (1.2-1.35 times as
// fast as the limit for inside queries).
// With AVX-512, in two and three dimensions, 63 (0.87-1.0 times the time of 31 for clustered
// samples).
inline std::int32_t outside_batch_limit(std::int32_t d) {
    if (d >= 2 && d <= 3 && quillbrax::cpu_has_avx512()) {
        return 63;
    }
    return std::max(batch_limit(d), 31);
}

// Branch-and-bound descent for one query row; k >= 1. The far side of a node is searched while
// the heap is not full or the splitting plane is strictly nearer than the k-th best.
//
// On top of that rule, a subtree is skipped when the heap is full and the squared distance from
// the query to the subtree's box of splits is not below the k-th best. That changes nothing:
// every sample in the box is at least that far (each coordinate difference is at least the
// box's in magnitude, rounding is monotonic and the bound is summed in the same order as `sq`),
// the k-th best only shrinks, and a candidate must be strictly nearer than it to enter. So the
// same candidates enter the heap in the same order; only visits that could insert nothing are
// left out. A NaN bound never skips.
//
// The root's box is the samples' bounding box, so a query outside it prunes from the start: along
// each dimension the offset is q - upper above the box, lower - q below it (0 inside or where a
// bound is infinite and equal to q). Each sample's coordinate difference is at least that offset
// in magnitude, and the far side of any split is at least as far away as its parent's box.
// Computed in the same order and rounding as `sq`, the bound never exceeds a sample's distance.
//
// So the search's order decides a row only through ties: where the k nearest distances are
// distinct and every other sample is strictly farther than the k-th, the row is those k
// samples, nearest first, however they were found. A query with k <= Candidates::sorted_limit() is
// searched first in another order: each node after its near side rather than before it (the
// k-th best is then most often tight when the node's own distance is summed, which sq_below
// cuts short), and a batch's nodes by position. That search keeps its candidates in a sorted
// array, skips only what is strictly farther than the k-th best (so every sample as near as it
// is seen), and gives up at the first tie it meets: a distance equal to the k-th best or to a
// candidate held, or one that is not finite while fewer than k are held (an infinity fills the
// array's empty slots; a NaN orders nothing; with k candidates in hand neither can enter in
// either order). A row it gives up on is searched again in the search's order.
//
// Outside the samples' box, where the first candidates found are far from the best, that search
// also starts from a ceiling: the k samples that answered the row before (rows come in the
// order of a curve through the queries' box) are at most that far, so nothing farther can be
// among the k nearest, and nothing farther is searched or taken.
//
// Measured with k = 8: inside the box 0.7 times the time in 2 and 3 dimensions, 0.7-1.0 in 8
// and 16; outside it 0.7-0.8 in 2 dimensions, 0.75-1.0 in 3.
class Search {
public:
    Search(const KDTree& tree, std::size_t k)
        : points_(tree.points.data()),
          rows_(tree.rows.data()),
          lower_(tree.lower.data()),
          upper_(tree.upper.data()),
          reach_(tree.reach.empty() ? nullptr : tree.reach.data()),
          box_count_(static_cast<std::int32_t>(
              tree.lower.size() / std::max<std::size_t>(1, static_cast<std::size_t>(tree.d)))),
          level_saves_(static_cast<std::size_t>(tree.box_levels) *
                       static_cast<std::size_t>(tree.d)),
          n_(tree.n),
          d_(static_cast<std::size_t>(tree.d)),
          k_(k),
          offsets_(d_),
          inside_batch_limit_(batch_limit(tree.d)),
          outside_batch_limit_(outside_batch_limit(tree.d)),
          batch_(static_cast<std::size_t>(outside_batch_limit_)) {}

    // Needs n >= 1. Searches in any order first where `any_order` allows it and k <=
    // sorted_limit(); at a tie, searches again in the search's order.
    // Returns whether it met a tie (the candidates are then in the heap). The candidates of a row
    // answered in any order carry the nodes' positions, the others the samples' row numbers.
    bool run(const double* q, Candidates& heap, bool any_order) {
        q_ = q;
        heap_ = &heap;
        tied_ = false;
        by_position_ = false;
        double bound = 0.0;
        finite_ = true;
        for (std::size_t i = 0; i < d_; ++i) {
            finite_ = finite_ && std::isfinite(q[i]);
            double offset = 0.0;
            if (q[i] > upper_[i]) {
                offset = q[i] - upper_[i];
            } else if (q[i] < lower_[i]) {
                offset = lower_[i] - q[i];
            }
            offsets_[i] = offset;
            bound += offset * offset;
        }
        batch_limit_ = bound > 0 ? outside_batch_limit_ : inside_batch_limit_;
        if (any_order && k_ <= Candidates::sorted_limit()) {
            heap.clear(true);
            // Inside the box, the near side's candidates come soon enough without it.
            ceiling_ = bound > 0 ? ceiling() : infinity;
            search<false>(bound);
            // Every row holds min(k, n) candidates; one with fewer (which a sound ceiling never
            // leaves) is searched again, so that no cell of the result is left unwritten.
            if (!tied_ && heap.size() == std::min(k_, static_cast<std::size_t>(n_))) {
                remember(heap);
                by_position_ = true;
                return false;
            }
        }
        heap.clear(false);
        search<true>(bound);
        return tied_;
    }

    // Whether the last row was answered in any order (its candidates carry positions).
    bool by_position() const { return by_position_; }

private:
    // An upper bound on the k-th best distance: the largest distance from the query to the k
    // samples of the last row answered in any order (k samples at most that far exist), +inf
    // before there is one or where one of them is not finite (a NaN included: a query with a NaN
    // coordinate is at a NaN distance from every sample, and a ceiling that passed over them
    // would refuse every candidate).
    double ceiling() const {
        if (previous_.empty()) {
            return infinity;
        }
        double largest = 0.0;
        for (const std::int32_t position : previous_) {
            const double dist = sq(q_, points_ + static_cast<std::size_t>(position) * d_, d_);
            if (!(dist <= largest)) {
                largest = dist;
            }
        }
        return largest < infinity ? largest : infinity;
    }

    // The positions of the row's k candidates, for the next row's ceiling.
    void remember(Candidates& heap) {
        previous_.resize(heap.size());
        if (heap.sorted()) {
            std::copy_n(heap.sorted_idxs(), heap.size(), previous_.begin());
        } else {
            for (std::size_t p = 0; p < heap.size(); ++p) {
                previous_[p] = heap.heap().items()[p].idx;
            }
        }
    }

    template <bool Exact>
    void search(double bound) {
        if (box_count_ > 1) {
            // The root's box is the one just measured; its children have boxes of their own.
            if (!cannot_improve<Exact>(bound)) {
                visit_node<Exact, false, true>(0, n_, 0, bound, 0);
            }
        } else {
            visit<Exact, false>(0, n_, 0, bound);
        }
    }

    // In the search's order, a subtree whose box is no nearer than the k-th best holds nothing
    // that could enter; in any order, one whose box is as near holds none that could enter or
    // tie, and nothing needs searching once a tie was met.
    template <bool Exact>
    bool cannot_improve(double bound) const {
        if constexpr (Exact) {
            return heap_->size() >= k_ && bound >= heap_->worst();
        } else {
            return tied_ || bound > ceiling_ || (heap_->size() >= k_ && bound > heap_->worst());
        }
    }

    // In any order: takes a candidate (a node's position) strictly nearer than the k-th best (any
    // while there are fewer than k) and refuses one farther, beyond the ceiling, or NaN; one as
    // near as the k-th best, as near as a candidate held, or not finite while there are fewer
    // than k is a tie.
    [[gnu::always_inline]] void offer(double dist, std::int32_t position) {
        Candidates& heap = *heap_;
        if (dist > ceiling_) {
            return;
        }
        if (heap.size() < k_) {
            if (!std::isfinite(dist)) {
                tied_ = true;
                return;
            }
            heap.insert({dist, position});
        } else if (dist < heap.worst()) {
            heap.replace_worst({dist, position});
        } else if (dist == heap.worst()) {
            tied_ = true;
        }
        tied_ = tied_ || heap.tie();
    }

    // In any order, a subtree of at most batch_limit_ nodes: all its distances at once, then
    // each node offered by position (with the k candidates in hand, only those at most as far as
    // the k-th best, the next double up being the batch's limit: offer() takes or refuses them
    // by the k-th best as it stands then).
    void visit_batch(std::int32_t p, std::int32_t size) {
        const bool full = heap_->size() >= k_;
        const double limit = full ? heap_->worst() : ceiling_;
        std::uint64_t entering =
            quillbrax::dispatch_wide<batch_sq_portable, batch_sq_avx2, batch_sq_avx512>(
                q_, points_ + static_cast<std::size_t>(p) * d_, static_cast<std::size_t>(size), d_,
                batch_.data(), std::nextafter(limit, infinity));
        if (!(limit < infinity)) {
            entering = ~std::uint64_t{0} >> (64 - size);
        }
        while (entering != 0 && !tied_) {
            const auto at = static_cast<std::int32_t>(std::countr_zero(entering));
            entering &= entering - 1;
            offer(batch_[static_cast<std::size_t>(at)], p + at);
        }
    }

    // The subtree of `size` nodes at position p, splitting on `dim` (its depth mod d), whose box
    // is `bound` away.
    // Within a batch, the distances of the subtree's nodes were computed on entering it.
    template <bool Exact, bool InBatch>
    void visit(std::int32_t p, std::int32_t size, std::size_t dim, double bound) {
        if (size == 0 || cannot_improve<Exact>(bound)) {
            return;
        }
        if constexpr (!Exact) {
            if (size <= batch_limit_) {
                visit_batch(p, size);
                return;
            }
        } else if constexpr (!InBatch) {
            if (size <= batch_limit_) {
                // Only a sample strictly nearer than the k-th best can enter, and the k-th best
                // only shrinks: with none such the subtree changes nothing, with one the order
                // of the visits does not matter, and with more only the subtrees that hold one
                // need visiting, in the search's order. (With the heap not yet full, every
                // node is visited and the mask goes unused.)
                const bool full = heap_->size() >= k_;
                const std::uint64_t entering =
                    quillbrax::dispatch_wide<batch_sq_portable, batch_sq_avx2, batch_sq_avx512>(
                        q_, points_ + static_cast<std::size_t>(p) * d_,
                        static_cast<std::size_t>(size), d_, batch_.data(),
                        full ? heap_->worst() : 0.0);
                batch_start_ = p;
                if (!finite_) {  // NaN distances, as nan_sq says they are
                    for (std::int32_t i = 0; i < size; ++i) {
                        double& dist = batch_[static_cast<std::size_t>(i)];
                        if (dist != dist) {
                            dist = nan_sq(q_, points_ + static_cast<std::size_t>(p + i) * d_, d_);
                        }
                    }
                }
                if (full) {
                    if (entering == 0) {
                        return;
                    }
                    if ((entering & (entering - 1)) == 0) {
                        const auto at = static_cast<std::int32_t>(std::countr_zero(entering));
                        heap_->replace_worst({batch_[static_cast<std::size_t>(at)], rows_[p + at]});
                        return;
                    }
                    visit_entering(p, size, dim, entering);
                    return;
                }
                visit<true, true>(p, size, dim, bound);
                return;
            }
        }
        visit_node<Exact, InBatch, false>(p, size, dim, bound, -1);
    }

    // A subtree with a box of its own: along each dimension the offset of the query from that
    // box is a bound on every sample's coordinate difference, as is the offset inherited from
    // the splits above; the larger of the two is kept (a NaN inherited stays, as it would have
    // without the box) while the subtree is searched, and the offsets are put back after.
    // Subtrees with boxes are at least box_min_size nodes, never a batch. `box` is this one's.
    template <bool Exact>
    void visit_boxed(std::int32_t p, std::int32_t size, std::size_t dim, std::int32_t box) {
        const double* lower = lower_ + static_cast<std::size_t>(box) * d_;
        const double* upper = upper_ + static_cast<std::size_t>(box) * d_;
        const auto level =
            static_cast<std::size_t>(std::bit_width(static_cast<std::uint32_t>(box) + 1) - 1);
        double* saves = level_saves_.data() + level * d_;
        double bound = 0.0;
        double* offsets = offsets_.data();
        for (std::size_t i = 0; i < d_; ++i) {
            const double inherited = offsets[i];
            // Below the box, inside it (both differences at most 0) or above it. A NaN (an
            // infinite q at an infinite bound) leaves the other difference or NaN, and a NaN
            // offset leaves the inherited one.
            const double outside = std::max(std::max(lower[i] - q_[i], q_[i] - upper[i]), 0.0);
            const double offset = inherited <= outside ? outside : inherited;
            saves[i] = inherited;
            offsets[i] = offset;
            bound += offset * offset;
        }
        if (reach_ != nullptr && bound > 0 && !cannot_improve<Exact>(bound)) {
            // Outside the box: its ball may bound the samples further off.
            bound = std::max(bound, ball_bound(lower, upper, reach_[box]));
        }
        if (!cannot_improve<Exact>(bound)) {
            visit_node<Exact, false, true>(p, size, dim, bound, box);
        }
        for (std::size_t i = 0; i < d_; ++i) {
            offsets[i] = saves[i];
        }
    }

    // A lower bound on the squared distance, as `sq` computes it, from the query to any sample
    // within `reach` of the box's centre: (|q − centre| − reach)², each step taken towards 0 by
    // the slack, which covers the rounding of |q − centre| and of `sq` itself. 0 where that says
    // nothing, and where a distance near the ends of the range could round otherwise.
    double ball_bound(const double* lower, const double* upper, double reach) const {
        double sum = 0.0;
        for (std::size_t j = 0; j < d_; ++j) {
            const double diff = q_[j] - box_centre(lower[j], upper[j]);
            sum += diff * diff;
        }
        if (!(sum > 0x1p-900 && sum < 0x1p900)) {
            return 0.0;
        }
        const double slack = distance_slack(d_);
        const double gap = std::sqrt(sum) * (1.0 - slack) - reach;
        if (!(gap > 0)) {
            return 0.0;
        }
        return gap * gap * (1.0 - slack);
    }

    // A subtree with a box, searched with the bound it inherits.
    template <bool Exact>
    void visit_unmeasured(std::int32_t p, std::int32_t size, std::size_t dim, double bound,
                          std::int32_t box) {
        if (!cannot_improve<Exact>(bound)) {
            visit_node<Exact, false, true>(p, size, dim, bound, box);
        }
    }

    // The node at p and its children, near side first; `Boxed` when the node has a box, numbered
    // `box`, in which case its children may have boxes too. In the search's order the node comes
    // before its children; in any order after the near side, whose candidates (the nearer ones,
    // most often) then leave it to be refused by sq_below's first few terms.
    template <bool Exact, bool InBatch, bool Boxed>
    [[gnu::always_inline]] void visit_node(std::int32_t p, std::int32_t size, std::size_t dim,
                                           double bound, std::int32_t box) {
        const double* point = points_ + static_cast<std::size_t>(p) * d_;
        Candidates& heap = *heap_;
        if constexpr (Exact) {
            double dist;
            if constexpr (InBatch) {
                dist = batch_[static_cast<std::size_t>(p - batch_start_)];
            } else {
                dist = heap.size() < k_ ? sq(q_, point, d_) : sq_below(q_, point, d_, heap.worst());
                if (!finite_ && dist != dist) {
                    dist = nan_sq(q_, point, d_);
                }
            }
            if (heap.size() < k_) {
                heap.insert({dist, rows_[p]});
            } else if (dist < heap.worst()) {
                heap.replace_worst({dist, rows_[p]});
            }
        }
        const auto offer_node = [&] {
            offer(heap.size() < k_ ? sq(q_, point, d_) : sq_below(q_, point, d_, heap.worst()), p);
        };
        if (size == 1) {
            if constexpr (!Exact) {
                offer_node();
            }
            return;
        }
        const std::size_t next_dim = dim + 1 == d_ ? 0 : dim + 1;
        const double diff = q_[dim] - point[dim];
        const std::int32_t left = p + 1;
        const std::int32_t left_size = size / 2;
        const std::int32_t right = left + left_size;
        const std::int32_t right_size = size - left_size - 1;
        const bool near_is_left = diff <= 0;
        const std::int32_t left_box = Boxed && 2 * box + 1 < box_count_ ? 2 * box + 1 : -1;
        const std::int32_t right_box = left_box >= 0 ? left_box + 1 : -1;
        const std::int32_t near_box = near_is_left ? left_box : right_box;
        if (Boxed && near_box >= 0 && bound > 0) {
            visit_boxed<Exact>(near_is_left ? left : right, near_is_left ? left_size : right_size,
                               next_dim, near_box);
        } else if (Boxed && near_box >= 0) {
            // A query inside this subtree's box is most often inside the near side's box too,
            // which then adds nothing to the bound: that side is searched without measuring its
            // box, its children with theirs.
            visit_unmeasured<Exact>(near_is_left ? left : right,
                                    near_is_left ? left_size : right_size, next_dim, bound,
                                    near_box);
        } else {
            visit<Exact, InBatch>(near_is_left ? left : right,
                                  near_is_left ? left_size : right_size, next_dim, bound);
        }
        if constexpr (Exact) {
            if (heap.size() >= k_ && !(heap.worst() > diff * diff)) {
                return;
            }
        } else {
            if (tied_) {
                return;
            }
            offer_node();
            // A sample beyond the plane as near as the k-th best would tie: searched.
            if (tied_ || diff * diff > ceiling_ ||
                (heap.size() >= k_ && diff * diff > heap.worst())) {
                return;
            }
        }
        if constexpr (InBatch) {
            // The distances are known already: a visit costs a comparison, so the far side is
            // tested against its parent's box (contains its own, a weaker but valid bound) rather
            // than paying d additions for its own.
            visit<true, true>(near_is_left ? right : left, near_is_left ? right_size : left_size,
                              next_dim, bound);
            return;
        }
        // The far side's box lies beyond the splitting plane along dim. Its offset along dim is
        // taken from the register rather than read back from the store just made: a wide load
        // over a narrow store that has not yet reached the cache stalls.
        // (Past a subtree's own box, the inherited offset along dim may exceed the plane's.)
        const double saved = offsets_[dim];
        const double plane = std::fabs(diff) < saved ? saved : std::fabs(diff);
        offsets_[dim] = plane;
        double far_bound = 0.0;
        for (std::size_t i = 0; i < d_; ++i) {
            const double offset = i == dim ? plane : saved_offsets()[i];
            far_bound += offset * offset;
        }
        const std::int32_t far_box = near_is_left ? right_box : left_box;
        if (Boxed && far_box >= 0) {
            if (!cannot_improve<Exact>(far_bound)) {
                visit_boxed<Exact>(near_is_left ? right : left,
                                   near_is_left ? right_size : left_size, next_dim, far_box);
            }
        } else {
            visit<Exact, false>(near_is_left ? right : left, near_is_left ? right_size : left_size,
                                next_dim, far_bound);
        }
        offsets_[dim] = saved;
    }

    const double* saved_offsets() const { return offsets_.data(); }

    // Within a batch entered with a full heap: the subtree of `size` nodes at position p, where
    // bit i of `entering` marks the batch's node i as strictly nearer than the k-th best was on
    // entering. A subtree is a run of positions, so one test of the bits tells whether it holds
    // any such node; the others cannot enter and are passed over.
    void visit_entering(std::int32_t p, std::int32_t size, std::size_t dim,
                        std::uint64_t entering) {
        const auto at = static_cast<unsigned>(p - batch_start_);
        const std::uint64_t run = ((std::uint64_t{1} << static_cast<unsigned>(size)) - 1) << at;
        if ((entering & run) == 0) {
            return;
        }
        Candidates& heap = *heap_;
        if ((entering >> at) & 1) {
            const double dist = batch_[at];
            if (dist < heap.worst()) {
                heap.replace_worst({dist, rows_[p]});
            }
        }
        if (size == 1) {
            return;
        }
        const std::size_t next_dim = dim + 1 == d_ ? 0 : dim + 1;
        const double diff = q_[dim] - points_[static_cast<std::size_t>(p) * d_ + dim];
        const std::int32_t left = p + 1;
        const std::int32_t left_size = size / 2;
        const std::int32_t right = left + left_size;
        const std::int32_t right_size = size - left_size - 1;
        if (diff <= 0) {
            visit_entering(left, left_size, next_dim, entering);
            if (right_size > 0) {
                visit_entering(right, right_size, next_dim, entering);
            }
        } else {
            if (right_size > 0) {
                visit_entering(right, right_size, next_dim, entering);
            }
            visit_entering(left, left_size, next_dim, entering);
        }
    }

    const double* points_;
    const std::int32_t* rows_;
    const double* lower_;
    const double* upper_;
    const double* reach_;
    std::int32_t box_count_;
    std::vector<double> level_saves_;
    std::int32_t n_;
    std::size_t d_;
    std::size_t k_;
    std::vector<double> offsets_;
    std::int32_t inside_batch_limit_;
    std::int32_t outside_batch_limit_;
    // The limit of the row being searched: outside_batch_limit_ for a query outside the box.
    std::int32_t batch_limit_ = 0;
    std::vector<double> batch_;
    std::int32_t batch_start_ = 0;
    const double* q_ = nullptr;
    Candidates* heap_ = nullptr;
    // Whether every coordinate of the row is finite: only then is no distance NaN.
    bool finite_ = true;
    // Whether the search in any order met a tie.
    bool tied_ = false;
    // In any order: no candidate farther than this can be among the k nearest (ceiling()).
    double ceiling_ = infinity;
    std::vector<std::int32_t> previous_;
    bool by_position_ = false;
};

// The place of each of `count` distances in ascending order: ranks[i] is the number of distances
// below dists[i]. Returns false, with ranks meaningless, when two distances are equal or one is
// NaN (some distance then does not equal itself alone). Every pair is compared, without branches;
// compiled twice, for the baseline and for AVX2 (four pairs per comparison).
[[gnu::always_inline]] inline bool distinct_ranks(const double* dists, std::size_t count,
                                                  std::int64_t* ranks) {
    bool distinct = true;
    for (std::size_t i = 0; i < count; ++i) {
        const double x = dists[i];
        std::int64_t below = 0;
        std::int64_t equal = 0;
        for (std::size_t j = 0; j < count; ++j) {
            below += static_cast<std::int64_t>(dists[j] < x);
            equal += static_cast<std::int64_t>(dists[j] == x);
        }
        ranks[i] = below;
        distinct = distinct && equal == 1;
    }
    return distinct;
}

inline bool distinct_ranks_portable(const double* dists, std::size_t count, std::int64_t* ranks) {
    return distinct_ranks(dists, count, ranks);
}

[[gnu::target("avx2")]] inline bool distinct_ranks_avx2(const double* dists, std::size_t count,
                                                        std::int64_t* ranks) {
    return distinct_ranks(dists, count, ranks);
}

// Rows of at most this many results kept by the heap are ordered by ranks when their distances
// are distinct.
inline constexpr std::size_t rank_limit = 64;

// Query rows are answered in chunks of this many (1 MiB of scratch at most), each in the order
// of the rows' places along a Z-order curve through the box of the chunk's finite coordinates.
inline constexpr unsigned order_chunk_bits = 16;
inline constexpr std::size_t order_chunk = std::size_t{1} << order_chunk_bits;

// A row's place along the Z-order curve, a key of at most 30 bits: each of the first dimensions
// (at most 30) cut into 2^bits cells across a box (at most 1024), the cells' bits interleaved
// from the highest. Rows outside the box take the nearest cell; a NaN coordinate, or a dimension
// whose box is a point or unbounded, the first. Any key gives the same answers; a good one only
// makes them faster.
class SpatialKey {
public:
    static constexpr unsigned key_bits = 30;

    // The box spans lower[j] to upper[j] along dimension j (d of each); `lower` is read while
    // the key is in use.
    SpatialKey(const double* lower, const double* upper, std::size_t d)
        : dims_(std::min<std::size_t>(d, key_bits)),
          bits_(std::min(10u, key_bits / static_cast<unsigned>(dims_))),
          last_(std::ldexp(1.0, static_cast<int>(bits_)) - 1.0),
          lower_(lower),
          scale_(dims_) {
        for (std::size_t j = 0; j < dims_; ++j) {
            const double span = upper[j] - lower[j];
            scale_[j] = span > 0 && std::isfinite(span) ? (last_ + 1.0) / span : 0.0;
        }
    }

    std::uint64_t of(const double* q) const {
        if (dims_ == 2) {
            return spread_by_1(cell(q, 0)) << 1 | spread_by_1(cell(q, 1));
        }
        if (dims_ == 3) {
            return spread_by_2(cell(q, 0)) << 2 | spread_by_2(cell(q, 1)) << 1 |
                   spread_by_2(cell(q, 2));
        }
        std::uint64_t key = 0;
        for (unsigned b = bits_; b-- > 0;) {
            for (std::size_t j = 0; j < dims_; ++j) {
                key = key << 1 | (cell(q, j) >> b & 1);
            }
        }
        return key;
    }

private:
    std::uint64_t cell(const double* q, std::size_t j) const {
        const double at = (q[j] - lower_[j]) * scale_[j];
        return !(at > 0.0) ? 0 : static_cast<std::uint64_t>(at < last_ ? at : last_);
    }
    // The bits of x < 2^10 moved to every second place, or every third.
    static std::uint64_t spread_by_1(std::uint64_t x) {
        x = (x | x << 8) & 0x00ff00ff;
        x = (x | x << 4) & 0x0f0f0f0f;
        x = (x | x << 2) & 0x33333333;
        return (x | x << 1) & 0x55555555;
    }
    static std::uint64_t spread_by_2(std::uint64_t x) {
        x = (x | x << 16) & 0x030000ff;
        x = (x | x << 8) & 0x0300f00f;
        x = (x | x << 4) & 0x030c30c3;
        return (x | x << 2) & 0x09249249;
    }

    std::size_t dims_;
    unsigned bits_;
    double last_;
    const double* lower_;
    std::vector<double> scale_;
};

// Sorts `count` entries by their keys (bits order_chunk_bits and up, at most 30 of them): three
// stable passes of ten bits each, between `entries` and `spare` (count entries each). Returns
// the one of the two that holds them sorted.
inline const std::uint64_t* sort_by_key(std::uint64_t* entries, std::uint64_t* spare,
                                        std::size_t count) {
    constexpr unsigned digit_bits = 10;
    constexpr std::size_t digits = std::size_t{1} << digit_bits;
    std::uint32_t starts[digits];
    for (unsigned pass = 0; pass < 3; ++pass) {
        const unsigned shift = order_chunk_bits + pass * digit_bits;
        std::fill(starts, starts + digits, 0u);
        for (std::size_t i = 0; i < count; ++i) {
            ++starts[entries[i] >> shift & (digits - 1)];
        }
        std::uint32_t total = 0;
        for (std::uint32_t& start : starts) {
            total += std::exchange(start, total);
        }
        for (std::size_t i = 0; i < count; ++i) {
            spare[starts[entries[i] >> shift & (digits - 1)]++] = entries[i];
        }
        std::swap(entries, spare);
    }
    return entries;
}

// Answers nq query rows of the tree's d coordinates (row i at queries + i * d) with k nearest
// samples each, k <= n. Row i of the results starts at i * k, nearest first.
//
// A row kept in the candidates' array is written as it stands. A row kept by the heap is emptied
// from the top, the largest distance into the last column; where its k distances are all
// distinct, every removal takes the one largest, so the row is simply the k candidates in
// ascending order of distance: for a short row each candidate's place is counted directly,
// which spares the removals' unpredictable branches. Where two are equal, which comes first
// depends on the heap's layout, and the row is written by removing the top as always.
inline void query_rows(const KDTree& tree, const double* queries, std::int64_t nq, std::int32_t k,
                       std::int32_t* indices, double* distances) {
    if (k <= 0) {
        return;
    }
    const auto d = static_cast<std::size_t>(tree.d);
    const auto width = static_cast<std::size_t>(k);
    Candidates candidates(width);
    Search search(tree, width);
    const bool by_rank = width >= 2 && width <= rank_limit;
    std::vector<double> dists(by_rank ? width : 0);
    std::vector<std::int64_t> ranks(by_rank ? width : 0);
    // Ties (duplicate samples, integer grids) are likely to recur in the next rows: after one,
    // that many rows go straight to the heap and are written by removals.
    constexpr std::size_t heap_rows_after_tie = 63;
    std::size_t heap_rows = 0;
    const auto answer = [&](std::size_t i) {
        const bool fresh = heap_rows == 0;
        const bool tied = search.run(queries + i * d, candidates, fresh);
        std::int32_t* row_indices = indices + i * width;
        double* row_distances = distances + i * width;
        // With k <= n the candidates always fill to k, so every cell of the row is written.
        const std::size_t count = candidates.size();
        const std::int32_t* rows_of = search.by_position() ? tree.rows.data() : nullptr;
        const auto row_of = [rows_of](std::int64_t idx) {
            return rows_of != nullptr ? rows_of[idx] : static_cast<std::int32_t>(idx);
        };
        if (candidates.sorted()) {
            const double* sorted_dists = candidates.sorted_dists();
            const std::int64_t* sorted_idxs = candidates.sorted_idxs();
            for (std::size_t p = 0; p < count; ++p) {
                row_indices[p] = row_of(sorted_idxs[p]);
                row_distances[p] = sorted_dists[p];
            }
            return;
        }
        CandidateHeap& heap = candidates.heap();
        if (!fresh) {
            --heap_rows;
        } else if (tied) {
            heap_rows = heap_rows_after_tie;
        } else if (by_rank) {
            const HeapItem* items = heap.items();
            for (std::size_t p = 0; p < count; ++p) {
                dists[p] = items[p].dist;
            }
            if (quillbrax::dispatch<distinct_ranks_portable, distinct_ranks_avx2>(
                    dists.data(), count, ranks.data())) {
                for (std::size_t p = 0; p < count; ++p) {
                    const auto at = static_cast<std::size_t>(ranks[p]);
                    row_indices[at] = row_of(items[p].idx);
                    row_distances[at] = items[p].dist;
                }
                return;
            }
            heap_rows = heap_rows_after_tie;
        }
        for (std::size_t pos = count; pos > 0; --pos) {
            row_indices[pos - 1] = row_of(heap.top().idx);
            row_distances[pos - 1] = heap.top().dist;
            heap.remove_top();
        }
    };
    const auto rows = static_cast<std::size_t>(nq);
    if (rows == 1 || tree.n == 0 || tree.d == 0) {
        for (std::size_t i = 0; i < rows; ++i) {
            answer(i);
        }
        return;
    }
    // Each row's answer depends on that row alone, so the rows may be answered in any order:
    // rows near each other in space, answered one after the other, descend the same paths (which
    // the branch predictor then learns) and find the same nodes in the cache. Measured, 1.0-1.7
    // times as fast as the order given, most with duplicate samples, many rows or low d.
    // The curve runs through the box of the chunk's finite coordinates: rows outside the
    // samples' box are ordered among themselves too, which the search outside the box, bounded
    // by the answer of the row before (Search::ceiling), needs.
    // Equal rows have equal keys, so they come one after the other: a row whose coordinates
    // are the same bits as the row answered just before takes a copy of its answer.
    std::vector<std::uint64_t> order(std::min(rows, order_chunk));
    std::vector<std::uint64_t> spare(order.size());
    std::vector<double> lower(d);
    std::vector<double> upper(d);
    for (std::size_t first = 0; first < rows; first += order_chunk) {
        const std::size_t count = std::min(order_chunk, rows - first);
        std::fill(lower.begin(), lower.end(), infinity);
        std::fill(upper.begin(), upper.end(), -infinity);
        for (std::size_t r = 0; r < count; ++r) {
            const double* q = queries + (first + r) * d;
            for (std::size_t j = 0; j < d; ++j) {
                if (std::isfinite(q[j])) {
                    lower[j] = std::min(lower[j], q[j]);
                    upper[j] = std::max(upper[j], q[j]);
                }
            }
        }
        const SpatialKey spatial(lower.data(), upper.data(), d);
        for (std::size_t r = 0; r < count; ++r) {
            order[r] = spatial.of(queries + (first + r) * d) << order_chunk_bits | r;
        }
        const std::uint64_t* sorted = sort_by_key(order.data(), spare.data(), count);
        std::size_t previous = rows;
        for (std::size_t r = 0; r < count; ++r) {
            const std::size_t row = first + (sorted[r] & (order_chunk - 1));
            if (previous < rows &&
                std::memcmp(queries + row * d, queries + previous * d, d * sizeof(double)) == 0) {
                std::copy_n(indices + previous * width, width, indices + row * width);
                std::copy_n(distances + previous * width, width, distances + row * width);
            } else {
                answer(row);
            }
            previous = row;
        }
    }
}

}  // namespace quillbrax::nearix

#ifndef QUILLBRAX_KERNELS_ONLY

#include <cmath>
#include <memory>
#include <tuple>

#include "bound/conventions.hpp"

namespace quillbrax::nearix {

namespace py = pybind11;
using bound::FloatArray;
using bound::text;

inline constexpr const char* message_no_columns =
    "X has {} rows and 0 columns; a tree over two or more rows needs at least one column";
inline constexpr const char* message_nan_sample = "X holds NaN at row {}, column {}";
inline constexpr const char* message_query_columns = "Q has {} columns; the tree's samples have {}";
inline constexpr const char* message_uninitialised =
    "KDTree object is not initialised: KDTree.__init__ was not called";
inline constexpr const char* message_bad_state = "not a pickled KDTree state";
inline constexpr const char* message_built =
    "KDTree object is already built: {} would leave its tree as it is; make a new KDTree";

// The first NaN among `count` values, or first + count: blocks are tested without a branch
// (vector comparisons), and only a block that holds one is searched.
const double* find_nan(const double* first, std::size_t count) {
    constexpr std::size_t block = 512;
    for (std::size_t start = 0; start < count; start += block) {
        const std::size_t end = std::min(count, start + block);
        bool any = false;
        for (std::size_t i = start; i < end; ++i) {
            any |= first[i] != first[i];
        }
        if (any) {
            return std::find_if(first + start, first + end, [](double v) { return std::isnan(v); });
        }
    }
    return first + count;
}

std::unique_ptr<KDTree> new_tree(const FloatArray& X) {
    const bound::HeldArray held(X, "X");
    bound::require_ndim(X, 2, "X");
    const std::int32_t n = bound::int32_extent(X, 0, "X", "rows");
    const std::int32_t d = bound::int32_extent(X, 1, "X", "columns");
    if (d == 0 && n >= 2) {
        bound::raise_value_error(message_no_columns, text(n));
    }
    const bound::DenseFloats samples(X);
    const std::size_t count = static_cast<std::size_t>(n) * static_cast<std::size_t>(d);
    const double* first = samples.data();
    const double* nan = find_nan(first, count);
    if (nan != first + count) {
        const auto offset = static_cast<std::int64_t>(nan - first);
        bound::raise_value_error(message_nan_sample, text(offset / d), text(offset % d));
    }
    return std::make_unique<KDTree>(build_tree(first, n, d));
}

// The native tree behind `self`, or null where its constructor never ran: pybind11 hands a
// method the storage of such an object (KDTree.__new__(KDTree)) as if it held a tree.
const KDTree* built_tree(const py::object& self) {
    if (py::isinstance<KDTree>(self)) {
        auto* instance = reinterpret_cast<py::detail::instance*>(self.ptr());
        py::detail::value_and_holder holder =
            instance->get_value_and_holder(py::detail::get_type_info(typeid(KDTree)));
        if (holder && holder.holder_constructed()) return holder.value_ptr<KDTree>();
    }
    return nullptr;
}

const KDTree& tree_of(const py::object& self) {
    if (const KDTree* tree = built_tree(self)) return *tree;
    throw py::type_error(message_uninitialised);
}

// pybind11 ignores a second __init__ or __setstate__ on a built object, so it would report
// success and go on answering from the tree it has: refused instead.
void require_unbuilt(const py::object& self, const char* method) {
    if (built_tree(self) != nullptr)
        throw py::type_error(bound::format_message(message_built, {method}));
}

std::tuple<py::array_t<std::int32_t>, py::array_t<double>> query(const py::object& self,
                                                                 const FloatArray& Q, int k) {
    const bound::HeldArray held(Q, "Q");
    const KDTree& tree = tree_of(self);
    bound::require_ndim(Q, 2, "Q");
    const std::int32_t nq = bound::int32_extent(Q, 0, "Q", "rows");
    if (Q.shape(1) != tree.d) {
        bound::raise_value_error(message_query_columns, text(Q.shape(1)), text(tree.d));
    }
    const std::int32_t width = std::min<std::int32_t>(k, tree.n);
    auto indices = bound::new_result<std::int32_t>({nq, width});
    auto distances = bound::new_result<double>({nq, width});
    const bound::DenseFloats queries(Q);
    query_rows(tree, queries.data(), nq, width, indices.mutable_data(), distances.mutable_data());
    return {std::move(indices), std::move(distances)};
}

// Pickled state: (format, points, rows), the tree's own arrays. Restoring copies them back
// without building again, so the restored tree is the same tree (for duplicate coordinates too,
// whose arrangement is the build's choice), and the payload is the samples plus one int32 per row.
// An instance of a Python subclass with attributes of its own adds them as a fourth item, in the
// form Python gives any object's state (object.__getstate__): its __dict__, or a pair of that
// (None when empty) and a dict of its __slots__ values.
inline constexpr int state_format = 1;

py::tuple tree_state(const py::object& self) {
    const KDTree& tree = tree_of(self);
    const auto n = static_cast<py::ssize_t>(tree.n);
    py::array_t<double> points({n, static_cast<py::ssize_t>(tree.d)});
    py::array_t<std::int32_t> rows(n);
    std::copy(tree.points.begin(), tree.points.end(), points.mutable_data());
    std::copy(tree.rows.begin(), tree.rows.end(), rows.mutable_data());
    py::object attributes =
        py::module_::import("builtins").attr("object").attr("__getstate__")(self);
    if (!attributes.is_none()) {
        return py::make_tuple(state_format, std::move(points), std::move(rows), attributes);
    }
    return py::make_tuple(state_format, std::move(points), std::move(rows));
}

// What pickling and copying call: a new object of the instance's class, then __setstate__ with
// what its __getstate__ returns, as Python reduces any object for protocol 2 and later
// (__getnewargs_ex__ or __getnewargs__ give __new__'s arguments where a subclass defines them).
// Every protocol goes this way: with protocols 0 and 1, Python's default would call the binding
// layer's base class on the object, which aborts the process.
py::tuple reduce_tree(const py::object& self) {
    const py::object cls = py::type::of(self);
    const py::object copyreg = py::module_::import("copyreg");
    py::tuple args;
    py::dict kwargs;
    if (py::hasattr(cls, "__getnewargs_ex__")) {
        const py::object given = self.attr("__getnewargs_ex__")();
        if (!py::isinstance<py::tuple>(given) || py::len(given) != 2 ||
            !py::isinstance<py::tuple>(given[py::int_(0)]) ||
            !py::isinstance<py::dict>(given[py::int_(1)])) {
            throw py::type_error("__getnewargs_ex__ should return a tuple (args, kwargs)");
        }
        args = given[py::int_(0)];
        kwargs = given[py::int_(1)];
    } else if (py::hasattr(cls, "__getnewargs__")) {
        const py::object given = self.attr("__getnewargs__")();
        if (!py::isinstance<py::tuple>(given)) {
            throw py::type_error("__getnewargs__ should return a tuple");
        }
        args = given;
    }
    py::object state = self.attr("__getstate__")();
    if (py::len(kwargs) > 0) {
        return py::make_tuple(copyreg.attr("__newobj_ex__"), py::make_tuple(cls, args, kwargs),
                              std::move(state));
    }
    py::list newobj_args;
    newobj_args.append(cls);
    for (const py::handle arg : args) {
        newobj_args.append(arg);
    }
    return py::make_tuple(copyreg.attr("__newobj__"), py::tuple(newobj_args), std::move(state));
}

// The tree of a state's first three items (format, points, rows), checked.
std::unique_ptr<KDTree> restore_tree(const py::tuple& state) {
    if (state.size() != 3 || !py::isinstance<py::int_>(state[0]) ||
        state[0].cast<py::int_>().not_equal(py::int_(state_format)) ||
        !py::isinstance<py::array_t<double>>(state[1]) ||
        !py::isinstance<py::array_t<std::int32_t>>(state[2])) {
        throw py::value_error(message_bad_state);
    }
    const auto points = state[1].cast<py::array>();
    const auto rows = state[2].cast<py::array>();
    if (points.ndim() != 2 || rows.ndim() != 1 || points.shape(0) != rows.shape(0) ||
        points.shape(0) > bound::max_int32_extent || points.shape(1) > bound::max_int32_extent ||
        (points.shape(1) == 0 && points.shape(0) >= 2)) {
        throw py::value_error(message_bad_state);
    }
    auto tree = std::make_unique<KDTree>();
    tree->n = static_cast<std::int32_t>(points.shape(0));
    tree->d = static_cast<std::int32_t>(points.shape(1));
    const auto count = static_cast<std::size_t>(tree->n);
    // Dense, aligned copies where the arrays are not: one from a pickle's out-of-band buffers may
    // lie at any address.
    const bound::DenseArray<double> point_values(points);
    const bound::DenseArray<std::int32_t> row_values(rows);
    tree->points.assign(point_values.data(),
                        point_values.data() + count * static_cast<std::size_t>(tree->d));
    tree->rows.assign(row_values.data(), row_values.data() + count);
    if (!valid_tree(tree->points.data(), tree->rows.data(), tree->n, tree->d)) {
        throw py::value_error(message_bad_state);
    }
    set_bounds(*tree);
    return tree;
}

// A state's fourth item onto `self`, as Python restores any object's state: the dict's items
// into its __dict__, the slots' values by setattr. An item of another form, a dict for an object
// without __dict__ or a slot it does not have refuse the state.
void restore_attributes(const py::object& self, const py::object& attributes) {
    py::object dict = attributes;
    py::object slots = py::dict();
    if (py::isinstance<py::tuple>(attributes) && py::len(attributes) == 2) {
        dict = attributes[py::int_(0)];
        slots = attributes[py::int_(1)];
        if (!py::isinstance<py::dict>(slots) ||
            (!dict.is_none() && !py::isinstance<py::dict>(dict))) {
            throw py::value_error(message_bad_state);
        }
    } else if (!py::isinstance<py::dict>(dict)) {
        throw py::value_error(message_bad_state);
    }
    if (!dict.is_none() && py::len(dict) > 0) {
        if (!py::hasattr(self, "__dict__")) {
            throw py::value_error(message_bad_state);
        }
        self.attr("__dict__").attr("update")(dict);
    }
    for (const auto item : slots.cast<py::dict>()) {
        try {
            py::setattr(self, item.first, item.second);
        } catch (py::error_already_set& error) {
            if (!error.matches(PyExc_AttributeError)) {
                throw;
            }
            py::raise_from(error, PyExc_ValueError, message_bad_state);
            throw py::error_already_set();
        }
    }
}

// __setstate__: the attributes first, then the tree, so that a state refused for either leaves
// the object uninitialised. `restore` is the binding layer's own __setstate__ for restore_tree.
void set_state(const py::object& self, const py::object& state, const py::object& restore) {
    require_unbuilt(self, "__setstate__");
    if (py::isinstance<py::tuple>(state) && py::len(state) == 4) {
        const auto items = state.cast<py::tuple>();
        restore_attributes(self, items[3]);
        restore(self, py::make_tuple(items[0], items[1], items[2]));
        return;
    }
    restore(self, state);
}

}  // namespace quillbrax::nearix

PYBIND11_MODULE(_nearix, m, pybind11::mod_gil_used(),
                pybind11::multiple_interpreters::not_supported()) {
    namespace nearix = quillbrax::nearix;
    pybind11::class_<nearix::KDTree> tree(m, "KDTree");
    tree.def(pybind11::init(&nearix::new_tree))
        .def("query", &nearix::query)
        .def(pybind11::pickle(&nearix::tree_state, &nearix::restore_tree))
        .def("__reduce__", &nearix::reduce_tree);
    // The binding layer's __init__ and __setstate__ build the object's tree; the ones the class
    // shows refuse an object already built, and __setstate__ restores a subclass instance's
    // attributes before calling the binding layer's. (Their names are not the bare method names:
    // pybind11 takes a function so named for a constructor, which it skips on a built object.)
    pybind11::object init = tree.attr("__init__");
    pybind11::setattr(tree, "__init__",
                      pybind11::cpp_function(
                          [init](const pybind11::object& self, const nearix::FloatArray& X) {
                              nearix::require_unbuilt(self, "__init__");
                              init(self, X);
                          },
                          pybind11::name("KDTree.__init__"), pybind11::is_method(tree)));
    pybind11::object restore = tree.attr("__setstate__");
    pybind11::setattr(tree, "__setstate__",
                      pybind11::cpp_function(
                          [restore](const pybind11::object& self, const pybind11::object& state) {
                              nearix::set_state(self, state, restore);
                          },
                          pybind11::name("KDTree.__setstate__"), pybind11::is_method(tree),
                          pybind11::arg("state"), pybind11::pos_only()));
}

#endif  // QUILLBRAX_KERNELS_ONLY
