// quillbrax.accel._nearix: a median-split k-d tree over the rows of a sample matrix, queried for
// the k nearest rows (squared Euclidean distance) of every row of a query matrix.
//
// The kernels come first and know nothing of Python; defining QUILLBRAX_KERNELS_ONLY before
// including this file leaves out the bindings, which is how the native unit tests use it.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace quillbrax::nearix {

inline constexpr std::int32_t no_node = -1;

// One sample per node, inner or leaf. A leaf keeps dim 0 and val 0.0.
struct Node {
    std::int32_t idx = 0;
    std::int32_t dim = 0;
    double val = 0.0;
    std::int32_t left = no_node;
    std::int32_t right = no_node;
};

// The tree owns a row-major copy of its samples (coordinate j of sample i at data[i * d + j]),
// so nothing the caller does to its array later can reach it. Nodes sit in one array in
// pre-order; children are positions in that array, no_node when absent.
struct KDTree {
    std::vector<double> data;
    std::vector<Node> nodes;
    std::int32_t root = no_node;
    std::int32_t n = 0;
    std::int32_t d = 0;
};

namespace detail {

// Builds the subtree over idxs[0 .. count-1], reordering that run, and returns its position.
// Only the median's position matters to the tree: after the selection the run before it holds
// the `mid` smallest coordinates and the run after it the rest, exactly the split a full sort
// gives (which of several equal coordinates lands where is free either way).
inline std::int32_t build(KDTree &tree, std::int32_t *idxs, std::int32_t count,
                          std::int32_t depth) {
    if (count == 0) {
        return no_node;
    }
    const auto node = static_cast<std::int32_t>(tree.nodes.size());
    tree.nodes.emplace_back();
    if (count == 1) {
        tree.nodes[node].idx = idxs[0];
        return node;
    }
    const std::int32_t dim = depth % tree.d;
    const double *data = tree.data.data();
    const auto d = static_cast<std::size_t>(tree.d);
    const auto coordinate = [data, d, dim](std::int32_t i) {
        return data[static_cast<std::size_t>(i) * d + static_cast<std::size_t>(dim)];
    };
    const std::int32_t mid = count / 2;
    std::nth_element(idxs, idxs + mid, idxs + count, [&coordinate](std::int32_t a, std::int32_t b) {
        return coordinate(a) < coordinate(b);
    });
    tree.nodes[node].idx = idxs[mid];
    tree.nodes[node].dim = dim;
    tree.nodes[node].val = coordinate(idxs[mid]);
    const std::int32_t left = build(tree, idxs, mid, depth + 1);
    const std::int32_t right = build(tree, idxs + mid + 1, count - mid - 1, depth + 1);
    tree.nodes[node].left = left;
    tree.nodes[node].right = right;
    return node;
}

}  // namespace detail

// Builds the tree over n samples of d coordinates. Needs d >= 1 when n >= 2, and no NaN among
// the coordinates (the median selection needs a strict weak order).
inline KDTree build_tree(std::vector<double> data, std::int32_t n, std::int32_t d) {
    KDTree tree;
    tree.data = std::move(data);
    tree.n = n;
    tree.d = d;
    tree.nodes.reserve(static_cast<std::size_t>(n));
    std::vector<std::int32_t> idxs(static_cast<std::size_t>(n));
    for (std::int32_t i = 0; i < n; ++i) {
        idxs[static_cast<std::size_t>(i)] = i;
    }
    tree.root = detail::build(tree, idxs.data(), n, 0);
    return tree;
}

// One candidate; candidates are ordered by distance alone.
struct HeapItem {
    double dist;
    std::int32_t idx;
};

// Bounded max-heap of the best candidates so far; the top is the current k-th best. The sift
// rules fix which of several equally distant candidates survives and the order in which ties
// are written, so they are spelled out here rather than left to std::push_heap/pop_heap.
class CandidateHeap {
public:
    std::size_t size() const { return items_.size(); }
    bool empty() const { return items_.empty(); }
    const HeapItem &top() const { return items_.front(); }
    void clear() { items_.clear(); }

    void insert(HeapItem item) {
        items_.push_back(item);
        sift_up(items_.size() - 1, item);
    }

    void remove_top() {
        const HeapItem last = items_.back();
        items_.back() = items_.front();
        items_.pop_back();
        const std::size_t count = items_.size();
        if (count == 0) {
            return;
        }
        std::size_t hole = 0;
        while (2 * hole + 2 < count) {
            std::size_t child = 2 * hole + 2;
            if (items_[child].dist < items_[child - 1].dist) {
                --child;
            }
            items_[hole] = items_[child];
            hole = child;
        }
        if (2 * hole + 1 < count) {
            items_[hole] = items_[2 * hole + 1];
            hole = 2 * hole + 1;
        }
        sift_up(hole, last);
    }

private:
    void sift_up(std::size_t hole, HeapItem item) {
        while (hole > 0) {
            const std::size_t parent = (hole - 1) / 2;
            if (!(items_[parent].dist < item.dist)) {
                break;
            }
            items_[hole] = items_[parent];
            hole = parent;
        }
        items_[hole] = item;
    }

    std::vector<HeapItem> items_;
};

// Squared Euclidean distance, summed in coordinate order; the query row is the first operand.
inline double sq(const double *a, const double *b, std::size_t d) {
    double sum = 0.0;
    for (std::size_t i = 0; i < d; ++i) {
        const double diff = a[i] - b[i];
        sum += diff * diff;
    }
    return sum;
}

inline constexpr double empty_heap_bound = 1e308;

// Branch-and-bound descent for one query row q; k >= 1. The far side is searched while the
// heap is not full or the splitting plane is strictly nearer than the k-th best.
inline void knn(const KDTree &tree, std::int32_t node, const double *q, std::size_t k,
                CandidateHeap &heap) {
    const auto d = static_cast<std::size_t>(tree.d);
    while (node != no_node) {
        const Node &current = tree.nodes[static_cast<std::size_t>(node)];
        const double dist = sq(q, tree.data.data() + static_cast<std::size_t>(current.idx) * d, d);
        if (heap.size() < k) {
            heap.insert({dist, current.idx});
        } else if (dist < heap.top().dist) {
            heap.remove_top();
            heap.insert({dist, current.idx});
        }
        if (current.left == no_node && current.right == no_node) {
            return;
        }
        const double diff = q[current.dim] - current.val;
        const bool near_is_left = diff <= 0;
        knn(tree, near_is_left ? current.left : current.right, q, k, heap);
        const double kth_best = heap.empty() ? empty_heap_bound : heap.top().dist;
        if (!(kth_best > diff * diff || heap.size() < k)) {
            return;
        }
        node = near_is_left ? current.right : current.left;
    }
}

// Answers nq query rows of the tree's d coordinates (row i at queries + i * d) with k nearest
// samples each, k <= n. Row i of the results starts at i * k, nearest first.
inline void query_rows(const KDTree &tree, const double *queries, std::int64_t nq, std::int32_t k,
                       std::int32_t *indices, double *distances) {
    if (k <= 0) {
        return;
    }
    const auto d = static_cast<std::size_t>(tree.d);
    const auto width = static_cast<std::size_t>(k);
    CandidateHeap heap;
    for (std::size_t i = 0; i < static_cast<std::size_t>(nq); ++i) {
        heap.clear();
        knn(tree, tree.root, queries + i * d, width, heap);
        // With k <= n the heap always fills to k, so every cell of the row is written.
        for (std::size_t pos = heap.size(); pos > 0; --pos) {
            indices[i * width + pos - 1] = heap.top().idx;
            distances[i * width + pos - 1] = heap.top().dist;
            heap.remove_top();
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

inline constexpr const char *message_no_columns =
    "X has {} rows and 0 columns; a tree over two or more rows needs at least one column";
inline constexpr const char *message_nan_sample = "X holds NaN at row {}, column {}";
inline constexpr const char *message_query_columns = "Q has {} columns; the tree's samples have {}";

std::unique_ptr<KDTree> new_tree(const FloatArray &X) {
    bound::require_ndim(X, 2, "X");
    const std::int32_t n = bound::int32_extent(X, 0, "X", "rows");
    const std::int32_t d = bound::int32_extent(X, 1, "X", "columns");
    if (d == 0 && n >= 2) {
        bound::raise_value_error(message_no_columns, text(n));
    }
    const bound::DenseFloats samples(X);
    const std::size_t count = static_cast<std::size_t>(n) * static_cast<std::size_t>(d);
    const double *first = samples.data();
    const double *nan = std::find_if(first, first + count, [](double v) { return std::isnan(v); });
    if (nan != first + count) {
        const auto offset = static_cast<std::int64_t>(nan - first);
        bound::raise_value_error(message_nan_sample, text(offset / d), text(offset % d));
    }
    return std::make_unique<KDTree>(build_tree(std::vector<double>(first, first + count), n, d));
}

std::tuple<py::array_t<std::int32_t>, py::array_t<double>> query(const KDTree &tree,
                                                                 const FloatArray &Q, int k) {
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

}  // namespace quillbrax::nearix

PYBIND11_MODULE(_nearix, m, pybind11::mod_gil_used(),
                pybind11::multiple_interpreters::not_supported()) {
    namespace nearix = quillbrax::nearix;
    pybind11::class_<nearix::KDTree>(m, "KDTree")
        .def(pybind11::init(&nearix::new_tree))
        .def("query", &nearix::query);
}

#endif  // QUILLBRAX_KERNELS_ONLY
