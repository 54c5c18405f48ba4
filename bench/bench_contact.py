"""Forces where bodies touch: a 10 mm NdFeB cube (Br 1.2 T along z, recoil 0.05) on a
40 x 40 x 10 mm steel plate (chi = 1000), meshed by gmsh with conforming faces at the contact.

Tables, all from this run:
1. The converged force at gaps 0, 0.5, 1 and 2 mm: the charge force on the magnet on the
   table's meshes graded to 0.6 and 0.4 mm at the faces across the gap (the change between
   the two says how far from converged the finer is).
2. In contact, elements of one size for both bodies: the force on the magnet and on the
   plate by magnetic charges ("charge") and by the Kelvin force density ("kelvin"), their
   action-and-reaction mismatch |F_m + F_p| / |F_m|, and each against the converged force.
3. The magnet 1.5 mm / plate 2.5 mm meshes at each gap against its converged value.
4. The magnet tilted 10 degrees about its contact edge (it rests on that edge): torque about
   the edge on the magnet and on the plate.
5. Cost: seconds of a force against seconds of one field evaluation of the model (H at
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

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from gmsh_session import gmsh_session  # noqa: E402

TOLERANCE = 1e-5
UNIFORM_SIZES = (0.003, 0.002, 0.0015)
TABLE_SIZES = (0.0015, 0.0025)
GRADED_SIZES = (0.0006, 0.0004)
GAPS = (0.0, 0.0005, 0.001, 0.002)
TILT_SIZES = (0.003, 0.002)


def mesh_case(directory, gap=0.0, magnet_size=0.003, plate_size=0.003, tilt_degrees=0.0, graded=None):
    """The plate at z from -10 mm to 0, the magnet above it at the gap, or tilted about its edge
    x = 5 mm, z = 0 (lifting the edge x = -5 mm). Regions "magnet" and "plate". graded: an
    element size at the faces that face each other across the gap, growing by half the distance
    from them."""
    path = pathlib.Path(directory) / f"contact_{gap}_{magnet_size}_{plate_size}_{tilt_degrees}_{graded}.msh"
    with gmsh_session() as gmsh:
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
        if graded is not None:
            gmsh.option.setNumber("Mesh.MeshSizeMin", graded)

            def size_at(dim, tag, x, y, z, lc):
                outside = np.hypot(max(abs(x) - 0.005, 0.0), max(abs(y) - 0.005, 0.0))
                across = max(z - gap, -z, 0.0)
                return min(lc, graded + 0.5 * np.hypot(outside, across))

            gmsh.model.mesh.setSizeCallback(size_at)
        gmsh.model.mesh.generate(3)
        gmsh.write(str(path))
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
    """(limit, order) of values = limit + c size^order through three (size, value) pairs; order
    None when no order from 0.25 to 6 fits, and the limit then of order 1."""
    (h1, h2, h3), (f1, f2, f3) = sizes, values

    def mismatch(p):
        return (f1 - f2) * (h2**p - h3**p) - (f2 - f3) * (h1**p - h2**p)

    try:
        p = found = brentq(mismatch, 0.25, 6.0)
    except ValueError:
        p, found = 1.0, None
    c = (f2 - f3) / (h2**p - h3**p)
    return f3 - c * h3**p, found


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


def converged(directory, gap, graded):
    """(force on the magnet on the finest mesh, [(elements, force)]) over meshes of the table's
    sizes graded to each size in `graded` at the faces across the gap."""
    runs = []
    for size in graded:
        mesh = mesh_case(directory, gap, *TABLE_SIZES, graded=size)
        runs.append((len(mesh.connectivity), -solve(mesh).force("magnet")[2]))
    return runs[-1][1], runs


def main(cpp_build_dir=None, quick=False):
    print("Forces in contact: 10 mm magnet cube (Br 1.2 T, recoil 0.05) on a 40 x 40 x 10 mm plate "
          f"(chi 1000), FieldOperator tolerance {TOLERANCE:g}")
    uniform = UNIFORM_SIZES[:2] if quick else UNIFORM_SIZES
    graded = (0.0008, 0.0006) if quick else GRADED_SIZES
    with tempfile.TemporaryDirectory() as directory:
        references = {gap: converged(directory, gap, graded) for gap in (GAPS[:1] if quick else GAPS)}
        print(f"\nConverged force on the magnet: the 1.5 mm / 2.5 mm meshes graded to "
              f"{' and '.join(f'{1e3 * g:g}' for g in graded)} mm at the faces across the gap "
              f"(growing by half the distance from them); the finest is the reference")
        print(f"{'gap':>6} {'converged':>9} {'change':>8}   (elements, force) per grading")
        for gap, (limit, runs) in references.items():
            print(f"{1e3 * gap:4.1f}mm {limit:9.3f} {runs[-1][1] / runs[-2][1] - 1:+8.2e}   "
                  + "  ".join(f"({n}, {f:.3f})" for n, f in runs))

        limit = references[0.0][0]
        results = [contact_forces(directory, h, h) for h in uniform]
        print(f"\nIn contact, one element size for both bodies, against the converged {limit:.3f} N")
        print(f"{'method':>7} {'mesh':>7} {'elements':>8} {'F magnet':>9} {'F plate':>9} {'|Fm+Fp|/|Fm|':>13} "
              f"{'vs conv.':>9} {'force s':>8} {'field s':>8}")
        for h, (n, seconds_field, rows) in zip(uniform, results):
            for method, (f_m, f_p, mismatch, s_m, s_p) in rows.items():
                print(f"{method:>7} {1e3 * h:5.1f}mm {n:8d} {f_m:9.3f} {f_p:9.3f} {mismatch:13.2e} "
                      f"{-f_m / limit - 1:+9.2%} {max(s_m, s_p):8.2f} {seconds_field:8.2f}")
        step = (results[1][2]["charge"][0] - results[0][2]["charge"][0]) / results[1][2]["charge"][0]
        print(f"charge, 3 mm against 2 mm: {step:+.2%}")
        if len(results) == 3:
            richardson, order = extrapolate(uniform, [-r[2]["charge"][0] for r in results])
            print(f"charge, Richardson over {', '.join(f'{1e3 * h:g}' for h in uniform)} mm: {richardson:.3f} N "
                  f"(" + ("no order fits, first order assumed)" if order is None else f"order {order:.2f})"))

        print("\nMagnet 1.5 mm / plate 2.5 mm elements at a gap, against the converged value of each gap")
        print(f"{'gap':>6} {'method':>7} {'elements':>8} {'F magnet':>9} {'F plate':>9} {'|Fm+Fp|/|Fm|':>13} "
              f"{'vs conv.':>9} {'force s':>8} {'field s':>8}")
        for gap, (limit, _) in references.items():
            n, seconds_field, rows = contact_forces(directory, *TABLE_SIZES, gap)
            for method, (f_m, f_p, mismatch, s_m, s_p) in rows.items():
                print(f"{1e3 * gap:4.1f}mm {method:>7} {n:8d} {f_m:9.3f} {f_p:9.3f} {mismatch:13.2e} "
                      f"{-f_m / limit - 1:+9.2%} {max(s_m, s_p):8.2f} {seconds_field:8.2f}")

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
