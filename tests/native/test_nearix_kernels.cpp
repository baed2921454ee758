// Tree shape and heap order of _nearix's kernels, which the Python surface does not expose.
#define QUILLBRAX_KERNELS_ONLY
#include "_nearix.cpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "check.hpp"

using namespace quillbrax::nearix;

namespace {

// The tree's nodes as records, the root first, as the checks below read them.
struct Shape {
    std::vector<Node> nodes;
    std::int32_t root;
    std::vector<double> data;  // the samples, row-major
    std::int32_t n;
    std::int32_t d;
};

const Node& at(const Shape& tree, std::int32_t node) {
    return tree.nodes[static_cast<std::size_t>(node)];
}

bool is_leaf(const Shape& tree, std::int32_t node, std::int32_t idx) {
    const Node& leaf = at(tree, node);
    return node != no_node && leaf.idx == idx && leaf.dim == 0 && leaf.val == 0.0 &&
           leaf.left == no_node && leaf.right == no_node;
}

Shape tree_of(const std::vector<double>& data, std::int32_t n, std::int32_t d) {
    const KDTree tree = build_tree(data.data(), n, d);
    return {node_records(tree), n > 0 ? 0 : no_node, data, n, d};
}

void worked_example() {
    const Shape tree = tree_of({2, 3, 5, 4, 9, 6, 4, 7, 8, 1, 7, 2}, 6, 2);
    CHECK(tree.nodes.size() == 6);
    const Node& root = at(tree, tree.root);
    CHECK(root.idx == 5 && root.dim == 0 && root.val == 7.0);
    const Node& left = at(tree, root.left);
    CHECK(left.idx == 1 && left.dim == 1 && left.val == 4.0);
    CHECK(is_leaf(tree, left.left, 0));
    CHECK(is_leaf(tree, left.right, 3));
    const Node& right = at(tree, root.right);
    CHECK(right.idx == 2 && right.dim == 1 && right.val == 6.0);
    CHECK(is_leaf(tree, right.left, 4));
    CHECK(right.right == no_node);
}

void small_trees() {
    const Shape empty = tree_of({}, 0, 3);
    CHECK(empty.root == no_node && empty.nodes.empty());

    const Shape one = tree_of({4, 5}, 1, 2);
    CHECK(one.nodes.size() == 1 && is_leaf(one, one.root, 0));

    const Shape one_without_columns = tree_of({}, 1, 0);
    CHECK(is_leaf(one_without_columns, one_without_columns.root, 0));

    // Two rows: the upper median at the root, the other row as its left leaf, no right child.
    const Shape two = tree_of({3, 1, 1, 2}, 2, 2);
    const Node& root = at(two, two.root);
    CHECK(two.nodes.size() == 2);
    CHECK(root.idx == 0 && root.dim == 0 && root.val == 3.0 && root.right == no_node);
    CHECK(is_leaf(two, root.left, 1));
}

struct ShapeChecker {
    const Shape& tree;
    std::vector<int> seen;
    bool ok = true;

    double coordinate(std::int32_t idx, std::int32_t dim) const {
        return tree.data[static_cast<std::size_t>(idx) * static_cast<std::size_t>(tree.d) +
                         static_cast<std::size_t>(dim)];
    }

    // Returns the subtree's size; checks every node and that each sample lies within the bounds
    // of all its ancestors' splits.
    std::int32_t visit(std::int32_t node, std::int32_t depth,
                       std::vector<std::pair<int, double>>& upper,
                       std::vector<std::pair<int, double>>& lower) {
        if (node == no_node) {
            return 0;
        }
        const Node& current = at(tree, node);
        ++seen[static_cast<std::size_t>(current.idx)];
        for (const auto& [dim, val] : upper) ok = ok && coordinate(current.idx, dim) <= val;
        for (const auto& [dim, val] : lower) ok = ok && coordinate(current.idx, dim) >= val;
        ok = ok && (1 << depth) <= tree.n;  // depth <= floor(log2 n)
        if (current.left == no_node && current.right == no_node) {
            ok = ok && current.dim == 0 && current.val == 0.0;
            return 1;
        }
        ok = ok && current.left != no_node && current.dim == depth % tree.d &&
             current.val == coordinate(current.idx, current.dim);
        upper.emplace_back(current.dim, current.val);
        const std::int32_t left = visit(current.left, depth + 1, upper, lower);
        upper.pop_back();
        lower.emplace_back(current.dim, current.val);
        const std::int32_t right = visit(current.right, depth + 1, upper, lower);
        lower.pop_back();
        const std::int32_t size = left + right + 1;
        // The median sits at size / 2; the right child is missing exactly for two samples.
        ok = ok && left == size / 2 && right == size - size / 2 - 1;
        ok = ok && ((current.right == no_node) == (size == 2));
        return size;
    }
};

void invariants_on_tie_heavy_data() {
    std::mt19937 random(12345);
    // The larger sizes run the sampled pivots on rows and subtrees of pairs with whole runs of
    // equal keys (span 0: every key equal).
    for (std::int32_t n : {2, 3, 4, 5, 7, 8, 16, 31, 64, 100, 257, 3000, 30000}) {
        for (std::int32_t d : {1, 2, 3}) {
            for (int span : {0, 1, 3, 1000}) {
                std::uniform_int_distribution<int> value(0, span);
                std::vector<double> data(static_cast<std::size_t>(n * d));
                for (double& v : data) v = value(random);
                const Shape tree = tree_of(data, n, d);
                ShapeChecker checker{tree, std::vector<int>(static_cast<std::size_t>(n), 0)};
                std::vector<std::pair<int, double>> upper, lower;
                const std::int32_t size = checker.visit(tree.root, 0, upper, lower);
                bool every_index_once = true;
                for (int count : checker.seen) every_index_once = every_index_once && count == 1;
                CHECK(size == n && static_cast<std::int32_t>(tree.nodes.size()) == n);
                CHECK(every_index_once);
                CHECK(checker.ok);
                // Every built tree passes the check that restoring a saved tree applies.
                const KDTree built = build_tree(data.data(), n, d);
                CHECK(valid_tree(built.points.data(), built.rows.data(), n, d));
            }
        }
    }
}

void query_worked_example() {
    const std::vector<double> data = {2, 3, 5, 4, 9, 6, 4, 7, 8, 1, 7, 2};
    const KDTree tree = build_tree(data.data(), 6, 2);
    const double queries[] = {9, 2, 5, 5, 0, 0};
    std::int32_t indices[6];
    double distances[6];
    query_rows(tree, queries, 3, 2, indices, distances);
    const std::int32_t want_indices[] = {4, 5, 1, 3, 0, 1};
    const double want_distances[] = {2, 4, 1, 5, 13, 41};
    for (int c = 0; c < 6; ++c)
        CHECK(indices[c] == want_indices[c] && distances[c] == want_distances[c]);

    std::int32_t all_indices[6];
    double all_distances[6];
    query_rows(tree, queries, 1, 6, all_indices, all_distances);
    const std::int32_t want_all[] = {4, 5, 2, 1, 3, 0};
    const double want_all_distances[] = {2, 4, 16, 20, 50, 50};
    for (int c = 0; c < 6; ++c)
        CHECK(all_indices[c] == want_all[c] && all_distances[c] == want_all_distances[c]);
}

void heap_pops_in_non_increasing_order() {
    CandidateHeap heap(8);
    const double dists[] = {5, 1, 5, 3, 0, 5, 2, 4};
    for (std::int32_t i = 0; i < 8; ++i) heap.insert({dists[i], i});
    double previous = 1e308;
    bool descending = true;
    while (!heap.empty()) {
        descending = descending && heap.top().dist <= previous;
        previous = heap.top().dist;
        heap.remove_top();
    }
    CHECK(descending);
}

// replace_top leaves the same items in the same slots as remove_top followed by insert, ties
// included (which of equal candidates is dropped and the order they are written in follow from
// the slots).
void heap_replace_equals_remove_then_insert() {
    for (std::size_t capacity : {1, 2, 3, 8, 13}) {
        CandidateHeap fused(capacity);
        CandidateHeap apart(capacity);
        bool same = true;
        for (std::int32_t i = 0; i < 200; ++i) {
            const HeapItem item{static_cast<double>((i * 7) % 5), i};
            if (fused.size() < capacity) {
                fused.insert(item);
                apart.insert(item);
            } else {
                fused.replace_top(item);
                apart.remove_top();
                apart.insert(item);
            }
            for (std::size_t p = 0; p < fused.size(); ++p) {
                same = same && fused.items()[p].dist == apart.items()[p].dist &&
                       fused.items()[p].idx == apart.items()[p].idx;
            }
        }
        CHECK(same && fused.size() == capacity);
    }
}

// Whether box `box` is exactly the smallest and largest coordinates of the subtree it belongs
// to (size nodes at position p), and so on for the boxes below it.
bool boxes_exact(const KDTree& tree, std::size_t box, std::int32_t p, std::int32_t size) {
    const auto d = static_cast<std::size_t>(tree.d);
    bool ok = true;
    for (std::size_t j = 0; j < d; ++j) {
        double lowest = HUGE_VAL;
        double highest = -HUGE_VAL;
        for (std::int32_t q = p; q < p + size; ++q) {
            lowest = std::min(lowest, tree.points[static_cast<std::size_t>(q) * d + j]);
            highest = std::max(highest, tree.points[static_cast<std::size_t>(q) * d + j]);
        }
        ok = ok && tree.lower[box * d + j] == lowest && tree.upper[box * d + j] == highest;
    }
    // Every sample lies within reach of the box's centre as the search computes it (the distance
    // taken in long double), in trees of enough dimensions to have a reach.
    ok = ok && tree.reach.size() == (tree.d >= ball_min_dims ? tree.lower.size() / d : 0);
    for (std::int32_t q = p; q < p + size && !tree.reach.empty(); ++q) {
        long double squared = 0.0L;
        for (std::size_t j = 0; j < d; ++j) {
            const double centre = box_centre(tree.lower[box * d + j], tree.upper[box * d + j]);
            const long double diff =
                static_cast<long double>(tree.points[static_cast<std::size_t>(q) * d + j]) - centre;
            squared += diff * diff;
        }
        ok = ok && std::sqrt(squared) <= tree.reach[box];
    }
    if (2 * box + 1 < tree.lower.size() / d) {
        ok = ok && boxes_exact(tree, 2 * box + 1, p + 1, size / 2) &&
             boxes_exact(tree, 2 * box + 2, p + 1 + size / 2, size - size / 2 - 1);
    }
    return ok;
}

// Subtrees of at least box_min_size samples have boxes, and each is exact; none smaller does.
void subtree_boxes_bound_their_samples() {
    std::mt19937 random(99);
    std::normal_distribution<double> jitter(0.0, 0.05);
    for (const std::int32_t n : {1, 300, 513, 514, 5000}) {
        for (const std::int32_t d : {3, ball_min_dims}) {
            std::vector<double> samples(static_cast<std::size_t>(n) * d);
            for (std::size_t i = 0; i < samples.size(); ++i) {
                samples[i] = static_cast<double>((i / d) % 4) + jitter(random);
            }
            const KDTree tree = build_tree(samples.data(), n, d);
            const std::size_t boxes = tree.lower.size() / d;
            CHECK(boxes == (std::size_t{1} << tree.box_levels) - 1);
            std::int32_t smallest = n;  // the smallest subtree of the last level of boxes
            for (std::int32_t level = 1; level < tree.box_levels; ++level) {
                smallest = smallest - smallest / 2 - 1;
            }
            CHECK(smallest >= box_min_size || tree.box_levels == 1);
            CHECK(smallest - smallest / 2 - 1 < box_min_size);
            CHECK(boxes_exact(tree, 0, 0, n));
        }
    }
}

// The tree as the plain algorithm builds it: every run fully sorted along its dimension, the
// median (upper middle) stored, then the left run and the right run; rows in pre-order. Where
// each column holds distinct values, this fixes the tree completely.
void reference_preorder(const std::vector<double>& data, std::size_t d, std::int32_t* idxs,
                        std::size_t count, std::size_t depth, std::vector<std::int32_t>& out) {
    if (count == 0) return;
    if (count == 1) {
        out.push_back(idxs[0]);
        return;
    }
    const std::size_t dim = depth % d;
    std::sort(idxs, idxs + count, [&](std::int32_t a, std::int32_t b) {
        return data[static_cast<std::size_t>(a) * d + dim] <
               data[static_cast<std::size_t>(b) * d + dim];
    });
    const std::size_t mid = count / 2;
    out.push_back(idxs[mid]);
    reference_preorder(data, d, idxs, mid, depth + 1, out);
    reference_preorder(data, d, idxs + mid + 1, count - mid - 1, depth + 1, out);
}

// The in-place build (and its fallback selection, forced with a negative slack) gives the
// plain algorithm's tree, its coordinates being the rows' own.
void build_matches_the_plain_algorithm() {
    std::mt19937 random(2024);
    bool same = true;
    for (std::int32_t n : {2, 3, 5, 16, 17, 18, 33, 100, 1000, 2049, 4097, 30000}) {
        for (std::int32_t d : {1, 2, 3, 5, 16}) {
            // distinct values per column, in a random order; some columns sorted or reversed
            std::vector<double> data(static_cast<std::size_t>(n) * static_cast<std::size_t>(d));
            for (std::int32_t j = 0; j < d; ++j) {
                std::vector<double> column(static_cast<std::size_t>(n));
                for (std::int32_t i = 0; i < n; ++i)
                    column[static_cast<std::size_t>(i)] = (j % 3 == 2 ? -1.0 : 1.0) * i + 0.5 * j;
                if (j % 3 == 0) std::shuffle(column.begin(), column.end(), random);
                for (std::int32_t i = 0; i < n; ++i)
                    data[static_cast<std::size_t>(i * d + j)] = column[static_cast<std::size_t>(i)];
            }
            std::vector<std::int32_t> idxs(static_cast<std::size_t>(n)), want;
            for (std::int32_t i = 0; i < n; ++i) idxs[static_cast<std::size_t>(i)] = i;
            reference_preorder(data, static_cast<std::size_t>(d), idxs.data(), idxs.size(), 0,
                               want);
            for (int slack : {8, -1000}) {
                KDTree tree;
                if (slack == 8) {
                    tree = build_tree(data.data(), n, d);
                } else {
                    tree.points = data;
                    tree.rows = idxs;
                    for (std::int32_t i = 0; i < n; ++i) tree.rows[static_cast<std::size_t>(i)] = i;
                    detail::Builder(tree.points.data(), tree.rows.data(),
                                    static_cast<std::size_t>(n), static_cast<std::size_t>(d), slack)
                        .build(0, static_cast<std::size_t>(n), 0);
                }
                same = same && tree.rows == want;
                for (std::size_t p = 0; p < want.size(); ++p)
                    for (std::int32_t j = 0; j < d; ++j)
                        same = same && tree.points[p * static_cast<std::size_t>(d) +
                                                   static_cast<std::size_t>(j)] ==
                                           data[static_cast<std::size_t>(want[p] * d + j)];
            }
        }
    }
    CHECK(same);
}

// A long run takes its pivots from evenly spread keys (of rows: 2 * sqrt(count) of them; of a
// run of pairs: 32), at i * count / size, which can mislead: here those rows hold the column's
// smallest keys (or, negated, its largest), so both pivots fall far from the median and the
// selection must go on beyond them. With distinct keys the tree is the plain algorithm's. With
// the sampled rows and others, exactly half the rows, holding 0 (both pivots 0, the median the
// first key above them) and distinct keys above, the tree must still be a valid one. 30000 rows
// are selected as rows, 1000 in one dimension as pairs.
void misleading_samples() {
    for (const auto& [n, size] : {std::pair<std::int32_t, std::size_t>{30000, 346}, {1000, 32}}) {
        const std::size_t count = static_cast<std::size_t>(n);
        std::vector<char> sampled(count, 0);
        for (std::size_t i = 0; i < size; ++i) sampled[i * count / size] = 1;
        std::vector<double> distinct(count), tied(count);
        double small = 0.0, large = static_cast<double>(size);
        std::size_t zeros = size;
        for (std::size_t i = 0; i < count; ++i) {
            distinct[i] = sampled[i] ? small++ : large++;
            const bool zero = sampled[i] || zeros < count / 2;
            zeros += static_cast<std::size_t>(zero && !sampled[i]);
            tied[i] = zero ? 0.0 : static_cast<double>(i);
        }
        for (const double sign : {1.0, -1.0}) {
            std::vector<double> column(count);
            std::vector<std::int32_t> idxs(count), want;
            for (std::size_t i = 0; i < count; ++i) {
                column[i] = sign * distinct[i];
                idxs[i] = static_cast<std::int32_t>(i);
            }
            reference_preorder(column, 1, idxs.data(), count, 0, want);
            CHECK(build_tree(column.data(), n, 1).rows == want);
        }

        const Shape tree = tree_of(tied, n, 1);
        ShapeChecker checker{tree, std::vector<int>(count, 0)};
        std::vector<std::pair<int, double>> upper, lower;
        CHECK(checker.visit(tree.root, 0, upper, lower) == n && checker.ok);
    }
}

// The ranks that sort a short run of pairs, portable and AVX2 alike, are the positions of a
// stable sort, for every count up to 32: keys drawn from two values, from a few (-0.0 and 0.0
// equal, infinities), or spread.
void key_ranks_sort_stably() {
    std::mt19937 random(31);
    const double values[] = {1.0, -INFINITY, -0.0, 0.0, 1e-310, -2.5, INFINITY};
    std::uniform_real_distribution<double> spread(-1.0, 1.0);
    bool stable = true;
    for (std::size_t count = 1; count <= 32; ++count) {
        for (int round = 0; round < 30; ++round) {
            std::vector<double> keys((count + 3) / 4 * 4, 0.0);
            for (std::size_t i = 0; i < count; ++i) {
                keys[i] = round % 3 == 2 ? spread(random) : values[random() % (round % 3 ? 7 : 2)];
            }
            std::vector<std::size_t> order(count);
            for (std::size_t i = 0; i < count; ++i) order[i] = i;
            // (a stable sort: equal keys by position)
            std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
                return keys[a] < keys[b] || (!(keys[b] < keys[a]) && a < b);
            });
            std::vector<std::int64_t> portable(keys.size()), avx2(keys.size());
            detail::rank_keys_portable(keys.data(), count, portable.data());
            if (__builtin_cpu_supports("avx2"))
                detail::rank_keys_avx2(keys.data(), count, avx2.data());
            else
                avx2 = portable;
            for (std::size_t p = 0; p < count; ++p) {
                stable = stable && portable[order[p]] == static_cast<std::int64_t>(p) &&
                         avx2[order[p]] == static_cast<std::int64_t>(p);
            }
        }
    }
    CHECK(stable);
}

// Batched distances, portable and AVX2 alike, equal `sq` bit for bit for every row count and
// coordinate count (the AVX2 kernel's four-coordinate blocks and their remainders), with
// infinities, NaN, signed zeros and subnormals among the values. A NaN is a NaN: which of two
// NaN operands an addition passes on is the compiler's choice of operand order, in `sq` too.
bool same_bits(double a, double b) {
    return std::memcmp(&a, &b, sizeof a) == 0 || (std::isnan(a) && std::isnan(b));
}

void batched_distances_equal_sq() {
    std::mt19937 random(77);
    std::uniform_real_distribution<double> uniform(-3.0, 3.0);
    const double specials[] = {0.0,       -0.0, 1e-310, -4e-320, INFINITY,
                               -INFINITY, NAN,  1e200,  -1e-200};
    bool equal = true;
    for (std::size_t d = 0; d <= 19; ++d) {
        for (const std::size_t count : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 31, 63, 64}) {
            std::vector<double> q(d), rows(count * d);
            for (double& v : q) v = random() % 7 == 0 ? specials[random() % 9] : uniform(random);
            for (double& v : rows) v = random() % 7 == 0 ? specials[random() % 9] : uniform(random);
            std::vector<double> portable(count + 1, -1.0), avx2(count + 1, -1.0),
                avx512(count + 1, -1.0);
            // The rows strictly below a limit among the distances themselves (every bit, and a
            // NaN distance never), or below +inf.
            const double below = count == 0 || random() % 3 == 0
                                     ? INFINITY
                                     : sq(q.data(), rows.data() + random() % count * d, d);
            const std::uint64_t portable_below =
                batch_sq_portable(q.data(), rows.data(), count, d, portable.data(), below);
            std::uint64_t avx2_below = portable_below;
            if (__builtin_cpu_supports("avx2"))
                avx2_below = batch_sq_avx2(q.data(), rows.data(), count, d, avx2.data(), below);
            else
                avx2 = portable;
            std::uint64_t avx512_below = portable_below;
            if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
                __builtin_cpu_supports("avx512vl"))
                avx512_below =
                    batch_sq_avx512(q.data(), rows.data(), count, d, avx512.data(), below);
            else
                avx512 = portable;
            for (std::size_t r = 0; r < count; ++r) {
                const double want = sq(q.data(), rows.data() + r * d, d);
                equal = equal && same_bits(portable[r], want) && same_bits(avx2[r], want) &&
                        same_bits(avx512[r], want);
                const bool want_below = want < below;
                equal = equal && ((portable_below >> r & 1) == want_below) &&
                        ((avx2_below >> r & 1) == want_below) &&
                        ((avx512_below >> r & 1) == want_below);
                // An early stop never changes a result below its limit, nor lifts one above it.
                const double limit = uniform(random) + 3.0;
                const double bounded = sq_below(q.data(), rows.data() + r * d, d, limit);
                equal = equal && (want < limit ? same_bits(bounded, want)
                                               : !(bounded < limit) && !(want < limit));
            }
            // Nothing past the end, in the distances or the bits.
            equal = equal && portable[count] == -1.0 && avx2[count] == -1.0 &&
                    avx512[count] == -1.0 && (count == 64 || (portable_below >> count) == 0) &&
                    (count == 64 || (avx2_below >> count) == 0) &&
                    (count == 64 || (avx512_below >> count) == 0);
        }
    }
    CHECK(equal);
}

// The reach of a box of samples is the bound of their largest distance sum, taken several rows
// to a vector: portable and AVX2 alike, it is the largest distance_above of the rows bit for
// bit, for row counts around the lanes, with infinities, NaN and subnormals among the values.
void largest_sums_bound_as_the_rows_do() {
    std::mt19937 random(12);
    std::uniform_real_distribution<double> uniform(-3.0, 3.0);
    const double specials[] = {INFINITY, -INFINITY, NAN, 1e-310, 1e200};
    bool same = true;
    for (const std::size_t d : {1, 3, 12, 16}) {
        for (const std::size_t rows : {1, 2, 3, 4, 5, 7, 8, 9, 33}) {
            for (int round = 0; round < 20; ++round) {
                std::vector<double> centre(d), points(rows * d);
                for (double& v : centre) v = uniform(random);
                for (double& v : points)
                    v = round % 2 == 1 && random() % 40 == 0 ? specials[random() % 5]
                                                             : uniform(random);
                double want = 0.0;
                for (std::size_t r = 0; r < rows; ++r)
                    want = std::max(
                        want, detail::distance_above(centre.data(), points.data() + r * d, d));
                const double* end = points.data() + rows * d;
                const double portable = detail::above_of_sum(
                    detail::largest_sum_portable(centre.data(), points.data(), end, d), d);
                const double avx2 =
                    __builtin_cpu_supports("avx2")
                        ? detail::above_of_sum(
                              detail::largest_sum_avx2(centre.data(), points.data(), end, d), d)
                        : portable;
                same = same && same_bits(portable, want) && same_bits(avx2, want);
            }
        }
    }
    CHECK(same);
}

// The sorted insertion of each instruction set against the plain one: a distance goes before
// the first held one above it, the last slot drops out, and equality with a held one is reported.
// Distances drawn from few values (many equal), arrays of 8 to 32 slots, some left at +inf;
// every slot past the array holds NaN and must stay so.
void sorted_insertions_agree() {
    std::mt19937 random(31);
    bool equal = true;
    for (const std::size_t lanes : {8, 16, 24, 32}) {
        for (int trial = 0; trial < 200; ++trial) {
            const std::size_t used = lanes - static_cast<std::size_t>(random() % 8);
            std::vector<double> want(used, INFINITY);
            std::vector<std::int64_t> want_idxs(used, 0);
            std::vector<double> dists[3];
            std::vector<std::int64_t> idxs[3];
            for (int isa = 0; isa < 3; ++isa) {
                dists[isa].assign(lanes, NAN);
                std::fill(dists[isa].begin(), dists[isa].begin() + static_cast<long>(used),
                          INFINITY);
                idxs[isa].assign(lanes, 0);
            }
            for (int step = 0; step < 40; ++step) {
                const double x = static_cast<double>(random() % 12);
                const auto idx = static_cast<std::int64_t>(step);
                const auto at = std::upper_bound(want.begin(), want.end(), x) - want.begin();
                const bool tie = std::find(want.begin(), want.end(), x) != want.end();
                if (static_cast<std::size_t>(at) < used) {
                    want.insert(want.begin() + at, x);
                    want_idxs.insert(want_idxs.begin() + at, idx);
                    want.pop_back();
                    want_idxs.pop_back();
                }
                bool ties[3];
                ties[0] = place_sorted_portable(dists[0].data(), idxs[0].data(), lanes, x, idx);
                ties[1] = ties[0];
                ties[2] = ties[0];
                if (__builtin_cpu_supports("avx2")) {
                    ties[1] = place_sorted_avx2(dists[1].data(), idxs[1].data(), lanes, x, idx);
                } else {
                    dists[1] = dists[0];
                    idxs[1] = idxs[0];
                }
                if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
                    __builtin_cpu_supports("avx512vl")) {
                    ties[2] = place_sorted_avx512(dists[2].data(), idxs[2].data(), lanes, x, idx);
                } else {
                    dists[2] = dists[0];
                    idxs[2] = idxs[0];
                }
                for (int isa = 0; isa < 3; ++isa) {
                    equal = equal && ties[isa] == tie &&
                            std::equal(want.begin(), want.end(), dists[isa].begin()) &&
                            std::all_of(dists[isa].begin() + static_cast<long>(used),
                                        dists[isa].end(), [](double v) { return std::isnan(v); });
                    for (std::size_t i = 0; i < used; ++i) {
                        equal = equal && (want[i] == INFINITY || idxs[isa][i] == want_idxs[i]);
                    }
                }
            }
        }
    }
    CHECK(equal);
}

// The order in which query rows are answered: sorted by key, each entry once, equal keys in the
// order given, whatever the count (keys drawn from few values, so that most are equal).
void rows_sorted_by_key() {
    std::mt19937 random(5);
    for (const std::size_t count : {0, 1, 2, 7, 1000, 65536}) {
        std::vector<std::uint64_t> entries(count), spare(count);
        for (std::size_t r = 0; r < count; ++r) {
            const std::uint64_t key = (random() % 9) << (random() % 27);  // below 2^30
            entries[r] = key << order_chunk_bits | r;
        }
        const std::vector<std::uint64_t> given = entries;
        const std::uint64_t* sorted = sort_by_key(entries.data(), spare.data(), count);
        std::vector<std::uint64_t> want = given;
        std::sort(want.begin(), want.end());  // the row number breaks ties: the order given
        CHECK(std::equal(want.begin(), want.end(), sorted));
    }
}

}  // namespace

int main() {
    worked_example();
    small_trees();
    invariants_on_tie_heavy_data();
    query_worked_example();
    heap_pops_in_non_increasing_order();
    heap_replace_equals_remove_then_insert();
    subtree_boxes_bound_their_samples();
    batched_distances_equal_sq();
    sorted_insertions_agree();
    build_matches_the_plain_algorithm();
    misleading_samples();
    key_ranks_sort_stably();
    largest_sums_bound_as_the_rows_do();
    rows_sorted_by_key();
    return native_check::finish();
}
