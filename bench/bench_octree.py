"""Octree path of calculate_fields on gmsh ball meshes, targets at the element
centroids, H from a uniform magnetisation, max_leaf_size 16, all processors:
1. at about 1e5 elements, exact near field, per theta: time, speed-up over the
   direct path (timed on a random subset of targets and scaled), error on
   that subset;
2. at theta 0.5, exact near field: time and peak memory for 1e4 to 1e6
   elements, each run in a fresh process;
3. point kernels in the near field beside fmm3dpy.lfmm3d (eps 1e-3) on the
   same meshes, both against the direct point-kernel field on the subset.
Meshes are cached under build/bench_meshes."""
import json
import os
import pathlib
import subprocess
import sys
import time

import numpy as np

import _corvane
import corvane

MESH_SIZES = {10_000: 0.1218, 100_000: 0.0551, 1_000_000: 0.0253}  # element count -> gmsh size
MAGNETISATION = np.array([0.0, 0.0, 1e5])
LEAF = 16
BATCH = 4096
N_SUBSET = 2000
CACHE = pathlib.Path(__file__).resolve().parent.parent / "build" / "bench_meshes"


def ball_mesh(n_elements):
    path = CACHE / f"ball_{n_elements}.npz"
    if path.exists():
        data = np.load(path)
        return data["nodes"], data["conn"]
    import gmsh

    gmsh.initialize()
    try:
        gmsh.option.setNumber("General.Terminal", 0)
        gmsh.option.setNumber("General.NumThreads", len(os.sched_getaffinity(0)))
        gmsh.option.setNumber("Mesh.Algorithm3D", 10)
        gmsh.model.occ.addSphere(0.0, 0.0, 0.0, 1.0)
        gmsh.model.occ.synchronize()
        gmsh.option.setNumber("Mesh.MeshSizeMin", MESH_SIZES[n_elements])
        gmsh.option.setNumber("Mesh.MeshSizeMax", MESH_SIZES[n_elements])
        gmsh.model.mesh.generate(3)
        tags, coords, _ = gmsh.model.mesh.getNodes()
        _, _, element_nodes = gmsh.model.mesh.getElements(3)
    finally:
        gmsh.finalize()
    index = np.zeros(int(tags.max()) + 1, dtype=np.int64)
    index[tags.astype(np.int64)] = np.arange(tags.size)
    conn = index[element_nodes[0].astype(np.int64)].reshape(-1, 4).astype(np.uint32)
    nodes = coords.reshape(-1, 3)
    conn, _ = corvane.orient(nodes, conn)
    CACHE.mkdir(parents=True, exist_ok=True)
    np.savez(path, nodes=nodes, conn=conn)
    return nodes, conn


def h_field(nodes, conn, targets, *, octree, integration, theta=0.5):
    vectors = np.broadcast_to(MAGNETISATION, (conn.shape[0], 3)).copy()
    return _corvane.calculate_fields(nodes, conn, vectors, 1, 1, targets, integration, 0, octree, theta, 1, LEAF,
                                     BATCH)


def timed(f):
    """Wall-clock seconds and the result; the process's CPU seconds are in
    cpu_seconds.last (the machine may be shared, CPU time is not)."""
    start, cpu = time.perf_counter(), time.process_time()
    result = f()
    cpu_seconds.last = time.process_time() - cpu
    return time.perf_counter() - start, result


def cpu_seconds():
    return cpu_seconds.last


cpu_seconds.last = 0.0


def subset_of(n):
    return np.sort(np.random.default_rng(1).choice(n, min(N_SUBSET, n), replace=False))


def errors(result, reference):
    """Largest, median and RMS absolute error relative to the RMS field."""
    scale = np.sqrt(np.mean(reference**2))
    e = np.linalg.norm(result - reference, axis=1)
    return e.max() / scale, np.median(e) / scale, np.sqrt(np.mean(e**2)) / scale


def memory_kib(field):
    """VmRSS (now) or VmHWM (peak) of this process, in KiB."""
    for line in pathlib.Path("/proc/self/status").read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1])
    return 0


def child(n_elements, integration):
    """Runs one octree evaluation in this process and prints time and memory."""
    nodes, conn = ball_mesh(n_elements)
    centroids = _corvane.mesh_centroids(nodes, conn)
    before = memory_kib("VmRSS")
    seconds, _ = timed(lambda: h_field(nodes, conn, centroids, octree=True, integration=integration))
    peak = memory_kib("VmHWM")
    print(json.dumps({"elements": int(conn.shape[0]), "seconds": seconds, "cpu": cpu_seconds(), "before_kib": before,
                      "peak_kib": peak}))


def run_child(n_elements, integration):
    out = subprocess.run([sys.executable, __file__, "--child", str(n_elements), str(int(integration))],
                         check=True, capture_output=True, text=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def theta_table(nodes, conn, centroids, subset):
    print(f"1. Exact near field, {conn.shape[0]} elements, targets at all centroids; direct path timed on "
          f"{subset.size} of them and scaled")
    direct_seconds, direct = timed(lambda: h_field(nodes, conn, centroids[subset], octree=False, integration=True))
    scale = conn.shape[0] / subset.size
    direct_all, direct_cpu = direct_seconds * scale, cpu_seconds() * scale
    print("(wall-clock seconds, and CPU seconds of all threads; speed-ups of each)")
    print(f"{'theta':>6}{'octree s':>10}{'cpu s':>8}{'direct s':>10}{'cpu s':>8}{'speed-up':>10}{'(cpu)':>8}"
          f"{'max err':>10}{'rms err':>10}")
    for theta in (0.3, 0.5, 0.7, 1.0):
        seconds, tree = timed(lambda: h_field(nodes, conn, centroids, octree=True, integration=True, theta=theta))
        cpu = cpu_seconds()
        largest, _, rms = errors(tree[subset], direct)
        print(f"{theta:>6}{seconds:>10.2f}{cpu:>8.1f}{direct_all:>10.1f}{direct_cpu:>8.1f}{direct_all / seconds:>10.1f}"
              f"{direct_cpu / cpu:>8.1f}{largest:>10.1e}{rms:>10.1e}")


def growth_table():
    print("2. Exact near field, theta 0.5, one fresh process per size; RSS peak during the call and before it")
    print(f"{'elements':>10}{'seconds':>10}{'cpu s':>8}{'cpu us/elem':>12}{'peak MiB':>10}{'before MiB':>11}")
    for n in MESH_SIZES:
        r = run_child(n, True)
        print(f"{r['elements']:>10}{r['seconds']:>10.2f}{r['cpu']:>8.1f}{r['cpu'] / r['elements'] * 1e6:>12.1f}"
              f"{r['peak_kib'] / 1024:>10.0f}{r['before_kib'] / 1024:>11.0f}")


def fmm_field(nodes, conn, centroids):
    import fmm3dpy

    volumes = _corvane.mesh_volumes(nodes, conn)
    dipoles = (volumes[:, None] * MAGNETISATION).T.copy()
    sources = centroids.T.copy()
    out = fmm3dpy.lfmm3d(eps=1e-3, sources=sources, dipvec=dipoles, targets=sources, pgt=2)
    # fmm3dpy's potentials carry 1/(4 pi); it leaves out each target's own
    # source, whose point-kernel field at its centroid is -M/3.
    return -out.gradtarg.T - MAGNETISATION / 3.0


def fmm_table(meshes):
    print("3. Point kernels in the near field beside fmm3dpy.lfmm3d (eps 1e-3, dipoles volume x M at the "
          "centroids); errors against the direct point-kernel field on the subset")
    print(f"{'elements':>10}{'method':>10}{'seconds':>10}{'cpu s':>8}{'median err':>12}{'rms err':>10}")
    for nodes, conn, centroids, subset in meshes:
        direct = h_field(nodes, conn, centroids[subset], octree=False, integration=False)
        seconds, tree = timed(lambda: h_field(nodes, conn, centroids, octree=True, integration=False))
        _, median, rms = errors(tree[subset], direct)
        print(f"{conn.shape[0]:>10}{'octree':>10}{seconds:>10.2f}{cpu_seconds():>8.1f}{median:>12.1e}{rms:>10.1e}")
        try:
            seconds, fmm = timed(lambda: fmm_field(nodes, conn, centroids))
        except ImportError:   # make bench installs it
            print(f"{conn.shape[0]:>10}{'fmm3dpy':>10}   not installed")
            continue
        _, median, rms = errors(fmm[subset], direct)
        print(f"{conn.shape[0]:>10}{'fmm3dpy':>10}{seconds:>10.2f}{cpu_seconds():>8.1f}{median:>12.1e}{rms:>10.1e}")


def main(cpp_build_dir=None):
    print(f"Octree path: H of a uniformly magnetised gmsh ball at its centroids, max_leaf_size {LEAF}, "
          f"batch_size {BATCH}, {len(os.sched_getaffinity(0))} threads")
    meshes = []
    for n in (100_000, 1_000_000):
        nodes, conn = ball_mesh(n)
        centroids = _corvane.mesh_centroids(nodes, conn)
        meshes.append((nodes, conn, centroids, subset_of(conn.shape[0])))
    theta_table(*meshes[0])
    print()
    growth_table()
    print()
    fmm_table(meshes)


if __name__ == "__main__":
    if len(sys.argv) == 4 and sys.argv[1] == "--child":
        child(int(sys.argv[2]), sys.argv[3] == "1")
    else:
        main()
