"""The field of a magnetised ball at many targets, evaluated on a Dask cluster.

Each target's field depends only on the sources, never on which other targets
share its call, so a large set of targets splits into blocks that can be
evaluated anywhere and put back together: the result is bit-identical to one
call over all targets. The sources are sent to every worker once; each task
then evaluates one block of targets.

    python examples/cluster_fields.py                      # a LocalCluster on this machine
    python examples/cluster_fields.py --address tcp://scheduler:8786

Needs `dask[distributed]`, gmsh and meshio (pip install "corvane[cluster,examples]");
every worker needs the same corvane wheel installed.
"""
import argparse
import time

import numpy as np

import _corvane

MAGNETISATION = 1e6  # A/m, along z
RADIUS = 0.05        # m


def block_field(sources, targets, n_threads):
    """H (A/m) of the sources at one block of targets: runs on a worker."""
    # Arrays that arrive over the network can sit at unaligned offsets of the
    # receive buffer; the module reads sources in place and refuses those.
    nodes, conn, vectors = (np.require(a, requirements=["C", "A"]) for a in sources)
    return _corvane.calculate_fields(nodes, conn, vectors, 1, 1, targets, True, n_threads,
                                     False, 0.5, 1, 16, 1024)


def cluster_field(client, sources, targets, n_blocks, n_threads=1):
    """H at all targets, evaluated in n_blocks blocks on the client's cluster."""
    [shared] = client.scatter([sources], broadcast=True)
    blocks = np.array_split(targets, n_blocks)
    futures = client.map(block_field, [shared] * len(blocks), blocks, n_threads=n_threads, pure=False)
    return np.concatenate(client.gather(futures))


def problem(mesh_size, n_targets, seed=0):
    """A ball magnetised along z, and targets in the cube around it."""
    import corvane
    from meshes import ball

    mesh = corvane.read_mesh(ball("cluster_ball.msh", RADIUS, mesh_size))
    nodes, conn = np.array(mesh.nodes), np.array(mesh.connectivity)
    vectors = np.tile([0.0, 0.0, MAGNETISATION], (conn.shape[0], 1))
    targets = np.random.default_rng(seed).uniform(-3 * RADIUS, 3 * RADIUS, size=(n_targets, 3))
    return (nodes, conn, vectors), targets


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--address", help="scheduler of a running Dask cluster (default: start a LocalCluster)")
    parser.add_argument("--workers", type=int, default=2, help="LocalCluster worker processes")
    parser.add_argument("--threads", type=int, default=1,
                        help="threads per block evaluation on a worker (0: one per processor)")
    parser.add_argument("--targets", type=int, default=100_000)
    parser.add_argument("--blocks", type=int, default=16)
    parser.add_argument("--mesh-size", type=float, default=0.01, help="largest element edge (m)")
    parser.add_argument("--check", action="store_true", help="compare with one direct call here")
    parser.add_argument("--save", help="write sources, targets and H to this .npz file")
    args = parser.parse_args(argv)

    from dask.distributed import Client, LocalCluster

    sources, targets = problem(args.mesh_size, args.targets)
    print(f"Ball of radius {RADIUS} m, M = {MAGNETISATION:g} A/m along z: "
          f"{sources[1].shape[0]} tetrahedra, {len(targets)} targets in {args.blocks} blocks")
    cluster = None if args.address else LocalCluster(
        n_workers=args.workers, threads_per_worker=1, processes=True, dashboard_address=None)
    with Client(args.address or cluster) as client:
        print(f"Cluster: {len(client.scheduler_info()['workers'])} workers")
        start = time.perf_counter()
        h = cluster_field(client, sources, targets, args.blocks, args.threads)
        print(f"Evaluated on the cluster in {time.perf_counter() - start:.2f} s")
    if cluster is not None:
        cluster.close()

    # Far outside, the field is that of a point dipole of moment M·V.
    r = np.linalg.norm(targets, axis=1)
    outside = r > 2 * RADIUS
    volume = _corvane.mesh_volumes(sources[0], sources[1]).sum()
    moment = np.array([0.0, 0.0, MAGNETISATION * volume])
    x = targets[outside]
    ro = r[outside, None]
    dipole = (3 * x * (x @ moment)[:, None] / ro**5 - moment / ro**3) / (4 * np.pi)
    spread = np.linalg.norm(h[outside] - dipole, axis=1) / np.linalg.norm(dipole, axis=1)
    print(f"Beyond two radii, against a point dipole of the same moment: median relative "
          f"difference {np.median(spread):.1e} (the faceted mesh is not quite a ball)")
    if args.check:
        direct = block_field(sources, targets, 0)
        print("One direct call over all targets gives "
              + ("bit-identical results" if np.array_equal(h, direct) else "DIFFERENT results"))
    if args.save:
        np.savez(args.save, nodes=sources[0], connectivity=sources[1], vectors=sources[2],
                 targets=targets, h=h)
    return h


if __name__ == "__main__":
    main()
