"""A magnet in a C-shaped steel yoke with a 2 mm air gap, the steel on the README's B-H curve:
the solve's cost and the force on the yoke's upper half, against the element size.

The yoke: 40 x 40 x 15 mm, 10 mm bars, its opening closed by pole tips to a 2 mm gap at
y = 0; the NdFeB magnet (Br 1.2 T along +y, recoil 0.05) fills the back bar for |y| < 4 mm.
Regions "upper" (steel above y = 0), "lower" and "magnet": the upper half touches the magnet
and faces the lower half across the gap. Every row solves through a FieldOperator of
tolerance 1e-4 to rtol 1e-6 with the default preconditioner; seconds are the whole solve
(operator build included), then the force on "upper" by magnetic charges (the default
where bodies touch) and by the Kelvin force density, each against the charge force on the
finest mesh.

    python bench/bench_yoke.py [quick]
"""
import pathlib
import sys
import tempfile
import time

import corvane

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from bench_preconditioner import STEEL_B, STEEL_H  # noqa: E402
from gmsh_session import gmsh_session  # noqa: E402

SIZES = (0.002, 0.0014, 0.001)


def yoke_mesh(directory, size):
    path = pathlib.Path(directory) / f"yoke_{size}.msh"
    with gmsh_session() as gmsh:
        occ = gmsh.model.occ
        outer = occ.addBox(-0.02, -0.02, 0.0, 0.04, 0.04, 0.015)
        window = occ.addBox(-0.01, -0.01, -0.001, 0.02, 0.02, 0.017)
        gap = occ.addBox(0.009, -0.001, -0.001, 0.012, 0.002, 0.017)
        steel, _ = occ.cut([(3, outer)], [(3, window), (3, gap)])
        magnet = occ.addBox(-0.02, -0.004, 0.0, 0.01, 0.008, 0.015)
        upper_box = occ.addBox(-0.021, 0.0, -0.001, 0.042, 0.021, 0.017)
        pieces, children = occ.fragment(steel, [(3, magnet), (3, upper_box)])
        occ.synchronize()
        magnet_tags = {tag for _, tag in children[1]}
        upper_side = {tag for _, tag in children[2]}
        steel_tags = {tag for _, tag in children[0]} - magnet_tags
        regions = {"magnet": magnet_tags, "upper": steel_tags & upper_side, "lower": steel_tags - upper_side}
        # The box was a cutting tool only: what it covers outside the yoke is dropped.
        for name, tags in regions.items():
            gmsh.model.addPhysicalGroup(3, sorted(tags), name=name)
        gmsh.option.setNumber("Mesh.MeshSizeMax", size)
        gmsh.model.mesh.generate(3)
        gmsh.write(str(path))
    return corvane.read_mesh(path)


def solve(mesh):
    model = corvane.Model(mesh)
    model.add_magnet("magnet", remanence=(0.0, 1.2, 0.0), recoil_susceptibility=0.05)
    for half in ("upper", "lower"):
        model.add_soft(half, bh_curve=(STEEL_H, STEEL_B))
    return model.solve(tolerance=1e-4, max_evaluations=2000)


def main(cpp_build_dir=None, sizes=SIZES):
    rows = []
    with tempfile.TemporaryDirectory() as directory:
        for size in sizes:
            mesh = yoke_mesh(directory, size)
            started = time.perf_counter()
            solution = solve(mesh)
            seconds = time.perf_counter() - started
            forces = {method: solution.force("upper", method=method)[1] for method in ("charge", "kelvin")}
            rows.append((size, len(mesh.connectivity), solution.info, seconds, forces))
            print(f"{size * 1e3:g} mm: {len(mesh.connectivity):,} elements, {solution.info['evaluations']} "
                  f"evaluations, {seconds:.1f} s, Fy charge {forces['charge']:.4f} N, kelvin {forces['kelvin']:.4f} N",
                  flush=True)
    # The charge force on the finest mesh is the reference: it moves by a few 1e-4 between
    # meshes, not monotonically, so no power of the element size extrapolates it.
    reference = rows[-1][4]["charge"]
    print("\n| element size | elements | evaluations | s | Fy charge (N) | Fy kelvin (N) |")
    print("|---|---|---|---|---|---|")
    for size, n, info, seconds, forces in rows:
        cells = [f"{forces[method]:.4f} ({forces[method] / reference - 1:+.2%})" for method in ("charge", "kelvin")]
        print(f"| {size * 1e3:g} mm | {n:,} | {info['evaluations']} | {seconds:.1f} | {cells[0]} | {cells[1]} |")
    charges = [row[4]["charge"] for row in rows]
    print(f"\nCharge force from {min(charges):.4f} to {max(charges):.4f} N over the meshes "
          f"({(max(charges) - min(charges)) / abs(reference):.1e} of the finest); percentages against the finest")


if __name__ == "__main__":
    main(sizes=SIZES[:1] if sys.argv[1:] == ["quick"] else SIZES)
