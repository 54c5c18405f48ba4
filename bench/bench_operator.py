"""corvane.FieldOperator on gmsh balls (the cached meshes of bench_octree), H of
a smooth non-uniform magnetisation at every centroid, all threads.

1. About 1e5 elements, tolerance 1e-2 to 1e-6: build and application
   seconds, bytes kept, RMS and largest error against the direct sum of the
   exact kernels on a subset of centroids, and the RMS error against a
   converged reference (bench/field_reference.py) on a smaller subset; beside
   the octree path at theta 0.3 and 0.5 and fmm3dpy on the centroid dipoles
   at eps 1e-3 and 1e-4 (against the direct sum of those dipoles), all in
   the same run.
2. Growth at tolerance 1e-4 for about 1e4, 1e5 and 1e6 elements: build and
   application seconds and the peak resident memory of a process that does
   just that.
3. corvane.solve_magnetization(tolerance=1e-4) of a ball of chi 10, 100 and
   1000 in a uniform field to rtol 1e-6 (and chi 1000 on 1e6 elements): field
   evaluations, total seconds and the error of the volume-mean M against the
   sphere's 3 chi / (3 + chi) H0.
"""
import json
import os
import pathlib
import subprocess
import sys
import time

import numpy as np

import _corvane
import corvane

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import bench_octree  # noqa: E402
from field_reference import magnetised_h  # noqa: E402

SUBSET = 2000        # targets of the direct sum
REFERENCE = 100      # targets of the converged reference
TOLERANCES = (1e-2, 1e-3, 1e-4, 1e-5, 1e-6)
H0 = np.array([0.0, 0.0, 1000.0])


def smooth_magnetisation(nodes, conn):
    c = _corvane.mesh_centroids(nodes, conn)
    return np.stack([np.sin(2 * c[:, 1]) + 1, np.cos(3 * c[:, 0] * c[:, 2]), 1 + c[:, 0] ** 2], axis=1)


def errors(got, want):
    d = np.linalg.norm(got - want, axis=1)
    scale = np.sqrt(np.mean(np.sum(want ** 2, axis=1)))
    return np.sqrt(np.mean(d ** 2)) / scale, d.max() / scale


def timed(f):
    t0 = time.perf_counter()
    out = f()
    return out, time.perf_counter() - t0


def accuracy_table():
    nodes, conn = bench_octree.ball_mesh(100_000)
    m = smooth_magnetisation(nodes, conn)
    c = _corvane.mesh_centroids(nodes, conn)
    rng = np.random.default_rng(7)
    sub = rng.choice(len(c), SUBSET, replace=False)
    ref_sub = sub[:REFERENCE]
    direct = _corvane.calculate_fields(nodes, conn, m, 1, 1, c[sub], True, 0, False, 0.5, 1, 16, 1024)
    converged = magnetised_h(nodes, conn, m, c[ref_sub])
    print(f"1. H of a smooth M at the centroids of a {len(conn):,}-element ball, {os.cpu_count()} threads")
    print(f"   errors relative to the RMS field: against the direct exact sum on {SUBSET} centroids,"
          f" and against a converged reference on {REFERENCE}")
    print("| method | build s | apply s | kept MiB | RMS vs direct | max vs direct | RMS vs reference |")
    print("|---|---|---|---|---|---|---|")
    rms_d, _ = errors(direct[:REFERENCE], converged)
    print(f"| direct exact sum | — | — | — | 0 | 0 | {rms_d:.1e} |")
    for tol in TOLERANCES:
        op, build = timed(lambda: corvane.FieldOperator(nodes, conn, tolerance=tol))
        h, apply = timed(lambda: op(m))
        rms, worst = errors(h[sub], direct)
        rms_ref, _ = errors(h[ref_sub], converged)
        print(f"| operator, tolerance {tol:g} | {build:.1f} | {apply:.2f} | {op.info['bytes_kept'] / 2**20:,.0f} | "
              f"{rms:.1e} | {worst:.1e} | {rms_ref:.1e} |", flush=True)
        del op
    for theta in (0.3, 0.5):
        h, apply = timed(lambda: _corvane.calculate_fields(nodes, conn, m, 1, 1, c, True, 0, True, theta, 1, 16, 4096))
        rms, worst = errors(h[sub], direct)
        rms_ref, _ = errors(h[ref_sub], converged)
        print(f"| octree, theta {theta} (one call) | — | {apply:.2f} | — | {rms:.1e} | {worst:.1e} | {rms_ref:.1e} |",
              flush=True)
    try:
        import fmm3dpy
    except ImportError:
        print("| fmm3dpy | not installed |")
        return
    # Point dipoles V M at the centroids; fmm3dpy's gradient carries the 1/(4 pi)
    # and leaves out each target's own source: H = -grad.
    dipoles = (_corvane.mesh_volumes(nodes, conn)[:, None] * m)
    point = np.zeros((SUBSET, 3))
    for i in range(0, SUBSET, 100):
        dd = c[sub[i:i + 100]][:, None, :] - c[None, :, :]
        r2 = np.einsum("tsk,tsk->ts", dd, dd)
        r2[r2 == 0] = np.inf
        md = np.einsum("tsk,sk->ts", dd, dipoles)
        point[i:i + 100] = np.einsum("tsk->tk", (3 * md[..., None] * dd / r2[..., None]
                                                 - dipoles[None]) / r2[..., None] ** 1.5) / (4 * np.pi)
    for eps in (1e-3, 1e-4):
        out, apply = timed(lambda: fmm3dpy.lfmm3d(eps=eps, sources=c.T.copy(), dipvec=dipoles.T.copy(), pg=2))
        rms, worst = errors(-out.grad.T[sub], point)
        print(f"| fmm3dpy, eps {eps:g}, centroid dipoles (error vs their direct sum) | — | {apply:.2f} | — | "
              f"{rms:.1e} | {worst:.1e} | — |", flush=True)


GROWTH = """
import sys, time, numpy as np
sys.path.insert(0, {here!r})
import bench_octree, corvane, _corvane
from bench_operator import smooth_magnetisation
nodes, conn = bench_octree.ball_mesh({n})
m = smooth_magnetisation(nodes, conn)
t0 = time.perf_counter(); op = corvane.FieldOperator(nodes, conn, tolerance=1e-4); build = time.perf_counter() - t0
t0 = time.perf_counter(); op(m); apply = time.perf_counter() - t0
# The high-water mark of this process's memory (ru_maxrss would carry the parent's over exec).
hwm = next(int(line.split()[1]) for line in open("/proc/self/status") if line.startswith("VmHWM"))
print(json.dumps(dict(elements=len(conn), build=build, apply=apply, kept=op.info["near_field_kept"],
                      rss=hwm / 2**20)))
"""


def growth_table():
    print("2. Growth at tolerance 1e-4 (one process per size; the mesh loaded from its cache)")
    print("| elements | build s | apply s | near values kept | peak RSS GiB |")
    print("|---|---|---|---|---|")
    for n in (10_000, 100_000, 1_000_000):
        bench_octree.ball_mesh(n)  # mesh and cache it outside the measured process
        script = "import json\n" + GROWTH.format(here=str(HERE), n=n)
        out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
        r = json.loads(out.stdout.strip().splitlines()[-1])
        print(f"| {r['elements']:,} | {r['build']:.1f} | {r['apply']:.2f} | {r['kept']} | {r['rss']:.2f} |", flush=True)


def solve_table():
    print("3. solve_magnetization(tolerance=1e-4), ball in a uniform field, rtol 1e-6")
    print("| elements | chi | evaluations | total s | mean-M error |")
    print("|---|---|---|---|---|")
    for n, chis in ((100_000, (10.0, 100.0, 1000.0)), (1_000_000, (1000.0,))):
        nodes, conn = bench_octree.ball_mesh(n)
        volumes = _corvane.mesh_volumes(nodes, conn)
        for chi in chis:
            count = {"n": 0}
            original = corvane.FieldOperator.__call__

            def counted(self, vectors):
                count["n"] += 1
                return original(self, vectors)

            corvane.FieldOperator.__call__ = counted
            try:
                (m, _), seconds = timed(lambda: corvane.solve_magnetization(
                    nodes, conn, chi, H0, rtol=1e-6, max_evaluations=1000, tolerance=1e-4))
            finally:
                corvane.FieldOperator.__call__ = original
            analytic = 3 * chi / (3 + chi) * H0
            error = np.linalg.norm(volumes @ m / volumes.sum() - analytic) / np.linalg.norm(analytic)
            print(f"| {len(conn):,} | {chi:g} | {count['n']} | {seconds:.0f} | {error:.1e} |", flush=True)


def main(cpp_build_dir=None):
    accuracy_table()
    print()
    growth_table()
    print()
    solve_table()


if __name__ == "__main__":
    main()
