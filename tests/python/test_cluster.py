"""FieldOperator pickled, and spread over a Dask LocalCluster of two worker processes."""
import concurrent.futures
import os
import pickle
import signal
import time

import numpy as np
import pytest
from conftest import ball_mesh

import corvane


@pytest.mark.parametrize("source, field", [("magnetization", "H"), ("magnetization", "A"), ("current", "H"),
                                           ("current", "A")])
def test_pickled_operator_gives_the_same_array(source, field):
    nodes, conn = ball_mesh(0.4)
    targets = np.random.default_rng(1).uniform(-1.5, 1.5, (300, 3))
    op = corvane.FieldOperator(nodes, conn, targets, source=source, field=field, tolerance=1e-3, n_threads=2)
    vectors = np.random.default_rng(2).standard_normal((len(conn), 3))
    expected = op(vectors)
    nodes[:] = 0.0  # the caller's arrays changing afterwards does not travel
    restored = pickle.loads(pickle.dumps(op))
    assert restored.shape == op.shape and restored.info["source"] == source
    assert np.array_equal(restored(vectors), expected)


@pytest.fixture(scope="module")
def client():
    distributed = pytest.importorskip("distributed", reason="Dask is installed in the main .venv only")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster:
        with distributed.Client(cluster) as client:
            yield client


def test_operator_on_two_workers(client):
    nodes, conn = ball_mesh(0.25)
    local = corvane.FieldOperator(nodes, conn, tolerance=1e-4)
    spread = corvane.FieldOperator(nodes, conn, tolerance=1e-4, client=client)
    vectors = np.random.default_rng(3).standard_normal((len(conn), 3))
    expected = local(vectors)
    assert np.linalg.norm(spread(vectors) - expected) <= 2e-4 * np.linalg.norm(expected)
    workers = spread.info["workers"]
    assert len(workers) == 2 and sum(w["targets"] for w in workers) == len(conn)
    assert all(0 < w["bytes_kept"] < local.info["bytes_kept"] for w in workers)
    with pytest.raises(TypeError, match="cannot be pickled"):
        pickle.dumps(spread)

    # The solve's Krylov vectors stay here; the answer is the local one.
    chi, h = 1000.0, (0.0, 0.0, 1.0)
    M, _ = corvane.solve_magnetization(nodes, conn, chi, h, tolerance=1e-4, client=client)
    M0, _ = corvane.solve_magnetization(nodes, conn, chi, h, tolerance=1e-4)
    volumes = corvane.signed_volumes(nodes, conn)
    assert abs((M[:, 2] @ volumes) / (M0[:, 2] @ volumes) - 1) < 1e-5
    with pytest.raises(ValueError, match="tolerance"):
        corvane.solve_magnetization(nodes, conn, chi, h, client=client)


def test_a_lost_worker_is_an_error_not_a_hang(client):
    nodes, conn = ball_mesh(0.4)
    spread = corvane.FieldOperator(nodes, conn, tolerance=1e-3, client=client)
    victim = spread.info["workers"][0]["address"]
    pid = client.run(os.getpid, workers=[victim])[victim]
    # Keep the victim busy so that the application waits on it, then kill it.
    client.submit(time.sleep, 30, workers=[victim], pure=False)
    with concurrent.futures.ThreadPoolExecutor(1) as pool:
        pending = pool.submit(spread, np.ones((len(conn), 3)))
        time.sleep(0.5)
        os.kill(pid, signal.SIGKILL)
        with pytest.raises(RuntimeError, match="left the cluster"):
            pending.result(timeout=60)
