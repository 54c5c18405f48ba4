"""Accuracy of the package's exact paths and of FieldOperator's tight tolerances.

1. A meshed cube magnet (gmsh, unstructured, 1 m, Br = (0.3, -0.5, 1.1) T)
   against magpylib's Cuboid of the same magnetisation in A/m, at 500 points
   inside and 500 outside (up to three half-widths from the centre): the
   largest relative error of H, per point, through Model.solve() with
   tolerance=None (the accurate exact kernels), through the module function
   calculate_fields (the fast kernels), and through FieldOperator at
   tolerance 1e-9. B is compared as B / mu0 on each side, since magpylib's
   mu0 (CODATA) differs from 4 pi 1e-7 by 1.3e-10.
2. The accurate direct sum against calculate_fields' fast one per
   (element, target) pair, one thread, best of three.
3. FieldOperator on a gmsh ball, H of a smooth magnetisation at the
   centroids, tolerance 1e-2 to 1e-10: relative RMS error against the exact
   direct sum (1000 centroids and 200 points outside), build and application
   seconds, on all threads.

    .venv/bin/python bench/bench_accuracy.py [ball elements: 10000 (default) or 100000]
"""
import pathlib
import sys
import time

import numpy as np

import _corvane
import corvane
from corvane.magnetization import exact_fields

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import bench_octree  # noqa: E402

MU0 = 4e-7 * np.pi
BR = np.array([0.3, -0.5, 1.1])
TOLERANCES = (1e-2, 1e-3, 1e-4, 1e-5, 1e-6, 1e-7, 1e-8, 1e-9, 1e-10)


def cube_mesh(size):
    import gmsh

    gmsh.initialize()
    try:
        gmsh.option.setNumber("General.Terminal", 0)
        gmsh.model.occ.addBox(-0.5, -0.5, -0.5, 1.0, 1.0, 1.0)
        gmsh.model.occ.synchronize()
        gmsh.option.setNumber("Mesh.MeshSizeMax", size)
        gmsh.model.mesh.generate(3)
        tags, coords, _ = gmsh.model.mesh.getNodes()
        _, _, element_nodes = gmsh.model.mesh.getElements(3)
    finally:
        gmsh.finalize()
    index = np.zeros(int(tags.max()) + 1, dtype=np.int64)
    index[tags.astype(np.int64)] = np.arange(tags.size)
    conn = index[element_nodes[0].astype(np.int64)].reshape(-1, 4).astype(np.uint32)
    nodes = coords.reshape(-1, 3)
    return nodes, corvane.orient(nodes, conn)[0]


def largest(ours, theirs):
    return (np.linalg.norm(ours - theirs, axis=1) / np.linalg.norm(theirs, axis=1)).max()


def cube_table():
    import magpylib

    nodes, conn = cube_mesh(0.12)
    rng = np.random.default_rng(3)
    inside = rng.uniform(-0.48, 0.48, (500, 3))
    d = rng.normal(size=(500, 3))
    outside = d / np.abs(d).max(axis=1, keepdims=True) * rng.uniform(0.52, 1.5, (500, 1))
    m = BR / MU0
    cuboid = magpylib.magnet.Cuboid(dimension=(1.0, 1.0, 1.0), magnetization=m)
    model = corvane.Model(corvane.Mesh(nodes, conn, {"cube": np.arange(len(conn))}))
    model.add_magnet("cube", remanence=BR)
    solution = model.solve()
    vectors = np.tile(m, (len(conn), 1))
    print(f"1. Cube magnet, {len(conn)} elements (gmsh), against magpylib's Cuboid: largest relative error per point")
    print("| path | H inside | H outside | B/mu0 inside | B/mu0 outside |")
    print("|---|---|---|---|---|")
    rows = {"tolerance=None (accurate exact kernels)": lambda p: solution.H_at(p),
            "calculate_fields (fast kernels)": lambda p: _corvane.calculate_fields(
                nodes, conn, vectors, 1, 1, p, True, 0, False, 0.5, 1, 16, 1024),
            "FieldOperator, tolerance 1e-9": lambda p: corvane.FieldOperator(nodes, conn, p, tolerance=1e-9)(vectors)}
    inside_m = np.tile(m, (len(inside), 1))
    for label, h_of in rows.items():
        h_in, h_out = h_of(inside), h_of(outside)
        b_in = largest(h_in + inside_m, cuboid.getB(inside) / magpylib.mu_0)
        b_out = largest(h_out, cuboid.getB(outside) / magpylib.mu_0)
        print(f"| {label} | {largest(h_in, cuboid.getH(inside)):.1e} | {largest(h_out, cuboid.getH(outside)):.1e} "
              f"| {b_in:.1e} | {b_out:.1e} |")


def best(f, repeats=3):
    times = []
    for _ in range(repeats):
        t0 = time.perf_counter()
        f()
        times.append(time.perf_counter() - t0)
    return min(times)


def speed_table():
    nodes, conn = bench_octree.ball_mesh(10_000)
    conn = np.ascontiguousarray(conn[:2000])
    rng = np.random.default_rng(4)
    targets = rng.uniform(-1.0, 1.0, (4000, 3))
    pairs = len(conn) * len(targets)
    print(f"2. Direct sums, one thread, {len(conn)} elements x {len(targets)} targets: ns per pair")
    print("| kernel | fast (calculate_fields) | accurate (tolerance=None) | ratio |")
    print("|---|---|---|---|")
    for label, source, field in (("H from M", 1, 1), ("A from M", 1, 0), ("H from J", 0, 1), ("A from J", 0, 0)):
        v = rng.normal(size=(len(conn), 3))
        fast = best(lambda: _corvane.calculate_fields(nodes, conn, v, source, field, targets, True, 1, False,
                                                      0.5, 1, 16, 1024))
        accurate = best(lambda: exact_fields(nodes, conn, v, source, field, targets, 1))
        print(f"| {label} | {1e9 * fast / pairs:.1f} | {1e9 * accurate / pairs:.1f} | {accurate / fast:.2f} |")


def operator_table(n_elements):
    nodes, conn = bench_octree.ball_mesh(n_elements)
    c = _corvane.mesh_centroids(nodes, conn)
    m = np.stack([np.sin(2 * c[:, 1]) + 1, np.cos(3 * c[:, 0] * c[:, 2]), 1 + c[:, 0] ** 2], axis=1)
    rng = np.random.default_rng(5)
    subset = rng.choice(len(conn), 1000, replace=False)
    d = rng.normal(size=(200, 3))
    outside = d / np.linalg.norm(d, axis=1, keepdims=True) * rng.uniform(1.02, 2.0, (200, 1))
    targets = np.vstack([c, outside])
    checked = np.concatenate([subset, len(conn) + np.arange(len(outside))])
    want = exact_fields(nodes, conn, m, 1, 1, targets[checked], 0)
    print(f"3. FieldOperator, H of a smooth M on a {len(conn)}-element ball at its centroids and 200 outside "
          "points; error against the exact direct sum")
    print("| tolerance | order | RMS error | largest error | build s | apply s |")
    print("|---|---|---|---|---|---|")
    applies = {}
    for tolerance in TOLERANCES:
        t0 = time.perf_counter()
        op = corvane.FieldOperator(nodes, conn, targets, tolerance=tolerance)
        built = time.perf_counter() - t0
        applies[tolerance] = best(lambda: op(m), repeats=2)
        e = np.linalg.norm(op(m)[checked] - want, axis=1)
        scale = np.sqrt(np.mean(np.sum(want ** 2, axis=1)))
        print(f"| {tolerance:.0e} | {op.info['expansion_order']} | {np.sqrt(np.mean(e ** 2)) / scale:.1e} "
              f"| {e.max() / scale:.1e} | {built:.1f} | {applies[tolerance]:.2f} |", flush=True)
        del op
    print(f"application at 1e-8 / at 1e-4: {applies[1e-8] / applies[1e-4]:.1f}")


def main(cpp_build_dir=None, n_elements=10_000):
    cube_table()
    print()
    speed_table()
    print()
    operator_table(n_elements)


if __name__ == "__main__":
    main(None, int(sys.argv[1]) if len(sys.argv) > 1 else 10_000)
