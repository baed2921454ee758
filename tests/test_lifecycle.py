"""Threads, re-imports and interpreters: what the modules promise about their life in a process."""

import importlib
import sys
import threading

import numpy as np
import pytest
from support import read_only, run_python, same_value

from quillbrax.accel import _convkit, _nearix, _pairmetric, _splitscan, _warpalign

RNG = np.random.default_rng(3)


X = read_only(RNG.normal(size=(40, 4)))
Y = read_only(RNG.normal(size=(30, 4)))
LABELS = read_only(RNG.integers(0, 3, size=40))
TARGETS = read_only(RNG.normal(size=40))
# _convkit views C-contiguous inputs in place with write access; shared strided views are read.
IMAGES = read_only(RNG.normal(size=(3, 9, 9, 2)))[:, ::-1]
TREE = _nearix.KDTree(X)
# col2im views its columns in place with write access whatever their layout (and never writes).
COLS = _convkit.im2col(IMAGES, 3, 3, 1, 1)[0]
POOLED, ARGMAX = (read_only(a)[::-1] for a in _convkit.maxpool_forward(IMAGES, 2, 1))

CALLS = {
    "pairwise_squared_euclidean": lambda: _pairmetric.pairwise_squared_euclidean(X, Y),
    "pairwise_distances": lambda: _pairmetric.pairwise_distances(X, Y),
    "pairwise_manhattan_distances": lambda: _pairmetric.pairwise_manhattan_distances(X, Y),
    "KDTree": lambda: _nearix.KDTree(X).query(Y, 5),
    "KDTree.query": lambda: TREE.query(Y, 7),
    "dtw_path": lambda: _warpalign.dtw_path(TARGETS, Y[:, 0], 5),
    "_best_split_classifier": lambda: _splitscan._best_split_classifier(X, LABELS, 2),
    "_best_split_regressor": lambda: _splitscan._best_split_regressor(X, TARGETS, 2),
    "im2col": lambda: _convkit.im2col(IMAGES, 3, 3, 1, 1),
    "col2im": lambda: np.ascontiguousarray(_convkit.col2im(COLS, IMAGES.shape, 3, 3, 1, 1)),
    "maxpool_forward": lambda: _convkit.maxpool_forward(IMAGES, 2, 1),
    "maxpool_backward": lambda: _convkit.maxpool_backward(POOLED, ARGMAX, IMAGES.shape, 2, 1),
}


@pytest.fixture
def frequent_switches():
    # Switch threads as often as the interpreter allows, so that calls interleave wherever they
    # call back into Python (NumPy allocations, the split search's indexing).
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)


def _in_threads(count, work):
    errors = []
    start = threading.Barrier(count)

    def run(index):
        try:
            start.wait()
            work(index)
        except BaseException as e:  # reported in the test's own thread
            errors.append(e)

    threads = [threading.Thread(target=run, args=(i,)) for i in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    if errors:
        raise errors[0]


def test_threads_calling_every_function_get_the_single_threaded_results(frequent_switches):
    expected = {name: call() for name, call in CALLS.items()}
    names = sorted(CALLS)
    got = [[] for _ in range(8)]

    def work(index):
        for round in range(6):
            for k in range(len(names)):
                name = names[(k + index + round) % len(names)]  # every thread in its own order
                got[index].append((name, CALLS[name]()))

    _in_threads(8, work)
    for results in got:
        assert len(results) == 6 * len(names)
        for name, result in results:
            assert same_value(result, expected[name]), name


def test_trees_created_and_dropped_in_many_threads(frequent_switches):
    samples = [read_only(RNG.normal(size=(50 + 7 * i, 3))) for i in range(8)]
    queries = read_only(RNG.normal(size=(5, 3)))
    expected = [_nearix.KDTree(s).query(queries, 4) for s in samples]

    def work(index):
        for round in range(40):
            k = (index + round) % len(samples)
            tree = _nearix.KDTree(samples[k])
            assert same_value(tree.query(queries, 4), expected[k])
            del tree

    references = [sys.getrefcount(s) for s in samples]
    _in_threads(8, work)
    assert [sys.getrefcount(s) for s in samples] == references


MODULES = ["_pairmetric", "_nearix", "_warpalign", "_splitscan", "_convkit"]


@pytest.mark.parametrize("name", MODULES)
def test_reimport_after_removal_gives_a_working_module(monkeypatch, name):
    full = f"quillbrax.accel.{name}"
    first = importlib.import_module(full)
    monkeypatch.delitem(sys.modules, full)
    again = importlib.import_module(full)
    assert again is first and sys.modules[full] is first
    for call in CALLS.values():
        call()


# A call of each frame module and what it prints.
FRAME_MODULES = {
    "_pairmetric": ("module.pairwise_distances(np.ones((1, 1)), np.zeros((1, 1)))[0, 0]", "1.0"),
    "_splitscan": (
        "module._best_split_regressor(np.array([[0.0], [1.0]]), np.array([0.0, 1.0]), 1)",
        "(0, 0.5, 0.0)",
    ),
    "_convkit": (
        "module.maxpool_forward(np.arange(4.0).reshape(1, 2, 2, 1), 2, 2)[0].item()",
        "3.0",
    ),
}


@pytest.mark.slow
@pytest.mark.parametrize("name", sorted(FRAME_MODULES))
def test_a_second_interpreter_is_refused_and_the_first_keeps_working(name):
    # One sub-interpreter per process: NumPy itself loads into at most one of them.
    call, printed = FRAME_MODULES[name]
    status, out, err = run_python(f"""
        import _testcapi, warnings
        import numpy as np
        import quillbrax.accel.{name} as module
        warnings.simplefilter("ignore")
        print(_testcapi.run_in_subinterp(
            "import warnings; warnings.simplefilter('ignore'); import quillbrax.accel.{name}"))
        print({call})
    """)
    assert status == 0, err
    assert (
        "ImportError: Interpreter change detected - this module can only be loaded into one "
        "interpreter per process."
    ) in err
    assert out.split() == ["-1", *printed.split()]
