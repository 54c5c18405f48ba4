"""The FieldOperator and the χ = 1000 ball solve on a Dask LocalCluster of one and two workers.

Against one process with the same two cores: build and application
seconds, what each worker keeps, the bytes an application sends and
receives, and the solve's evaluations, seconds and mean magnetisation.

    python bench/bench_cluster.py [n_elements]     # 100000 by default
"""
import pathlib
import sys
import time

import numpy as np

import corvane

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from bench_octree import ball_mesh  # noqa: E402

TOLERANCE = 1e-4
CHI = 1000.0


def row(cells):
    print("| " + " | ".join(str(cell) for cell in cells) + " |", flush=True)


def measure(nodes, conn, client):
    started = time.perf_counter()
    op = corvane.FieldOperator(nodes, conn, tolerance=TOLERANCE, client=client)
    build = time.perf_counter() - started
    vectors = np.random.default_rng(0).standard_normal((len(conn), 3))
    op(vectors)
    started = time.perf_counter()
    for _ in range(3):
        field = op(vectors)
    apply = (time.perf_counter() - started) / 3
    kept = [w["bytes_kept"] for w in op.info["workers"]] if client is not None else [op.info["bytes_kept"]]
    del op
    started = time.perf_counter()
    M, _, info = corvane.solve_magnetization(nodes, conn, CHI, (0.0, 0.0, 1.0), tolerance=TOLERANCE,
                                             return_info=True, client=client)
    solve = time.perf_counter() - started
    volumes = corvane.signed_volumes(nodes, conn)
    return field, build, apply, kept, solve, info["evaluations"], (M[:, 2] @ volumes) / volumes.sum()


def main(cpp_build_dir=None, n_elements=100_000):
    try:
        from distributed import Client, LocalCluster
    except ImportError:
        print("bench_cluster: dask.distributed is not installed")
        return
    nodes, conn = ball_mesh(n_elements)
    n = len(conn)
    print(f"FieldOperator (tolerance {TOLERANCE:g}) and the χ = {CHI:g} ball solve, {n:,} elements, on two cores\n")
    row(["run", "build s", "apply s", "kept per worker (÷ one process)", "sent + received per application",
         "solve: evaluations, s", "mean M ÷ one process − 1", "field ÷ one process − 1 (RMS)"])
    row(["---"] * 8)
    reference = measure(nodes, conn, None)
    field0, build0, apply0, kept0, solve0, evaluations0, mean0 = reference
    row(["one process, 2 threads", f"{build0:.1f}", f"{apply0:.2f}", f"{kept0[0] / 2**20:.0f} MiB", "—",
         f"{evaluations0}, {solve0:.0f}", "—", "—"])
    for workers, threads in ((1, 2), (2, 1)):
        with LocalCluster(n_workers=workers, threads_per_worker=threads, processes=True,
                          dashboard_address=None) as cluster, Client(cluster) as client:
            field, build, apply, kept, solve, evaluations, mean = measure(nodes, conn, client)
        traffic = workers * n * 24 + n * 24
        share = ", ".join(f"{k / kept0[0]:.2f}" for k in kept)
        row([f"{workers} worker{'s' if workers > 1 else ''} × {threads} thread{'s' if threads > 1 else ''}",
             f"{build:.1f}", f"{apply:.2f}", share, f"{traffic / 2**20:.1f} MiB", f"{evaluations}, {solve:.0f}",
             f"{abs(mean / mean0 - 1):.1e}", f"{np.linalg.norm(field - field0) / np.linalg.norm(field0):.1e}"])
    print()


if __name__ == "__main__":
    main(None, int(sys.argv[1]) if len(sys.argv) > 1 else 100_000)
