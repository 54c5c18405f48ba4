"""The assembly model (magnet, steel plate, coil) solved with its FieldOperator on a Dask cluster.

Each worker builds and keeps the operator's part for one compact share of
the elements' centroids; every GMRES product sends the magnetisation to the
workers once and gathers their fields. The Krylov vectors, the
preconditioner and the Solution stay here.

    python examples/cluster_solve.py                          # a LocalCluster of two workers
    python examples/cluster_solve.py --address tcp://scheduler:8786 --check

On a real cluster, only the Client changes; every worker needs the same
corvane wheel installed (pip install "corvane[cluster]"):

    # A batch system, with dask-jobqueue:
    #     from dask_jobqueue import SLURMCluster
    #     cluster = SLURMCluster(cores=16, processes=1, memory="64GB", walltime="01:00:00")
    #     cluster.scale(jobs=8)
    #     client = Client(cluster)
    # Kubernetes, with dask-kubernetes:
    #     from dask_kubernetes.operator import KubeCluster
    #     cluster = KubeCluster(name="corvane", image="your-image-with-corvane", n_workers=8)
    #     client = Client(cluster)

One worker process per machine with all its cores (threads) suits the
operator best: workers on one machine each keep the source side of the tree.
Needs gmsh, meshio and Dask (pip install "corvane[examples,cluster]").
"""
import argparse
import pathlib
import time

import numpy as np

import corvane
from assembly import around_z, mesh_model_file

HERE = pathlib.Path(__file__).resolve().parent


def model_of(mesh, current_density):
    model = corvane.Model(mesh)
    model.add_magnet("magnet", remanence=(0.0, 0.0, 1.2), recoil_susceptibility=0.05)
    model.add_soft("plate", chi=1000.0)
    model.add_coil("coil", current_density=around_z(current_density))
    return model


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--address", help="scheduler of a running Dask cluster (default: start a LocalCluster)")
    parser.add_argument("--workers", type=int, default=2, help="LocalCluster worker processes")
    parser.add_argument("--threads", type=int, default=1, help="threads per LocalCluster worker")
    parser.add_argument("--size-factor", type=float, default=1.0, help="scales every element size")
    parser.add_argument("--tolerance", type=float, default=1e-4, help="the FieldOperator's relative error")
    parser.add_argument("--check", action="store_true", help="solve again in this process and compare")
    args = parser.parse_args(argv)

    from dask.distributed import Client, LocalCluster

    mesh = corvane.read_mesh(mesh_model_file(HERE / "assembly.geo", "cluster_assembly.msh", args.size_factor))
    print(mesh)
    model = model_of(mesh, 5e6)
    cluster = None if args.address else LocalCluster(
        n_workers=args.workers, threads_per_worker=args.threads, processes=True, dashboard_address=None)
    with Client(args.address or cluster) as client:
        print(f"Cluster: {len(client.scheduler_info()['workers'])} workers")
        start = time.perf_counter()
        sol = model.solve(rtol=1e-6, tolerance=args.tolerance, client=client)
        print(f"Solved on the cluster in {time.perf_counter() - start:.1f} s, "
              f"{sol.info['evaluations']} field evaluations")
    if cluster is not None:
        cluster.close()
    force = sol.force("magnet")
    print(f"Force on the magnet: ({force[0]:.4f}, {force[1]:.4f}, {force[2]:.4f}) N")
    if args.check:
        start = time.perf_counter()
        here = model.solve(rtol=1e-6, tolerance=args.tolerance)
        local = here.force("magnet")
        print(f"Solved here in {time.perf_counter() - start:.1f} s; force on the magnet "
              f"({local[0]:.4f}, {local[1]:.4f}, {local[2]:.4f}) N, relative difference "
              f"{np.linalg.norm(force - local) / np.linalg.norm(local):.1e} (tolerance {args.tolerance:g})")
    return sol


if __name__ == "__main__":
    main()
