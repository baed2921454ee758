"""Plain-Python references for the k-d tree: brute force, and the tree search itself.

Both compute squared distances in the same order as the native code: (q[j] - x[j]) squared,
summed for j = 0, 1, ..., d - 1 starting from 0.0, so distances can be compared exactly.
"""

import math


def squared_distance(q, x):
    """Where the sum is NaN, the NaN of x86's additions in that order: the running sum keeps its
    own (the first operand's, when both are NaN), written out rather than left to how this
    interpreter's own addition was compiled."""
    total = 0.0
    for a, b in zip(q, x):
        diff = float(a) - float(b)
        total = total if math.isnan(total) else total + diff * diff
    return total


def brute_force(X, Q, k):
    """For each query row, every sample as (distance, index), nearest first, cut to k."""
    rows = []
    for q in Q:
        scored = sorted((squared_distance(q, x), i) for i, x in enumerate(X))
        rows.append(scored[: max(k, 0)])
    return rows


class _Node:
    def __init__(self, idx):
        self.idx, self.dim, self.val, self.left, self.right = idx, 0, 0.0, None, None


def _build(X, idxs, depth, d):
    if not idxs:
        return None
    if len(idxs) == 1:
        return _Node(idxs[0])
    dim = depth % d
    # The native selection leaves equal coordinates in an unspecified order, so this
    # reference is only meaningful when each column holds distinct values.
    idxs = sorted(idxs, key=lambda i: X[i][dim])
    mid = len(idxs) // 2
    node = _Node(idxs[mid])
    node.dim, node.val = dim, float(X[idxs[mid]][dim])
    node.left = _build(X, idxs[:mid], depth + 1, d)
    node.right = _build(X, idxs[mid + 1 :], depth + 1, d)
    return node


def _sift_up(heap, hole, item):
    while hole > 0:
        parent = (hole - 1) // 2
        if not heap[parent][0] < item[0]:
            break
        heap[hole] = heap[parent]
        hole = parent
    heap[hole] = item


def _insert(heap, item):
    heap.append(item)
    _sift_up(heap, len(heap) - 1, item)


def _remove_top(heap):
    last = heap[-1]
    heap[-1] = heap[0]
    heap.pop()
    count = len(heap)
    if count == 0:
        return
    hole = 0
    while 2 * hole + 2 < count:
        child = 2 * hole + 2
        if heap[child][0] < heap[child - 1][0]:
            child -= 1
        heap[hole] = heap[child]
        hole = child
    if 2 * hole + 1 < count:
        heap[hole] = heap[2 * hole + 1]
        hole = 2 * hole + 1
    _sift_up(heap, hole, last)


def _knn(node, q, X, k, heap):
    if node is None:
        return
    dist = squared_distance(q, X[node.idx])
    if len(heap) < k:
        _insert(heap, (dist, node.idx))
    elif dist < heap[0][0]:
        _remove_top(heap)
        _insert(heap, (dist, node.idx))
    if node.left is None and node.right is None:
        return
    diff = float(q[node.dim]) - node.val
    near, far = (node.left, node.right) if diff <= 0 else (node.right, node.left)
    _knn(near, q, X, k, heap)
    kth = heap[0][0] if heap else 1e308
    if kth > diff * diff or len(heap) < k:
        _knn(far, q, X, k, heap)


def tree_search(X, Q, k):
    """The tree's answer, tie order included, as (indices rows, distances rows)."""
    X = [list(row) for row in X]
    n = len(X)
    d = len(X[0]) if X else 0
    root = _build(X, list(range(n)), 0, d)
    width = min(k, n)
    indices, distances = [], []
    for q in Q:
        heap = []
        if width > 0:
            _knn(root, list(q), X, width, heap)
        row_i, row_d = [0] * len(heap), [0.0] * len(heap)
        for pos in range(len(heap) - 1, -1, -1):
            row_d[pos], row_i[pos] = heap[0]
            _remove_top(heap)
        indices.append(row_i)
        distances.append(row_d)
    return indices, distances
