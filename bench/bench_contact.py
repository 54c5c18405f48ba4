"""Forces where bodies touch: a 10 mm NdFeB cube (Br 1.2 T along z, recoil 0.05) on a
40 x 40 x 10 mm steel plate (chi = 1000), meshed by gmsh with conforming faces at the contact.

Tables, all from this run:
1. In contact, elements of one size for both bodies: the force on the magnet and on the
   plate by magnetic charges ("charge") and by the Kelvin force density ("kelvin"), their
   action-and-reaction mismatch |F_m + F_p| / |F_m|, and each against the converged holding
   force: the charge forces on three meshes extrapolated to zero element size
   (Richardson, order fitted to the three).
2. The magnet 1.5 mm / plate 2.5 mm meshes at gaps 0, 0.5, 1 and 2 mm, each against its own
   converged value (the same construction at 1.5 and 0.75 times those sizes).
3. The magnet tilted 10 degrees about its contact edge (it rests on that edge): torque about
   the edge on the magnet and on the plate.
4. Cost: seconds of a force against seconds of one field evaluation of the model (H at
   every centroid), same run.
Solves and fields use a FieldOperator of tolerance 1e-5.

    python bench/bench_contact.py [quick]
"""
import pathlib
import sys
import tempfile
import time

import numpy as np
from scipy.optimize import brentq

import corvane

TOLERANCE = 1e-5
UNIFORM_SIZES = (0.003, 0.002, 0.0015)
TABLE_SIZES = (0.0015, 0.0025)
TABLE_SCALES = (1.5, 1.0, 0.75)
GAPS = (0.0, 0.0005, 0.001, 0.002)
TILT_SIZES = (0.003, 0.002)


def mesh_case(directory, gap=0.0, magnet_size=0.003, plate_size=0.003, tilt_degrees=0.0):
    """The plate at z from -10 mm to 0, the magnet above it at the gap, or tilted about its edge
    x = 5 mm, z = 0 (lifting the edge x = -5 mm). Regions "magnet" and "plate"."""
    import gmsh

    path = pathlib.Path(directory) / f"contact_{gap}_{magnet_size}_{plate_size}_{tilt_degrees}.msh"
    gmsh.initialize(interruptible=False)
    try:
        gmsh.option.setNumber("General.Terminal", 0)
        gmsh.option.setNumber("General.NumThreads", 1)
        gmsh.option.setNumber("Mesh.RandomSeed", 1.0)
        occ = gmsh.model.occ
        plate = occ.addBox(-0.02, -0.02, -0.01, 0.04, 0.04, 0.01)
        magnet = occ.addBox(-0.005, -0.005, gap, 0.01, 0.01, 0.01)
        if tilt_degrees:
            occ.rotate([(3, magnet)], 0.005, 0.0, 0.0, 0.0, 1.0, 0.0, np.radians(tilt_degrees))
        _, children = occ.fragment([(3, plate)], [(3, magnet)])
        occ.synchronize()
        groups = {"plate": ([t for _, t in children[0]], plate_size),
                  "magnet": ([t for _, t in children[1]], magnet_size)}
        for name, (tags, _) in groups.items():
            gmsh.model.addPhysicalGroup(3, tags, name=name)
        # Largest first: points shared by both take the smaller size.
        for tags, size in sorted(groups.values(), key=lambda group: -group[1]):
            gmsh.model.mesh.setSize(gmsh.model.getBoundary([(3, t) for t in tags], recursive=True), size)
        gmsh.option.setNumber("Mesh.MeshSizeMax", max(magnet_size, plate_size))
        gmsh.model.mesh.generate(3)
        gmsh.write(str(path))
    finally:
        gmsh.finalize()
    return corvane.read_mesh(path)


def solve(mesh):
    model = corvane.Model(mesh)
    model.add_magnet("magnet", remanence=(0.0, 0.0, 1.2), recoil_susceptibility=0.05)
    model.add_soft("plate", chi=1000.0)
    return model.solve(tolerance=TOLERANCE)


def timed(function, *args, **kwargs):
    started = time.perf_counter()
    result = function(*args, **kwargs)
    return result, time.perf_counter() - started


def extrapolate(sizes, values):
    """(limit, order) of values = limit + c size^order through three (size, value) pairs."""
    (h1, h2, h3), (f1, f2, f3) = sizes, values

    def mismatch(p):
        return (f1 - f2) * (h2**p - h3**p) - (f2 - f3) * (h1**p - h2**p)

    try:
        p = brentq(mismatch, 0.25, 6.0)
    except ValueError:
        p = 1.0
    c = (f2 - f3) / (h2**p - h3**p)
    return f3 - c * h3**p, p


def contact_forces(directory, magnet_size, plate_size, gap=0.0, methods=("charge", "kelvin")):
    mesh = mesh_case(directory, gap, magnet_size, plate_size)
    sol = solve(mesh)
    _, seconds_field = timed(sol.H_at, mesh.centroids)
    rows = {}
    for method in methods:
        f_m, s_m = timed(sol.force, "magnet", method=method)
        f_p, s_p = timed(sol.force, "plate", method=method)
        rows[method] = (f_m[2], f_p[2], np.linalg.norm(f_m + f_p) / np.linalg.norm(f_m), s_m, s_p)
    return len(mesh.connectivity), seconds_field, rows


def main(cpp_build_dir=None, quick=False):
    print("Forces in contact: 10 mm magnet cube (Br 1.2 T, recoil 0.05) on a 40 x 40 x 10 mm plate "
          f"(chi 1000), FieldOperator tolerance {TOLERANCE:g}")
    uniform = UNIFORM_SIZES[:2] if quick else UNIFORM_SIZES
    with tempfile.TemporaryDirectory() as directory:
        results = [contact_forces(directory, h, h) for h in uniform]
        charge_magnet = [-r[2]["charge"][0] for r in results]
        if len(results) == 3:
            limit, order = extrapolate(uniform, charge_magnet)
            how = f"Richardson over {', '.join(f'{1e3 * h:g}' for h in uniform)} mm, order {order:.2f}"
        else:
            limit, how = charge_magnet[-1], f"finest mesh ({1e3 * uniform[-1]:g} mm)"
        print(f"\nIn contact; converged holding force {limit:.3f} N ({how})")
        print(f"{'method':>7} {'mesh':>7} {'elements':>8} {'F magnet':>9} {'F plate':>9} {'|Fm+Fp|/|Fm|':>13} "
              f"{'vs conv.':>9} {'force s':>8} {'field s':>8}")
        for h, (n, seconds_field, rows) in zip(uniform, results):
            for method, (f_m, f_p, mismatch, s_m, s_p) in rows.items():
                print(f"{method:>7} {1e3 * h:5.1f}mm {n:8d} {f_m:9.3f} {f_p:9.3f} {mismatch:13.2e} "
                      f"{-f_m / limit - 1:+9.2%} {max(s_m, s_p):8.2f} {seconds_field:8.2f}")
        step = (results[1][2]["charge"][0] - results[0][2]["charge"][0]) / results[1][2]["charge"][0]
        print(f"charge, 3 mm against 2 mm: {step:+.2%}")

        print("\nMagnet 1.5 mm / plate 2.5 mm elements at a gap, against the converged value of each gap "
              f"(meshes scaled by {', '.join(map(str, TABLE_SCALES))}, Richardson)")
        print(f"{'gap':>6} {'F magnet':>9} {'F plate':>9} {'|Fm+Fp|/|Fm|':>13} {'converged':>9} {'order':>6} "
              f"{'vs conv.':>9} {'kelvin vs':>9}")
        for gap in (GAPS[:1] if quick else GAPS):
            scales = TABLE_SCALES[:2] if quick else TABLE_SCALES
            runs = [contact_forces(directory, s * TABLE_SIZES[0], s * TABLE_SIZES[1], gap) for s in scales]
            values = [-r[2]["charge"][0] for r in runs]
            limit, order = extrapolate(scales, values) if len(runs) == 3 else (values[-1], float("nan"))
            f_m, f_p, mismatch = runs[scales.index(1.0)][2]["charge"][:3]
            kelvin = runs[scales.index(1.0)][2]["kelvin"][0]
            print(f"{1e3 * gap:4.1f}mm {f_m:9.3f} {f_p:9.3f} {mismatch:13.2e} {limit:9.3f} {order:6.2f} "
                  f"{-f_m / limit - 1:+9.2%} {-kelvin / limit - 1:+9.2%}")

        print("\nMagnet tilted 10 degrees, resting on its edge x = 5 mm, z = 0: torque about that edge (N m)")
        print(f"{'mesh':>7} {'T_y magnet':>11} {'T_y plate':>11} {'|Tm+Tp|/|Tm|':>13} {'F_z magnet':>11} "
              f"{'F_z plate':>10}")
        edge = (0.005, 0.0, 0.0)
        for h in (TILT_SIZES[:1] if quick else TILT_SIZES):
            sol = solve(mesh_case(directory, 0.0, h, h, tilt_degrees=10.0))
            t_m, t_p = sol.torque("magnet", about=edge), sol.torque("plate", about=edge)
            print(f"{1e3 * h:5.1f}mm {t_m[1]:11.5f} {t_p[1]:11.5f} {np.linalg.norm(t_m + t_p) / np.linalg.norm(t_m):13.2e} "
                  f"{sol.force('magnet')[2]:11.3f} {sol.force('plate')[2]:10.3f}  ({sol.force_method('magnet')})")


if __name__ == "__main__":
    main(quick=sys.argv[1:] == ["quick"])
