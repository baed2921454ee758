"""Plain-Python references, written from the documented arithmetic: slow and obviously right.

Python floats are IEEE doubles and Python never fuses a multiply into an add, so these give the
exact bits the kernels must give.
"""

import math

import numpy as np


def pairwise(X, Y, metric):
    """Distance matrix of rows of X against the first X.shape[1] columns of the rows of Y."""
    n, d = X.shape
    m = Y.shape[0]
    out = np.empty((n, m))
    for i in range(n):
        for j in range(m):
            acc = 0.0
            for k in range(d):
                diff = float(X[i, k]) - float(Y[j, k])
                acc = acc + (abs(diff) if metric == "manhattan" else diff * diff)
            out[i, j] = math.pow(acc, 0.5) if metric == "euclidean" else acc
    return out
