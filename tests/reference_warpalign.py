"""Plain-Python reference for the banded DTW: the full (n+1) x (m+1) table, then the traceback."""

UNREACHABLE = 1e308


def dtw_path(x, y, window):
    """Returns (path as a list of (i, j) tuples from the start, cost)."""
    x = [float(v) for v in x]
    y = [float(v) for v in y]
    n, m = len(x), len(y)
    w = max(abs(n - m), window)
    dp = [[UNREACHABLE] * (m + 1) for _ in range(n + 1)]
    dp[0][0] = 0.0
    for i in range(1, n + 1):
        for j in range(max(1, i - w), min(m, i + w) + 1):
            dp[i][j] = abs(x[i - 1] - y[j - 1]) + min(dp[i - 1][j], dp[i][j - 1], dp[i - 1][j - 1])
    path = []
    if n > 0 and m > 0:
        i, j = n, m
        while True:
            path.append((i - 1, j - 1))
            d1, d2, d3 = dp[i - 1][j], dp[i][j - 1], dp[i - 1][j - 1]
            if d1 <= d2 and d1 <= d3:
                i -= 1
            elif d2 <= d1 and d2 <= d3:
                j -= 1
            else:
                i, j = i - 1, j - 1
            if i == 0 or j == 0:
                break
    path.reverse()
    return path, dp[n][m]
