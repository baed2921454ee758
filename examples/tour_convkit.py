"""Tour section of _convkit: one convolution and max-pooling layer, forward and backward, on
scikit-learn's 8 x 8 digits. The forward pass is checked against SciPy's 2-D correlation and NumPy
block maxima, the backward pass (im2col's adjoint col2im and the pooling gradient) against central
finite differences. Raises AssertionError if anything disagrees."""

import numpy as np
from scipy.signal import correlate2d
from sklearn.datasets import load_digits

from quillbrax.accel import _convkit

KERNEL, FILTERS, PAD, POOL = 3, 4, 1, 2


def _layer(X, weights, bias, classifier, labels):
    """conv 3 x 3 (pad 1) -> tanh -> 2 x 2 max pooling -> linear -> softmax cross-entropy.
    Returns the loss and everything the backward pass needs."""
    cols, OH, OW = _convkit.im2col(X, KERNEL, KERNEL, 1, PAD)
    Z = (cols @ weights.reshape(-1, FILTERS) + bias).reshape(len(X), OH, OW, FILTERS)
    A = np.tanh(Z)
    P, argmax = _convkit.maxpool_forward(A, POOL, POOL)
    logits = P.reshape(len(X), -1) @ classifier
    logits -= logits.max(axis=1, keepdims=True)
    log_p = logits - np.log(np.exp(logits).sum(axis=1, keepdims=True))
    loss = -log_p[np.arange(len(X)), labels].mean()
    return loss, (cols, Z, A, P, argmax, log_p)


def _gradients(X, weights, bias, classifier, labels, saved):
    cols, Z, A, P, argmax, log_p = saved
    d_logits = np.exp(log_p)
    d_logits[np.arange(len(X)), labels] -= 1.0
    d_logits /= len(X)
    dP = (d_logits @ classifier.T).reshape(P.shape)
    dA = _convkit.maxpool_backward(dP, argmax, A.shape, POOL, POOL)
    dZ = (dA * (1.0 - A * A)).reshape(-1, FILTERS)
    d_weights = (cols.T @ dZ).reshape(weights.shape)
    d_cols = dZ @ weights.reshape(-1, FILTERS).T
    dX = _convkit.col2im(d_cols, X.shape, KERNEL, KERNEL, 1, PAD)
    return d_weights, dX


def tour_convkit(images=64, probes=12, step=1e-5):
    digits = load_digits()  # 1797 images of 8 x 8 pixels, grey levels 0..16
    rng = np.random.default_rng(0)
    # a little noise keeps the background from tying in the pooling windows, where a finite
    # difference would see a kink
    X = digits.images[:images, :, :, None] / 16.0 + 1e-3 * rng.standard_normal((images, 8, 8, 1))
    labels = digits.target[:images]
    weights = 0.5 * rng.standard_normal((KERNEL, KERNEL, 1, FILTERS))  # (i, j, c, filter)
    bias = 0.1 * rng.standard_normal(FILTERS)
    classifier = 0.3 * rng.standard_normal((4 * 4 * FILTERS, 10))

    loss, saved = _layer(X, weights, bias, classifier, labels)
    cols, Z, A, P, _, _ = saved
    correlation = np.array(
        [
            [correlate2d(X[n, :, :, 0], weights[:, :, 0, f], mode="same") for f in range(FILTERS)]
            for n in range(images)
        ]
    )
    correlation = correlation.transpose(0, 2, 3, 1)  # (n, filter, h, w) -> (n, h, w, filter)
    assert np.allclose(Z - bias, correlation, rtol=1e-12, atol=1e-12), (
        "convolution differs from SciPy"
    )
    assert np.array_equal(P, A.reshape(images, 4, 2, 4, 2, FILTERS).max(axis=(2, 4))), (
        "pooled maxima differ from NumPy block maxima"
    )

    d_weights, dX = _gradients(X, weights, bias, classifier, labels, saved)
    worst = 0.0
    for target, gradient in ((weights, d_weights), (X, dX)):
        for flat in rng.choice(target.size, probes, replace=False):
            index = np.unravel_index(flat, target.shape)
            kept = target[index]
            target[index] = kept + step
            above = _layer(X, weights, bias, classifier, labels)[0]
            target[index] = kept - step
            below = _layer(X, weights, bias, classifier, labels)[0]
            target[index] = kept
            numeric = (above - below) / (2 * step)
            error = abs(numeric - gradient[index]) / max(abs(numeric) + abs(gradient[index]), 1e-7)
            worst = max(worst, error)
    assert worst < 1e-5, (
        f"analytic gradient differs from central differences (relative {worst:.1e})"
    )

    lowered = _layer(X, weights - 0.5 * d_weights, bias, classifier, labels)[0]
    assert lowered < loss, "a gradient step did not lower the loss"
    print(
        f"_convkit: 3 x 3 convolution ({FILTERS} filters, pad {PAD}), tanh, {POOL} x {POOL} max "
        f"pooling and softmax on {images} digits of 8 x 8:"
    )
    print(
        f"  im2col gave a {cols.shape[0]} x {cols.shape[1]} column matrix; the convolution "
        f"equals SciPy's correlate2d, the pooling NumPy's block maxima"
    )
    print(
        f"  loss {loss:.4f}; gradients (col2im, maxpool_backward) against central differences "
        f"at {2 * probes} entries: worst relative error {worst:.1e}"
    )
    print(f"  one gradient step on the filters lowers the loss to {lowered:.4f}")


if __name__ == "__main__":
    tour_convkit()
