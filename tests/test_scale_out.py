"""The kernels across processes: multiprocessing (spawn), joblib's loky, and a Dask cluster started
by its command line on 127.0.0.1 (scheduler and two one-thread workers), running
examples/scale_out.py, also while one of its workers is killed."""

import contextlib
import importlib
import json
import multiprocessing
import operator
import os
import pathlib
import signal
import subprocess
import sys
import time

import numpy as np
import pytest
from support import same_value

from quillbrax.accel import _convkit, _nearix, _pairmetric, _splitscan

distributed = pytest.importorskip("distributed")

EXAMPLE = pathlib.Path(__file__).resolve().parent.parent / "examples" / "scale_out.py"
DASK = pathlib.Path(sys.executable).with_name("dask")  # the CLI of this environment's Dask
pytestmark = [
    pytest.mark.slow,
    pytest.mark.not_under_asan(reason="process pools and clusters, not kernels"),
]


def data(seed, n, d=5):
    rng = np.random.default_rng(seed)
    return rng.integers(-3, 4, (n, d)).astype(np.float64)  # small integers: many ties


KERNELS = [
    (_pairmetric.pairwise_manhattan_distances, lambda: (data(1, 9), data(2, 4))),
    (_splitscan._best_split_regressor, lambda: (data(3, 30), data(4, 30)[:, 0], 2)),
    (_convkit.maxpool_forward, lambda: (data(5, 2 * 4 * 4, 3).reshape(2, 4, 4, 3), 2, 2)),
]


@pytest.mark.parametrize("function, arguments", KERNELS)
def test_function_objects_run_in_spawned_and_loky_workers(function, arguments):
    joblib = pytest.importorskip("joblib")
    args = arguments()
    expected = function(*args)
    with multiprocessing.get_context("spawn").Pool(1) as pool:
        assert same_value(pool.apply(function, args), expected)
    loky = joblib.Parallel(n_jobs=2, backend="loky")(
        joblib.delayed(function)(*args) for _ in range(2)
    )
    assert all(same_value(result, expected) for result in loky)


def start(argv, cwd):
    # A session of its own: a worker's nanny and the worker it spawns die together.
    return subprocess.Popen(
        argv, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True
    )


def stop(process):
    with contextlib.suppress(ProcessLookupError):
        os.killpg(process.pid, signal.SIGTERM)
    try:
        process.wait(timeout=20)
    except subprocess.TimeoutExpired:
        with contextlib.suppress(ProcessLookupError):
            os.killpg(process.pid, signal.SIGKILL)
        process.wait(timeout=20)


@pytest.fixture(scope="module")
def cluster(tmp_path_factory):
    """(scheduler address, {worker address: worker process}) of a cluster on 127.0.0.1."""
    here = tmp_path_factory.mktemp("cluster")
    scheduler_file = here / "scheduler.json"
    processes = [
        start(
            [
                str(DASK),
                "scheduler",
                "--host",
                "127.0.0.1",
                "--port",
                "0",
                "--no-dashboard",
                "--scheduler-file",
                str(scheduler_file),
            ],
            here,
        )
    ]
    try:
        deadline = time.monotonic() + 60
        while not scheduler_file.exists() or not scheduler_file.read_text().strip():
            assert time.monotonic() < deadline, "dask scheduler did not start"
            assert processes[0].poll() is None, "dask scheduler exited"
            time.sleep(0.1)
        address = json.loads(scheduler_file.read_text())["address"]
        for _ in range(2):
            processes.append(
                start(
                    [
                        str(DASK),
                        "worker",
                        address,
                        "--nthreads",
                        "1",
                        "--host",
                        "127.0.0.1",
                        "--no-dashboard",
                        "--death-timeout",
                        "60",
                    ],
                    here,
                )
            )
        with distributed.Client(address, timeout=60) as client:
            client.wait_for_workers(2, timeout=60)
            pids = client.run(os.getpid)  # worker address -> pid of the worker process
        # The worker process is the child of the nanny we started, in the nanny's session.
        workers = {
            w: next(p for p in processes[1:] if os.getpgid(pid) == p.pid) for w, pid in pids.items()
        }
        yield address, workers
    finally:
        for process in reversed(processes):
            stop(process)


def test_client_map_over_row_blocks_equals_one_call(cluster):
    address, _ = cluster
    X, Y = data(6, 103), data(7, 17)
    blocks = np.array_split(X, 7)
    with distributed.Client(address, timeout=60) as client:
        futures = client.map(_pairmetric.pairwise_distances, blocks, Y=Y, pure=False)
        assert np.array_equal(
            np.vstack(client.gather(futures)), _pairmetric.pairwise_distances(X, Y)
        )


def test_scattered_tree_answers_the_same_on_every_worker(cluster):
    address, workers = cluster
    X, Q = data(8, 200, 3), data(9, 40, 3)
    tree = _nearix.KDTree(X)
    expected = tree.query(Q, 6)
    with distributed.Client(address, timeout=60) as client:
        remote = client.scatter(tree)  # one copy, on one worker; the other fetches it
        query = operator.methodcaller("query", Q, 6)
        futures = [client.submit(query, remote, workers=[w], pure=False) for w in workers]
        for answer in client.gather(futures):
            assert same_value(answer, expected)


@pytest.mark.parametrize("rows", [7, 40, 500])
def test_example_functions_imported_by_another_script_run_on_workers(cluster, monkeypatch, rows):
    # The workers never see examples/: no task may need a function of the example.
    address, _ = cluster
    monkeypatch.syspath_prepend(str(EXAMPLE.parent))
    monkeypatch.delitem(sys.modules, "scale_out", raising=False)
    scale_out = importlib.import_module("scale_out")
    X, Y, Q = data(10, 90, 4), data(11, 13, 4), data(12, 33, 4)
    tree = _nearix.KDTree(X)
    with distributed.Client(address, timeout=60) as client:
        D = scale_out.distance_matrix(X, Y, rows)
        assert D.numblocks == (-(-len(X) // rows), 1)
        assert np.array_equal(D.compute(), _pairmetric.pairwise_distances(X, Y))
        futures = scale_out.knn(client, tree, Q, 5, rows)
        assert len(futures) == -(-len(Q) // rows)
        assert same_value(scale_out.gather_knn(client, futures), tree.query(Q, 5))
    monkeypatch.delitem(sys.modules, "scale_out")


def run_example(address, out, tmp_path, *extra):
    return subprocess.Popen(
        [sys.executable, str(EXAMPLE), "--scheduler", address, "--save", str(out), *extra],
        cwd=tmp_path,
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        text=True,
    )


def check_saved(out):
    saved = np.load(out)
    X, Y, Q, k = saved["X"], saved["Y"], saved["Q"], int(saved["k"])
    assert np.array_equal(saved["D"], _pairmetric.pairwise_distances(X, Y))
    indices, distances = _nearix.KDTree(X).query(Q, k)
    assert np.array_equal(saved["indices"], indices)
    assert np.array_equal(saved["distances"], distances)


def test_example_on_the_cluster_equals_single_calls(cluster, tmp_path):
    address, _ = cluster
    example = run_example(
        address,
        tmp_path / "out.npz",
        tmp_path,
        "--samples",
        "3000",
        "--targets",
        "50",
        "--queries",
        "700",
        "--rows",
        "256",
    )
    output, _ = example.communicate(timeout=300)
    assert example.returncode == 0, output
    assert "cluster: 2 workers" in output and "equal to one call" in output, output
    check_saved(tmp_path / "out.npz")


# Last in the file: it leaves the cluster one worker short.
def test_example_survives_losing_a_worker_while_its_tasks_run(cluster, tmp_path):
    address, workers = cluster
    victim, victim_process = sorted(workers.items())[0]
    # Queries in 16 dimensions visit much of the tree: enough work per block to be caught.
    example = run_example(
        address,
        tmp_path / "out.npz",
        tmp_path,
        "--samples",
        "20000",
        "--targets",
        "200",
        "--queries",
        "6000",
        "--features",
        "16",
        "--rows",
        "100",
    )
    try:
        with distributed.Client(address, timeout=60) as watcher:
            deadline = time.monotonic() + 120
            while not watcher.processing().get(victim):
                assert example.poll() is None, "the example finished before any kill"
                assert time.monotonic() < deadline, "the victim never ran a task"
                time.sleep(0.02)
            os.killpg(victim_process.pid, signal.SIGKILL)
            assert example.poll() is None  # killed while the example was running
        output, _ = example.communicate(timeout=300)
    finally:
        if example.poll() is None:
            example.kill()
            example.wait(timeout=20)
    (tmp_path / "output.txt").write_text(output)
    print(output)
    assert example.returncode == 0, output
    assert "workers at the start 2, at the end 1" in output, output
    check_saved(tmp_path / "out.npz")
