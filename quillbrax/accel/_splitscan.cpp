// quillbrax.accel._splitscan: the split search of decision-tree induction for one node.
//
// Both searches sort each feature column as np.argsort does (natively where np.argsort is
// NumPy's own and X a plain ndarray; otherwise np.argsort is called and its order checked) and
// sweep the sorted rows once, moving one row at a time to the left child; a candidate sits
// between two adjacent distinct values and is kept only when its weighted child impurity (Gini
// for classes, variance for targets) is strictly below the best so far. Counts are doubles and
// every sum runs in a fixed order, so the results are those of the plain scalar loop, bit for
// bit.

#include "constants.hpp"
#include "cpu_dispatch.hpp"
#include "frame/module.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

namespace {

namespace frame = quillbrax::frame;
using frame::INT;
using frame::ITYPE;

// ---------------------------------------------------------------------------------------------
// Kernels: plain loops over byte-strided vectors. Row indices taken from a sort order are
// checked as they are copied into memory of the call's own (copy_rows_in_range), and the sweeps
// read that copy: Python code may still run between the check and a sweep.

// The frame's accessor for strided elements, in one dimension: vector[i].
template <class T>
using StridedVector = frame::Strided<const T, 1>;

template <class T>
StridedVector<T> vector_of(const frame::ArrayBuffer& buffer) {
    return buffer.as<const T, 1>();
}

// Column j of a byte-strided matrix.
StridedVector<double> column_of(const frame::ArrayBuffer& matrix, ITYPE j) {
    return {matrix.data() + j * matrix.stride(1), {matrix.shape(0)}, {matrix.stride(0)}};
}

struct BestSplit {
    double score = quillbrax::kSentinel;
    ITYPE feature = -1;
    double threshold = 0.0;
};

// Copies the n row indices of `order` to `rows` up to the first that lies outside 0 … n − 1,
// whose position it returns (−1 when there is none).
ITYPE copy_rows_in_range(StridedVector<ITYPE> order, ITYPE n, ITYPE* rows) {
    for (ITYPE i = 0; i < n; ++i) {
        const ITYPE row = order[i];
        if (row < 0 || row >= n) return i;
        rows[i] = row;
    }
    return -1;
}

// Label → class index as a dictionary filled in class order maps it (a repeated label keeps its
// last index), looked up by bisection. np.unique gives sorted distinct labels, for which this is
// simply the position in `classes`.
class ClassTable {
public:
    using Entry = std::pair<INT, ITYPE>;

    // `entries`: storage for n_classes entries.
    ClassTable(StridedVector<INT> classes, ITYPE n_classes, std::vector<Entry> entries)
        : entries_(std::move(entries)), n_classes_(n_classes) {
        for (ITYPE c = 0; c < n_classes; ++c) {
            const INT label = classes[c];
            entries_[static_cast<size_t>(c)] = {label, c};
        }
        // Labels in strictly increasing order, as np.unique gives them, are the table as it is.
        auto not_above = [](const Entry& a, const Entry& b) { return b.first <= a.first; };
        if (std::adjacent_find(entries_.begin(), entries_.end(), not_above) == entries_.end()) {
            return;
        }
        // By label, then by position: the order a stable sort by label gives, without the
        // temporary buffer of std::stable_sort (deprecated in the standard library clang sees).
        std::sort(entries_.begin(), entries_.end());
        auto same_label = [](const Entry& a, const Entry& b) { return a.first == b.first; };
        auto last_of_each = std::unique(entries_.rbegin(), entries_.rend(), same_label);
        entries_.erase(entries_.begin(), last_of_each.base());
    }

    // The length of `classes`, repeated labels included.
    ITYPE n_classes() const { return n_classes_; }
    // The class index of `label`, or −1 when the table has no such label.
    ITYPE find(INT label) const {
        auto it = std::lower_bound(entries_.begin(), entries_.end(), label,
                                   [](const Entry& entry, INT key) { return entry.first < key; });
        return it != entries_.end() && it->first == label ? it->second : -1;
    }

private:
    std::vector<Entry> entries_;
    ITYPE n_classes_;
};

// What a kernel that maps labels reports: the label it could not map, if any.
struct LabelLookup {
    bool missing = false;
    INT label = 0;
};

// 1.0 − Σ_c (count_c / total)², the squares subtracted one by one in class order.
template <class Count>
double gini(size_t n_classes, Count count, double total) {
    double impurity = 1.0;
    for (size_t c = 0; c < n_classes; ++c) {
        const double p = count(c) / total;
        impurity = impurity - p * p;
    }
    return impurity;
}

// The weighted Gini impurity of the two children of a split: left_n rows with class counts
// left[c] on the left, the rest of the node's `total` counts on the right.
[[gnu::always_inline]] inline double split_score(size_t n_classes, const double* left,
                                                 const double* total, double left_n, double right_n,
                                                 double node_total) {
    const double left_gini = gini(n_classes, [&](size_t i) { return left[i]; }, left_n);
    const double right_gini =
        gini(n_classes, [&](size_t i) { return total[i] - left[i]; }, right_n);
    return (left_n / node_total) * left_gini + (right_n / node_total) * right_gini;
}

// E[v²] − E[v]² from the sums of v and v² over `count` samples; lane by lane on vectors.
template <class Value>
[[gnu::always_inline]] inline Value variance(Value sum, Value sum_of_squares, Value count) {
    const Value mean = sum / count;
    return sum_of_squares / count - mean * mean;
}

// Whether a candidate of the classification sweep can still score below `best`, decided from the
// exact sums Σ_c left_c² and Σ_c right_c² (whole numbers, kept as the rows move) without the
// divisions of its impurities. With l, r the child sizes and N = l + r, the real-number score is
// 1 − Q, Q = (Σ left_c² / l + Σ right_c² / r) / N, and the rounded one computed from the same
// counts lies within (n_classes + 8)·2^-53 of it (each square off by 3·2^-53 of itself, squares
// summing to at most 1; each subtraction, the two weights and the last products and sum off by
// 2^-53 of a value of magnitude at most 1). A candidate whose Q is at most
// bound = 1 − best − (n_classes + 16)·2^-50 therefore scores at least `best` once rounded, and is
// skipped; the test multiplies out the denominators, whole numbers of at most l·r·N ≤ N³/4 ≤ 2^52
// (n ≤ kMaxRows), so exact, and rounds once (2^-53 of bound, inside the margin with the rounding
// of bound).
// Valid only while the counts are those of a partition of the node's rows: a sort order that
// is a permutation, and row classes whose counts are total_counts.
struct ScoreBound {
    static constexpr ITYPE kMaxRows = ITYPE{1} << 18;
    double margin;
    double bound = 0.0;

    explicit ScoreBound(size_t n_classes)
        : margin((static_cast<double>(n_classes) + 16.0) * 0x1p-50) {}
    void set_best(double best) { bound = (1.0 - best) - margin; }
    // Scalars or vectors of candidates (then a mask of lanes).
    template <class Value>
    auto cannot_win(Value left_squares, Value right_squares, Value left_n, Value right_n,
                    double total) const {
        return left_squares * right_n + right_squares * left_n <=
               bound * (left_n * right_n * total);
    }
};

struct Node {
    ITYPE n;
    double total;  // n as a double
    double min_samples_leaf;
};

// The rows in sorted order as the sweeps read them: the row at sorted position k and its value.
// OrderedRows reads the checked copy of a sort order handed back by np (row indices into a
// strided column); SortedRows reads the sorted rows and values that ColumnSorter produced.
struct OrderedRows {
    const ITYPE* order;
    StridedVector<double> column;

    ITYPE row(ITYPE k) const { return order[k]; }
    double value(ITYPE k) const { return column[order[k]]; }
};

struct SortedRows {
    const ITYPE* rows;
    const double* values;

    ITYPE row(ITYPE k) const { return rows[k]; }
    double value(ITYPE k) const { return values[k]; }
};

// One feature of the classification search: rows enter the left child in sorted order, and each
// boundary between distinct values with both children admissible is scored. class_of(r) is the
// class index of row r, or -1 for a label the table lacks.
template <class Rows, class ClassOf>
LabelLookup sweep_classes(const Node& node, Rows sorted, ClassOf class_of, StridedVector<INT> y,
                          const std::vector<double>& total_counts, std::vector<double>& left_counts,
                          ITYPE feature, BestSplit& best) {
    const size_t n_classes = total_counts.size();
    std::fill(left_counts.begin(), left_counts.end(), 0.0);
    double* left = left_counts.data();
    const double* total = total_counts.data();
    double left_n = 0.0;
    for (ITYPE k = 0; k + 1 < node.n; ++k) {
        const ITYPE r = sorted.row(k);
        const ITYPE c = class_of(r);
        if (c < 0) return {true, y[r]};
        left[c] += 1.0;
        left_n += 1.0;

        const double current_val = sorted.value(k);
        const double next_val = sorted.value(k + 1);
        if (current_val == next_val) continue;
        const double right_n = node.total - left_n;
        if (left_n < node.min_samples_leaf || right_n < node.min_samples_leaf) continue;

        const double score = split_score(n_classes, left, total, left_n, right_n, node.total);
        if (score < best.score) {
            best.threshold = (current_val + next_val) * 0.5;
            best.score = score;
            best.feature = feature;
        }
    }
    return {};
}

// Vectors of doubles: the baseline's two lanes, AVX's four.
using Doubles2 = double __attribute__((vector_size(16)));
using Doubles4 = double __attribute__((vector_size(32)));
constexpr size_t kScoreLanes = 4;  // the widest

// The lanes of a comparison's result that hold (all bits set), as the low bits of a word: the
// baseline's sign-bit extraction, on each half of a vector of four lanes.
template <class Mask>
[[gnu::always_inline]] inline unsigned lanes_set(Mask mask) {
    if constexpr (sizeof(Mask) == sizeof(Doubles2)) {
        return static_cast<unsigned>(__builtin_ia32_movmskpd(reinterpret_cast<Doubles2>(mask)));
    } else {
        static_assert(sizeof(Mask) == sizeof(Doubles4));
        return lanes_set(__builtin_shufflevector(mask, mask, 0, 1)) |
               lanes_set(__builtin_shufflevector(mask, mask, 2, 3)) << 2;
    }
}

// What the screened classification sweep reads and the scratch it writes: the sorted rows (a
// permutation of 0 … n − 1) and their values, readable to whole blocks of kScoreLanes positions
// and one more; the class of every row, each a valid index; the node's class counts and the sum
// of their squares. Scratch: `left`, n_classes counts; `left_squares` and `cross`, whole blocks
// of kScoreLanes positions, finite past n − 1.
struct ScreenedClasses {
    const ITYPE* rows;
    const double* values;
    const ITYPE* row_classes;
    const double* total;
    size_t n_classes;
    double total_squares;
    double* left;
    double* left_squares;
    double* cross;
};

// One feature of the classification search when the rows and their classes are a partition of
// the node's rows (ScoreBound), in two passes. The first moves the rows left in sorted order and
// keeps, at each position, Σ_c left_c² and Σ_c total_c·left_c, whole numbers from which
// Σ_c right_c² = Σ_c total_c² − 2·Σ_c total_c·left_c + Σ_c left_c² follows exactly. The second
// takes the positions a block of vector lanes at a time, keeps those that are candidates (distinct
// values, both children admissible) and can still win against the best score when the block
// starts, and scores each of them in sorted order from the class counts, which follow the rows
// up to it. Every candidate that could score below the best is scored exactly as the plain sweep
// scores it, so the result is the plain sweep's.
template <class Vector>
[[gnu::always_inline]] inline void sweep_classes_screened(const Node& node_in,
                                                          const ScreenedClasses& in, ITYPE feature,
                                                          BestSplit& best) {
    // Copies, which the stores to the counts cannot change: kept in registers.
    const Node node = node_in;
    const ScreenedClasses s = in;
    const ITYPE positions = node.n - 1;
    if (s.n_classes == 2) {
        // The left count of class 1 is a running sum of the classes, that of class 0 the rest:
        // no count waits on the store of the one before.
        ITYPE ones = 0;
        for (ITYPE k = 0; k < positions; ++k) {
            ones += s.row_classes[s.rows[k]];
            const auto one = static_cast<double>(ones);
            const auto zero = static_cast<double>(k + 1 - ones);
            s.left_squares[k] = zero * zero + one * one;
            s.cross[k] = s.total[0] * zero + s.total[1] * one;
        }
    } else {
        std::fill(s.left, s.left + s.n_classes, 0.0);
        double left_squares = 0.0;
        double cross = 0.0;
        for (ITYPE k = 0; k < positions; ++k) {
            const ITYPE c = s.row_classes[s.rows[k]];
            const double count = s.left[c];
            s.left[c] = count + 1.0;
            left_squares += 2.0 * count + 1.0;
            cross += s.total[c];
            s.left_squares[k] = left_squares;
            s.cross[k] = cross;
        }
    }

    std::fill(s.left, s.left + s.n_classes, 0.0);
    ITYPE moved = 0;  // rows 0 … moved − 1 of the sorted order are counted in `left`
    ScoreBound bound(s.n_classes);
    bound.set_best(best.score);
    constexpr ITYPE lanes = sizeof(Vector) / sizeof(double);
    Vector left_n;
    for (ITYPE lane = 0; lane < lanes; ++lane) left_n[lane] = static_cast<double>(lane + 1);
    for (ITYPE p = 0; p < positions; p += lanes) {
        Vector squares, products, current, next;
        std::memcpy(&squares, s.left_squares + p, sizeof squares);
        std::memcpy(&products, s.cross + p, sizeof products);
        std::memcpy(&current, s.values + p, sizeof current);
        std::memcpy(&next, s.values + p + 1, sizeof next);
        const Vector right_n = node.total - left_n;
        const Vector right_squares = (s.total_squares - 2.0 * products) + squares;
        const auto dropped = (current == next) | (left_n < node.min_samples_leaf) |
                             (right_n < node.min_samples_leaf) |
                             bound.cannot_win(squares, right_squares, left_n, right_n, node.total);
        unsigned bits = ~lanes_set(dropped) & ((1u << lanes) - 1);
        left_n += static_cast<double>(lanes);
        for (; bits != 0; bits &= bits - 1) {
            const ITYPE k = p + std::countr_zero(bits);
            if (k >= positions) break;
            for (; moved <= k; ++moved) s.left[s.row_classes[s.rows[moved]]] += 1.0;
            const double k_left_n = static_cast<double>(k + 1);
            const double k_right_n = node.total - k_left_n;
            const double score =
                split_score(s.n_classes, s.left, s.total, k_left_n, k_right_n, node.total);
            if (score < best.score) {
                best.threshold = (s.values[k] + s.values[k + 1]) * 0.5;
                best.score = score;
                best.feature = feature;
                bound.set_best(score);
            }
        }
    }
}

void sweep_classes_screened_portable(const Node& node, const ScreenedClasses& s, ITYPE feature,
                                     BestSplit& best) {
    sweep_classes_screened<Doubles2>(node, s, feature, best);
}

[[gnu::target("avx2"), gnu::flatten]] void sweep_classes_screened_avx2(const Node& node,
                                                                       const ScreenedClasses& s,
                                                                       ITYPE feature,
                                                                       BestSplit& best) {
    sweep_classes_screened<Doubles4>(node, s, feature, best);
}

struct TargetSums {
    double sum = 0.0;
    double sum_of_squares = 0.0;
};

// Σ y[r] and Σ y[r]² over r = 0 … n − 1, each a plain sequential sum.
TargetSums sum_targets(StridedVector<double> y, ITYPE n) {
    TargetSums sums;
    for (ITYPE r = 0; r < n; ++r) {
        sums.sum += y[r];
        sums.sum_of_squares += y[r] * y[r];
    }
    return sums;
}

// The weighted variance of the two children at each sorted position p = 0 … count − 1, from
// the left child's sums there (p + 1 rows); the right child's are the node's minus these.
// Lanes of positions past count hold no candidate: their values are never read. `left` and
// `scores` hold count rounded up to whole blocks of kScoreLanes.
template <class Vector>
[[gnu::always_inline]] inline void score_targets(const TargetSums* left, ITYPE count,
                                                 const TargetSums& totals, double total,
                                                 double* scores) {
    constexpr ITYPE lanes = sizeof(Vector) / sizeof(double);
    const Vector node_n = Vector{} + total;
    Vector left_n;
    for (ITYPE lane = 0; lane < lanes; ++lane) left_n[lane] = static_cast<double>(lane + 1);
    for (ITYPE p = 0; p < count; p += lanes) {
        Vector sum, sum_of_squares;
        for (ITYPE lane = 0; lane < lanes; ++lane) {
            sum[lane] = left[p + lane].sum;
            sum_of_squares[lane] = left[p + lane].sum_of_squares;
        }
        const Vector right_n = node_n - left_n;
        const Vector right_var =
            variance(totals.sum - sum, totals.sum_of_squares - sum_of_squares, right_n);
        const Vector left_var = variance(sum, sum_of_squares, left_n);
        const Vector score = (left_n / node_n) * left_var + (right_n / node_n) * right_var;
        std::memcpy(scores + p, &score, sizeof score);
        left_n += static_cast<double>(lanes);
    }
}

void score_targets_portable(const TargetSums* left, ITYPE count, const TargetSums& totals,
                            double total, double* scores) {
    score_targets<Doubles2>(left, count, totals, total, scores);
}

[[gnu::target("avx2"), gnu::flatten]] void score_targets_avx2(const TargetSums* left, ITYPE count,
                                                              const TargetSums& totals,
                                                              double total, double* scores) {
    score_targets<Doubles4>(left, count, totals, total, scores);
}

// One feature of the regression search: the left sums grow one row at a time in sorted order,
// every position is scored at once (the divisions run in vector lanes), and the candidates are
// then taken in sorted order. `left` and `scores`: storage for n − 1 positions rounded up to
// whole blocks of kScoreLanes, zeros past them.
template <class Rows, class Targets>
void sweep_targets(const Node& node, Rows sorted, Targets y, const TargetSums& totals,
                   ITYPE feature, BestSplit& best, TargetSums* left, double* scores) {
    const ITYPE positions = node.n - 1;
    TargetSums sums;
    for (ITYPE i = 0; i < positions; ++i) {
        const ITYPE k = sorted.row(i);
        sums.sum += y[k];
        sums.sum_of_squares += y[k] * y[k];
        left[i] = sums;
    }
    if (positions <= 0) return;
    quillbrax::dispatch<score_targets_portable, score_targets_avx2>(left, positions, totals,
                                                                    node.total, scores);
    for (ITYPE i = 0; i < positions; ++i) {
        const double current_val = sorted.value(i);
        const double next_val = sorted.value(i + 1);
        if (current_val == next_val) continue;
        const double left_n = static_cast<double>(i + 1);
        if (left_n < node.min_samples_leaf) continue;
        const double right_n = node.total - left_n;
        if (right_n < node.min_samples_leaf) continue;
        if (scores[i] < best.score) {
            best.threshold = (current_val + next_val) * 0.5;
            best.score = scores[i];
            best.feature = feature;
        }
    }
}

// Keys whose signed order is numeric order (-0.0 just below +0.0), without a branch: a negative
// double has its other bits inverted, a non-negative one is its bits.
inline int64_t signed_key_of(double value) {
    const auto bits = std::bit_cast<int64_t>(value);
    return bits ^ ((bits >> 63) & INT64_MAX);
}

// The rank of each of n keys in ascending order, ties in index order: the count of keys below
// it plus the count of equal keys before it. The ranks are a permutation of 0 … n − 1 whatever
// the keys. `keys` and `ranks` hold n rounded up to whole blocks of kRankBlock, the keys past n
// the largest key (INT64_MAX, which no key below it counts); the ranks past n are of no use.
constexpr size_t kRankBlock = 4;

// The rank sort's keys of the n values of a column, NaN the largest (INT64_MAX), in `keys`,
// which holds n rounded up to whole blocks of kRankBlock; the keys past n are INT64_MAX too.
// Gives the number of NaNs. The keys of rows `first` … n − 1, one at a time, and the padding:
ITYPE column_keys_from(StridedVector<double> column, ITYPE first, ITYPE n, int64_t* keys) {
    ITYPE nan_count = 0;
    ITYPE r = first;
    for (; r < n; ++r) {
        const double value = column[r];
        const bool nan = std::isnan(value);
        nan_count += nan ? 1 : 0;
        keys[r] = nan ? INT64_MAX : signed_key_of(value);
    }
    for (; r % ITYPE{kRankBlock} != 0; ++r) keys[r] = INT64_MAX;
    return nan_count;
}

ITYPE column_keys_portable(StridedVector<double> column, ITYPE n, int64_t* keys) {
    return column_keys_from(column, 0, n, keys);
}

// Four values to a vector: the same keys, the sign's mask by a compare, NaNs by their
// inequality with themselves.
[[gnu::target("avx2")]] ITYPE column_keys_avx2(StridedVector<double> column, ITYPE n,
                                               int64_t* keys) {
    using Lanes = int64_t __attribute__((vector_size(32)));
    const Lanes largest = Lanes{} + INT64_MAX;
    Lanes nans = {};  // −(NaNs) by lane
    ITYPE r = 0;
    for (; r + ITYPE{kRankBlock} <= n; r += ITYPE{kRankBlock}) {
        const Doubles4 values = {column[r], column[r + 1], column[r + 2], column[r + 3]};
        const auto bits = reinterpret_cast<Lanes>(values);
        const auto nan = reinterpret_cast<Lanes>(values != values);
        const Lanes key = bits ^ ((bits < 0) & largest);
        nans += nan;
        const Lanes chosen = (key & ~nan) | (largest & nan);
        std::memcpy(keys + r, &chosen, sizeof chosen);
    }
    return -((nans[0] + nans[1]) + (nans[2] + nans[3])) + column_keys_from(column, r, n, keys);
}

void rank_keys_portable(const int64_t* keys, ITYPE n, int64_t* ranks) {
    for (ITYPE i = 0; i < n; ++i) {
        int64_t rank = 0;
        for (ITYPE j = 0; j < i; ++j) rank += keys[j] <= keys[i] ? 1 : 0;
        for (ITYPE j = i + 1; j < n; ++j) rank += keys[j] < keys[i] ? 1 : 0;
        ranks[i] = rank;
    }
}

// Blocks of four keys, one vector each, each pair of blocks compared once: key_j < key_i, for
// row i of an earlier block and row j of a later one, counts for the rank of i, and its negation,
// key_i ≤ key_j, for the rank of j. The later block is compared in its four rotations, so that
// the four compares meet every pair; its counts are rotated back at the end. Within a block, the
// three rotations meet every other lane, whose key counts when it is below, or equal and in an
// earlier lane. Compares give −1 where they hold.
[[gnu::target("avx2")]] void rank_keys_avx2(const int64_t* keys, ITYPE n, int64_t* ranks) {
    using Lanes = int64_t __attribute__((vector_size(32)));
    static_assert(sizeof(Lanes) == kRankBlock * sizeof(int64_t));
    // Wrapped[r]: the lanes l whose partner in rotation r, lane (l + r) mod 4, comes before l.
    const Lanes wrapped[4] = {{}, {0, 0, 0, -1}, {0, 0, -1, -1}, {0, -1, -1, -1}};
    for (ITYPE b = 0; b < n; b += ITYPE{kRankBlock}) {
        Lanes later;
        std::memcpy(&later, keys + b, sizeof later);
        // Rotation r holds in lane l the key of lane (l + r) mod 4.
        const Lanes rotated[4] = {later, __builtin_shufflevector(later, later, 1, 2, 3, 0),
                                  __builtin_shufflevector(later, later, 2, 3, 0, 1),
                                  __builtin_shufflevector(later, later, 3, 0, 1, 2)};
        Lanes above[4] = {};  // by rotation: −(keys of earlier blocks above)
        for (ITYPE a = 0; a < b; a += ITYPE{kRankBlock}) {
            Lanes earlier, rank;
            std::memcpy(&earlier, keys + a, sizeof earlier);
            std::memcpy(&rank, ranks + a, sizeof rank);
            const Lanes below0 = rotated[0] < earlier;
            const Lanes below1 = rotated[1] < earlier;
            const Lanes below2 = rotated[2] < earlier;
            const Lanes below3 = rotated[3] < earlier;
            above[0] += below0;
            above[1] += below1;
            above[2] += below2;
            above[3] += below3;
            rank -= (below0 + below1) + (below2 + below3);
            std::memcpy(ranks + a, &rank, sizeof rank);
        }
        Lanes rank = b + above[0] + __builtin_shufflevector(above[1], above[1], 3, 0, 1, 2) +
                     __builtin_shufflevector(above[2], above[2], 2, 3, 0, 1) +
                     __builtin_shufflevector(above[3], above[3], 1, 2, 3, 0);
        for (int r = 1; r < 4; ++r) {
            rank -= (rotated[r] < later) | ((rotated[r] == later) & wrapped[r]);
        }
        std::memcpy(ranks + b, &rank, sizeof rank);
    }
}

// The longest column the rank sort takes, by kernel. Its n² compares run without a branch, and
// four ranks at a time it beats the comparison sort, whose branches mispredict on fresh data, up
// to 256 rows (about 8 times at 50 rows, 3 times at 256); one rank at a time only up to about 32.
ITYPE rank_sort_rows_portable() { return 32; }
ITYPE rank_sort_rows_avx2() { return 256; }

// Sorts the rows of one column in ascending order of value with NaN last, as np.argsort does,
// on keys that order doubles as integers: a rank sort for the shortest columns (the nodes deep in
// a tree), a comparison sort for short ones, both with costs that shrink with n, and a
// least-significant-digit radix sort for long ones, whose histograms are allocated at the first
// long column. The order among equal values is free: a candidate lies only between distinct
// values, and the rows left of it are the same whichever way equal values are ordered, and so
// are the class counts.
// The order among NaNs is not free (a candidate between two NaNs sees which of them went left),
// so a column with two or more NaNs is not sorted here; nor is a column with equal values when
// the sweep sums targets, whose rounding depends on the order in which rows are added.
class ColumnSorter {
public:
    enum class Ties { free, refused };

    // False, with nothing sorted, when the column holds two or more NaNs, equal values that
    // `ties` refuses, or more rows than the 32-bit bucket counts can hold.
    bool sort(StridedVector<double> column, ITYPE n, Ties ties) {
        if (n > ITYPE{UINT32_MAX}) return false;
        const auto count = static_cast<size_t>(n);
        rows_.resize(count);
        values_.resize(count + kScoreLanes);  // zeros past n: whole blocks of lanes, one more
        if (n <= quillbrax::dispatch<rank_sort_rows_portable, rank_sort_rows_avx2>()) {
            // Whole blocks of four; the keys past n are the largest, which no rank counts.
            const size_t padded = (count + kRankBlock - 1) / kRankBlock * kRankBlock;
            ranked_keys_.resize(padded);
            ranks_.resize(padded);
            const ITYPE nan_count = quillbrax::dispatch<column_keys_portable, column_keys_avx2>(
                column, n, ranked_keys_.data());
            if (nan_count >= 2) return false;
            quillbrax::dispatch<rank_keys_portable, rank_keys_avx2>(ranked_keys_.data(), n,
                                                                    ranks_.data());
            for (ITYPE r = 0; r < n; ++r) {
                const auto k = static_cast<size_t>(ranks_[static_cast<size_t>(r)]);
                rows_[k] = r;
                values_[k] = column[r];
            }
        } else {
            items_.resize(count);
            ITYPE nan_count = 0;
            ITYPE nan_row = -1;
            for (ITYPE r = 0; r < n; ++r) {
                const double value = column[r];
                uint64_t key = ~uint64_t{0};
                if (std::isnan(value)) {
                    ++nan_count;
                    nan_row = r;
                } else {
                    key = key_of(value);
                }
                items_[static_cast<size_t>(r)] = {key, r};
            }
            if (nan_count >= 2) return false;
            if (n <= kComparisonSortRows) {
                std::sort(items_.begin(), items_.end(),
                          [](const Item& a, const Item& b) { return a.key < b.key; });
            } else {
                radix_sort();
            }
            for (size_t k = 0; k < count; ++k) {
                rows_[k] = items_[k].row;
                values_[k] = value_of(items_[k].key);
            }
            if (nan_count == 1) values_[count - 1] = column[nan_row];  // the NaN itself, last
        }
        if (ties == Ties::refused) {
            for (size_t k = 0; k + 1 < count; ++k) {
                if (values_[k] == values_[k + 1]) return false;
            }
        }
        return true;
    }

    // The values are readable to n rounded up to whole blocks of kScoreLanes, and one more.
    SortedRows sorted() const { return {rows_.data(), values_.data()}; }

private:
    struct Item {
        uint64_t key;
        ITYPE row;
    };
    // Up to this many rows a comparison sort is cheaper than the radix sort's fixed cost of
    // clearing and scanning its histograms (the two cost the same at about 400 rows).
    static constexpr ITYPE kComparisonSortRows = 384;
    static constexpr int kDigitBits = 11;
    static constexpr int kPasses = 6;  // 66 bits cover the key
    static constexpr size_t kBuckets = size_t{1} << kDigitBits;
    static constexpr uint64_t kSign = uint64_t{1} << 63;
    static constexpr size_t kScatterAhead = 16;

    // The same keys with the top bit flipped, for unsigned order: non-negative doubles get the
    // sign bit set, negative ones are inverted. NaN has the all-ones key.
    static uint64_t key_of(double value) {
        return static_cast<uint64_t>(signed_key_of(value)) ^ kSign;
    }
    static double value_of(uint64_t key) {
        return std::bit_cast<double>((key & kSign) != 0 ? key & ~kSign : ~key);
    }
    static size_t digit(uint64_t key, int pass) {
        return static_cast<size_t>(key >> (pass * kDigitBits)) & (kBuckets - 1);
    }

    // items_ in ascending order of key, one stable counting pass per digit.
    void radix_sort() {
        const size_t count = items_.size();
        spare_.resize(count);
        histogram_.assign(kPasses * kBuckets, 0u);
        for (const Item& item : items_) {
            for (int pass = 0; pass < kPasses; ++pass) {
                ++histogram_[static_cast<size_t>(pass) * kBuckets + digit(item.key, pass)];
            }
        }
        for (int pass = 0; pass < kPasses; ++pass) {
            uint32_t* counts = histogram_.data() + static_cast<size_t>(pass) * kBuckets;
            if (counts[digit(items_[0].key, pass)] == count) continue;  // one bucket: no move
            size_t offset = 0;
            for (size_t b = 0; b < kBuckets; ++b) {
                const size_t bucket = counts[b];
                counts[b] = static_cast<uint32_t>(offset);
                offset += bucket;
            }
            // Each store lands on one of up to 2048 lines, which is rarely in the first-level
            // cache and stalls the stores behind it while it comes: the line of the item
            // kScatterAhead places on is asked for early (it may move on by the time that item
            // is stored, but rarely past its line). The sort takes half the time on a Xeon with
            // 10^5 rows.
            const Item* in = items_.data();
            Item* out = spare_.data();
            size_t i = 0;
            for (; i + kScatterAhead < count; ++i) {
                __builtin_prefetch(out + counts[digit(in[i + kScatterAhead].key, pass)], 1);
                out[counts[digit(in[i].key, pass)]++] = in[i];
            }
            for (; i < count; ++i) out[counts[digit(in[i].key, pass)]++] = in[i];
            items_.swap(spare_);
        }
    }

    std::vector<Item> items_;
    std::vector<Item> spare_;
    std::vector<int64_t> ranked_keys_;  // signed_key_of(value), NaN the largest
    std::vector<int64_t> ranks_;
    std::vector<ITYPE> rows_;
    std::vector<double> values_;
    std::vector<uint32_t> histogram_;
};

// ---------------------------------------------------------------------------------------------
// Bodies: argument checks are the frame's; what remains is reaching NumPy (np.unique, np.zeros,
// np.argsort), checking what it gives, and the kernel calls. The reads follow the statements'
// order: np.argsort is looked up before column j is read, and the labels (targets) a sweep
// reads are those y holds after that, whatever Python code the lookup or the call ran.

using frame::numpy_names::argsort;
using frame::numpy_names::float64;
using frame::numpy_names::unique;
using frame::numpy_names::zeros;

constexpr const char* kShortTargetsMessage =
    "y has %zd entries but X has %zd rows: y needs an entry for every row of X";
constexpr const char* kOrderLengthMessage =
    "np.argsort gave an order of length %zd for a column of %zd rows";
constexpr const char* kOrderIndexMessage =
    "np.argsort gave row index %zd at position %zd, out of bounds for %zd rows";
constexpr const char* kCountsLengthMessage = "np.zeros gave an array of length %zd, not %zd";

struct ClassifierParameters {
    static constexpr frame::ArrayParameter X{0, "X", frame::DTYPE_t, 2};
    static constexpr frame::ArrayParameter y{1, "y", frame::INT_t, 1};
    static constexpr frame::IntParameter min_samples_leaf{2, "min_samples_leaf"};
    static constexpr auto table = frame::parameter_table(X, y, min_samples_leaf);
};
struct RegressorParameters {
    static constexpr frame::ArrayParameter X{0, "X", frame::DTYPE_t, 2};
    static constexpr frame::ArrayParameter y{1, "y", frame::DTYPE_t, 1};
    static constexpr frame::IntParameter min_samples_leaf{2, "min_samples_leaf"};
    static constexpr auto table = frame::parameter_table(X, y, min_samples_leaf);
};

// Source lines of the statements that can fail (labels of the traceback entries).
struct ClassifierLines {
    int definition;    // argument errors, y shorter than X
    int unique;        // classes = np.unique(y)
    int total_counts;  // total_counts = np.zeros(n_classes, dtype=np.float64)
    int count;         // total_counts[class_to_idx[y[r]]] += 1.0
    int left_counts;   // left_counts = np.zeros(n_classes, dtype=np.float64)
    int argsort;       // order = np.argsort(X[:, j]), and the checks of what it gave
    int sweep_lookup;  // c = class_to_idx[y[r]]
    int result;        // return best_feat, best_thr, best_score
};
struct RegressorLines {
    int definition;
    int argsort;
    int result;
};
constexpr ClassifierLines kClassifierLines{.definition = 16,
                                           .unique = 28,
                                           .total_counts = 34,
                                           .count = 36,
                                           .left_counts = 47,
                                           .argsort = 50,
                                           .sweep_lookup = 55,
                                           .result = 75};
constexpr RegressorLines kRegressorLines{.definition = 82, .argsort = 101, .result = 123};

// The result of every call that finds no split: one tuple, shared.
frame::ModuleConstant no_split{[] { return PyTuple_Pack(3, Py_None, Py_None, Py_None); }};

void check_target_count(const frame::ArrayBuffer& y, ITYPE n, int line) {
    if (y.shape(0) < n) frame::raise(PyExc_ValueError, line, kShortTargetsMessage, y.shape(0), n);
}

[[noreturn]] void raise_missing_label(INT label, int line) {
    frame::Ref key = frame::make_int(label, line);
    PyErr_SetObject(PyExc_KeyError, key.get());
    frame::fail(line);
}

// np.zeros(count, dtype=np.float64), copied into native storage: the kernels write only memory
// of their own, never an array that np handed back.
std::vector<double> zeros_array(frame::Call& call, ITYPE count, int line) {
    frame::Ref length = frame::make_int(count, line);
    frame::Ref array = call.call_numpy_with_dtype(zeros, float64, line, {length.get()});
    const frame::ArrayBuffer& buffer =
        call.numpy_buffer(array.get(), zeros, frame::DTYPE_t, 1, line);
    if (buffer.shape(0) != count) {
        frame::raise(PyExc_ValueError, line, kCountsLengthMessage, buffer.shape(0), count);
    }
    const StridedVector<double> values = vector_of<double>(buffer);
    std::vector<double> result = frame::scratch<double>(count, line);
    for (ITYPE i = 0; i < count; ++i) result[static_cast<size_t>(i)] = values[i];
    return result;
}

// NumPy's own `name`: the function that one of `modules` (where NumPy's versions define it)
// holds, found without running any Python code (dictionary lookups only). A function that is
// anything else is called.
bool is_numpy_own(PyObject* function, const frame::InternedName& name,
                  std::initializer_list<const frame::InternedName*> modules) {
    PyObject* loaded = PyImport_GetModuleDict();
    for (const frame::InternedName* module_name : modules) {
        PyObject* module = PyDict_GetItemWithError(loaded, module_name->get());
        if (module == nullptr || !PyModule_CheckExact(module)) continue;
        PyObject* own = PyDict_GetItemWithError(PyModule_GetDict(module), name.get());
        if (own != nullptr) return own == function;
    }
    PyErr_Clear();
    return false;
}

bool is_numpy_argsort(PyObject* function) {
    using frame::numpy_names::fromnumeric;
    using frame::numpy_names::fromnumeric_1x;
    return is_numpy_own(function, argsort, {&fromnumeric, &fromnumeric_1x});
}

// The sorted distinct labels, what np.unique gives for a plain array of them: marked over their
// range where it spans at most a few times their count (labels 0 … C − 1, the usual kind), sorted
// otherwise.
std::vector<INT> sorted_distinct(StridedVector<INT> labels, int line) {
    const ITYPE count = labels.shape[0];
    if (count == 0) return {};
    INT low = labels[0];
    INT high = labels[0];
    for (ITYPE r = 1; r < count; ++r) {
        const INT label = labels[r];
        low = std::min(low, label);
        high = std::max(high, label);
    }
    // high − low in unsigned arithmetic, where it cannot overflow.
    const uint64_t span = static_cast<uint64_t>(high) - static_cast<uint64_t>(low);
    std::vector<INT> distinct = frame::scratch<INT>(count, line);
    if (span < static_cast<uint64_t>(std::max<ITYPE>(4 * count, 64))) {
        std::vector<unsigned char> seen =
            frame::scratch<unsigned char>(static_cast<ITYPE>(span) + 1, line);
        for (ITYPE r = 0; r < count; ++r) {
            seen[static_cast<uint64_t>(labels[r]) - static_cast<uint64_t>(low)] = 1;
        }
        // Every offset writes the slot of the next label found; the last offset is the highest
        // label's, so no write passes the slot of the last distinct label.
        size_t found = 0;
        for (uint64_t offset = 0; offset <= span; ++offset) {
            distinct[found] = static_cast<INT>(static_cast<uint64_t>(low) + offset);
            found += seen[offset];
        }
        distinct.resize(found);
        return distinct;
    }
    for (ITYPE r = 0; r < count; ++r) distinct[static_cast<size_t>(r)] = labels[r];
    std::sort(distinct.begin(), distinct.end());
    distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
    return distinct;
}

// classes = np.unique(y), as the class table. Where np.unique is NumPy's own and y a plain
// ndarray, what the call would give is known and found here; otherwise np.unique is called and
// what it gives must be a 1-D array of labels.
ClassTable class_table(frame::Call& call, PyObject* y_object, StridedVector<INT> labels, int line) {
    frame::Ref function = call.numpy_attribute(unique, line);
    using frame::numpy_names::arraysetops;
    using frame::numpy_names::arraysetops_1x;
    std::vector<INT> distinct;  // the classes where found here,
    frame::Ref classes_array;   // or where np.unique gave them
    StridedVector<INT> classes;
    if (Py_TYPE(y_object) == frame::ndarray_type() &&
        is_numpy_own(function.get(), unique, {&arraysetops, &arraysetops_1x})) {
        distinct = sorted_distinct(labels, line);
        classes = {reinterpret_cast<char*>(distinct.data()),
                   {static_cast<ITYPE>(distinct.size())},
                   {sizeof(INT)}};
    } else {
        classes_array = frame::checked(PyObject_CallOneArg(function.get(), y_object), line);
        classes =
            vector_of<INT>(call.numpy_buffer(classes_array.get(), unique, frame::INT_t, 1, line));
    }
    const ITYPE n_classes = classes.shape[0];
    return ClassTable(classes, n_classes, frame::scratch<ClassTable::Entry>(n_classes, line));
}

// How the rows of one feature were put in order: by ColumnSorter, or by the order np.argsort
// gave (held in the buffer of the array variable `order`, null before the first feature, and
// copied to `checked`).
enum class Ordered { natively, by_np };

// order = np.argsort(X[:, j]): np.argsort is looked up first, as the statement evaluates it.
// When it is NumPy's own and X a plain ndarray, what the call would give is known, an ascending
// order with NaN last, and the column is sorted natively where that gives the same results
// (ColumnSorter). Otherwise np.argsort is called and what it gives is checked: n row indices,
// each in 0 … n − 1, copied to `checked` (n long once used) as they are checked. The sweep reads
// the copy: releasing an object can run its __del__, which may write to the order in place, and
// not every release can come before the check. `known_argsort` holds the function found to be
// NumPy's own earlier in the call (a reference, so that the same object is recognised for the
// next features).
template <class Parameters>
Ordered order_feature(frame::Call& call, ColumnSorter& sorter, ColumnSorter::Ties ties,
                      frame::Ref& known_argsort, const frame::ArrayBuffer*& order,
                      std::vector<ITYPE>& checked, ITYPE j, ITYPE n, int line) {
    frame::Ref function = call.numpy_attribute(argsort, line);
    PyObject* X = call.object(Parameters::X);
    if (function.get() != known_argsort.get() && is_numpy_argsort(function.get())) {
        known_argsort = frame::Ref::borrow(function.get());
    }
    if (Py_TYPE(X) == frame::ndarray_type() && function.get() == known_argsort.get() &&
        sorter.sort(column_of(call[Parameters::X], j), n, ties)) {
        return Ordered::natively;
    }
    frame::Ref sorted;
    {
        frame::Ref all_rows = frame::make_slice(nullptr, nullptr, line);
        frame::Ref feature = frame::make_int(j, line);
        frame::Ref key = frame::make_tuple({all_rows.get(), feature.get()}, line);
        frame::Ref column = frame::checked(PyObject_GetItem(X, key.get()), line);
        sorted = frame::checked(PyObject_CallOneArg(function.get(), column.get()), line);
        // The function and its argument are released as the statement releases them, before
        // what it gave is taken.
        function = frame::Ref();
    }
    order = &call.reassign_numpy_buffer(order, sorted.get(), argsort, frame::ITYPE_t, 1, line);
    if (order->shape(0) != n) {
        frame::raise(PyExc_ValueError, line, kOrderLengthMessage, order->shape(0), n);
    }
    if (checked.empty()) checked = frame::scratch<ITYPE>(n, line);
    const StridedVector<ITYPE> rows = vector_of<ITYPE>(*order);
    const ITYPE bad = copy_rows_in_range(rows, n, checked.data());
    if (bad >= 0) frame::raise(PyExc_IndexError, line, kOrderIndexMessage, rows[bad], bad, n);
    return Ordered::by_np;
}

frame::Ref split_result(const BestSplit& best, int line) {
    if (best.feature == -1) return frame::Ref::borrow(no_split.get());
    frame::Ref feature = frame::make_int(best.feature, line);
    frame::Ref threshold = frame::make_float(best.threshold, line);
    frame::Ref score = frame::make_float(best.score, line);
    return frame::make_tuple({feature.get(), threshold.get(), score.get()}, line);
}

// The class of each row as the sweep would look it up now: refreshed from y before every
// sweep, where only labels that changed since the last sweep are looked up again.
class RowClasses {
public:
    RowClasses(ITYPE n, int line)
        : labels_(frame::scratch<INT>(n, line)), classes_(frame::scratch<ITYPE>(n, line)) {}

    // Looks up the class of each of the rows 0 … n − 1 as y holds them now and adds 1.0 to its
    // entry of `counts`, in row order, up to the first label the table lacks.
    LabelLookup count(StridedVector<INT> y, const ClassTable& table, std::vector<double>& counts) {
        for (size_t r = 0; r < labels_.size(); ++r) {
            const INT label = y[static_cast<ITYPE>(r)];
            const ITYPE c = table.find(label);
            if (c < 0) return {true, label};
            labels_[r] = label;
            classes_[r] = c;
            counts[static_cast<size_t>(c)] += 1.0;
        }
        fresh_ = true;
        return {};
    }
    // True when a class changed since the last refresh or count (or on the first refresh).
    bool refresh(StridedVector<INT> y, const ClassTable& table) {
        const size_t bytes = labels_.size() * sizeof(INT);
        if (fresh_ && bytes > 0 && y.strides[0] == sizeof(INT) &&
            std::memcmp(labels_.data(), y.data, bytes) == 0) {
            return false;  // the labels as they were, compared as one run of bytes
        }
        bool changed = !fresh_;
        for (size_t r = 0; r < labels_.size(); ++r) {
            const INT label = y[static_cast<ITYPE>(r)];
            if (fresh_ && labels_[r] == label) continue;
            labels_[r] = label;
            classes_[r] = table.find(label);
            changed = true;
        }
        fresh_ = true;
        return changed;
    }
    // Whether every row has a class and the rows of each class number `counts`.
    bool counted_by(const std::vector<double>& counts) const {
        std::vector<double> found(counts.size(), 0.0);
        for (const ITYPE c : classes_) {
            if (c < 0) return false;
            found[static_cast<size_t>(c)] += 1.0;
        }
        return found == counts;
    }
    ITYPE operator()(ITYPE r) const { return classes_[static_cast<size_t>(r)]; }
    const ITYPE* data() const { return classes_.data(); }

private:
    std::vector<INT> labels_;
    std::vector<ITYPE> classes_;
    bool fresh_ = false;
};

template <ClassifierLines lines>
frame::Ref classifier_body(frame::Call& call) {
    using P = ClassifierParameters;
    const frame::ArrayBuffer& X = call[P::X];
    const frame::ArrayBuffer& y = call[P::y];
    const ITYPE n = X.shape(0);
    const ITYPE m = X.shape(1);
    check_target_count(y, n, lines.definition);
    const Node node{n, static_cast<double>(n), static_cast<double>(call[P::min_samples_leaf])};

    const ClassTable table = class_table(call, call.object(P::y), vector_of<INT>(y), lines.unique);
    const ITYPE n_classes = table.n_classes();

    std::vector<double> total_counts = zeros_array(call, n_classes, lines.total_counts);
    const StridedVector<INT> labels = vector_of<INT>(y);
    // The class of each row, found once here and refreshed before each sweep; they count as
    // total_counts does when np.zeros gave zeros.
    RowClasses row_class(n, lines.definition);
    bool partition =
        std::all_of(total_counts.begin(), total_counts.end(), [](double c) { return c == 0.0; });
    const LabelLookup counted = row_class.count(labels, table, total_counts);
    if (counted.missing) raise_missing_label(counted.label, lines.count);
    if (n_classes > 0) {
        const double base_gini =
            gini(total_counts.size(), [&](size_t c) { return total_counts[c]; }, node.total);
        if (base_gini < quillbrax::kPurityThreshold) return frame::Ref::borrow(no_split.get());
    }

    BestSplit best;
    std::vector<double> left_counts = zeros_array(call, n_classes, lines.left_counts);
    ColumnSorter sorter;
    frame::Ref known_argsort;
    const frame::ArrayBuffer* order = nullptr;
    std::vector<ITYPE> checked_order;
    double total_squares = 0.0;
    for (const double count : total_counts) total_squares += count * count;
    // The screened sweep's sums at each position, in whole blocks of vector lanes.
    const ITYPE padded = (n + ITYPE{kScoreLanes} - 1) / ITYPE{kScoreLanes} * ITYPE{kScoreLanes};
    std::vector<double> position_sums = frame::scratch<double>(2 * padded, lines.definition);
    for (ITYPE j = 0; j < m; ++j) {
        const Ordered ordered =
            order_feature<P>(call, sorter, ColumnSorter::Ties::free, known_argsort, order,
                             checked_order, j, n, lines.argsort);
        if (row_class.refresh(labels, table)) partition = row_class.counted_by(total_counts);
        // Screened on a native order only: a permutation of the rows (one np gave need not be).
        if (ordered == Ordered::natively && partition && n <= ScoreBound::kMaxRows) {
            const SortedRows sorted = sorter.sorted();
            const ScreenedClasses screened{
                sorted.rows,         sorted.values,        row_class.data(),
                total_counts.data(), total_counts.size(),  total_squares,
                left_counts.data(),  position_sums.data(), position_sums.data() + padded};
            quillbrax::dispatch<sweep_classes_screened_portable, sweep_classes_screened_avx2>(
                node, screened, j, best);
            continue;
        }
        const auto class_of = [&row_class](ITYPE r) { return row_class(r); };
        const LabelLookup swept =
            ordered == Ordered::natively
                ? sweep_classes(node, sorter.sorted(), class_of, labels, total_counts, left_counts,
                                j, best)
                : sweep_classes(node, OrderedRows{checked_order.data(), column_of(X, j)}, class_of,
                                labels, total_counts, left_counts, j, best);
        if (swept.missing) raise_missing_label(swept.label, lines.sweep_lookup);
    }
    return split_result(best, lines.result);
}

template <RegressorLines lines>
frame::Ref regressor_body(frame::Call& call) {
    using P = RegressorParameters;
    const frame::ArrayBuffer& X = call[P::X];
    const frame::ArrayBuffer& y = call[P::y];
    const ITYPE n = X.shape(0);
    const ITYPE m = X.shape(1);
    check_target_count(y, n, lines.definition);
    const Node node{n, static_cast<double>(n), static_cast<double>(call[P::min_samples_leaf])};

    const StridedVector<double> targets = vector_of<double>(y);
    const TargetSums totals = sum_targets(targets, n);
    const double base_var = variance(totals.sum, totals.sum_of_squares, node.total);
    if (base_var < quillbrax::kPurityThreshold || m == 0) {
        return frame::Ref::borrow(no_split.get());
    }

    BestSplit best;
    // The targets as y holds them when each sweep starts, at unit stride.
    std::vector<double> dense = frame::scratch<double>(n, lines.definition);
    // The left sums and the score at each sorted position, in whole blocks of vector lanes.
    const ITYPE blocks = (n + ITYPE{kScoreLanes} - 1) / ITYPE{kScoreLanes};
    std::vector<TargetSums> left_sums =
        frame::scratch<TargetSums>(blocks * ITYPE{kScoreLanes}, lines.definition);
    std::vector<double> scores =
        frame::scratch<double>(blocks * ITYPE{kScoreLanes}, lines.definition);
    ColumnSorter sorter;
    frame::Ref known_argsort;
    const frame::ArrayBuffer* order = nullptr;
    std::vector<ITYPE> checked_order;
    for (ITYPE j = 0; j < m; ++j) {
        const Ordered ordered =
            order_feature<P>(call, sorter, ColumnSorter::Ties::refused, known_argsort, order,
                             checked_order, j, n, lines.argsort);
        for (ITYPE r = 0; r < n; ++r) dense[static_cast<size_t>(r)] = targets[r];
        if (ordered == Ordered::natively) {
            sweep_targets(node, sorter.sorted(), dense.data(), totals, j, best, left_sums.data(),
                          scores.data());
        } else {
            sweep_targets(node, OrderedRows{checked_order.data(), column_of(X, j)}, dense.data(),
                          totals, j, best, left_sums.data(), scores.data());
        }
    }
    return split_result(best, lines.result);
}

// ---------------------------------------------------------------------------------------------
// Module table.

constexpr const char* kClassifierLocals[] = {"n",
                                             "m",
                                             "classes",
                                             "n_classes",
                                             "class_to_idx",
                                             "total_counts",
                                             "total_sum",
                                             "base_gini",
                                             "left_counts",
                                             "left_n",
                                             "right_n",
                                             "left_gini",
                                             "right_gini",
                                             "score",
                                             "order",
                                             "current_val",
                                             "next_val",
                                             "best_score",
                                             "best_feat",
                                             "best_thr",
                                             "j",
                                             "k",
                                             "r",
                                             "c"};
constexpr const char* kRegressorLocals[] = {
    "n",          "m",           "total_sum_y", "total_sum_y2", "total_n",     "base_var",
    "left_sum_y", "left_sum_y2", "left_n",      "right_n",      "right_sum_y", "right_sum_y2",
    "left_var",   "right_var",   "score",       "order",        "k",           "current_val",
    "next_val",   "best_score",  "best_feat",   "best_thr",     "r",           "j",
    "i"};

constexpr const char* kClassifierDoc =
    "Find best (feature, threshold) for a classification node.\n"
    "\n"
    "    Returns (best_feat, best_thr, best_score) or (None, None, None).\n"
    "    Uses pre-sorted feature columns and cumulative counts for O(n*m) total.\n"
    "    ";
constexpr const char* kRegressorDoc = "Find best (feature, threshold) for a regression node (MSE).";

constexpr frame::FunctionSpec kFunctions[] = {
    {"_best_split_classifier", ClassifierParameters::table, kClassifierLocals, kClassifierDoc,
     kClassifierLines.definition, classifier_body<kClassifierLines>},
    {"_best_split_regressor", RegressorParameters::table, kRegressorLocals, kRegressorDoc,
     kRegressorLines.definition, regressor_body<kRegressorLines>},
};

constexpr frame::ModuleSpec kModule = {
    "_splitscan",
    "quillbrax.accel._splitscan",
    "quillbrax/accel/_splitscan",
    "Accelerated decision tree split search routines.",
    kFunctions,
    frame::NativeInterfaceImport::during_initialisation,
    0,
};

}  // namespace

PyMODINIT_FUNC PyInit__splitscan(void) { return quillbrax::frame::module_definition(kModule); }
