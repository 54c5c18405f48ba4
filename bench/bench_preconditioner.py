"""Field evaluations of the magnetisation solves with and without the potential preconditioner.

A steel frame (80 x 60 x 12 mm, 12 mm bars, a 3 mm air gap in one bar, an
NdFeB block of Br 1.2 T and recoil 0.05 in the opposite one) with χ = 1000
and with the README's 18-point steel B-H curve; a ball in a uniform field at
χ = 1e3 ... 1e5; and the ball at χ = 1000 from 1e3 to 1e5 elements. All
through a FieldOperator of tolerance 1e-4 to rtol 1e-6; seconds include the
operator's build and the preconditioner's set-up. The frame's reference
cost is building its operator and applying it 25 times. On a shared
machine one run of either can be slowed by others: the reference and the
linear frame's solves are timed as the best of three runs, interleaved.

    python bench/bench_preconditioner.py [small|large]
"""
import pathlib
import sys
import time

import numpy as np

import corvane

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from bench_octree import ball_mesh  # noqa: E402
from bench_solver import gmsh_ball  # noqa: E402
from gmsh_session import gmsh_session  # noqa: E402

STEEL_H = [0, 100, 200, 300, 400, 500, 600, 800, 1e3, 1.5e3, 2e3, 3e3, 5e3, 1e4, 2e4, 5e4, 1e5, 2e5]
STEEL_B = [0, 0.3, 0.8, 1.05, 1.2, 1.3, 1.36, 1.44, 1.5, 1.58, 1.63, 1.7, 1.78, 1.88, 1.98, 2.1, 2.22, 2.38]
TOLERANCE, RTOL = 1e-4, 1e-6
CHOICES = (None, "potential", "air")


def frame_mesh(size=0.003):
    """The frame's steel and magnet as a corvane.Mesh with regions "steel" and "magnet"."""
    with gmsh_session() as gmsh:
        occ = gmsh.model.occ
        outer = occ.addBox(-0.04, -0.03, 0.0, 0.08, 0.06, 0.012)
        hole = occ.addBox(-0.028, -0.018, -0.001, 0.056, 0.036, 0.014)
        frame, _ = occ.cut([(3, outer)], [(3, hole)])
        gap = occ.addBox(0.027, -0.0015, -0.001, 0.014, 0.003, 0.014)
        frame, _ = occ.cut(frame, [(3, gap)])
        magnet = occ.addBox(-0.04, -0.005, 0.0, 0.012, 0.01, 0.012)
        pieces, children = occ.fragment(frame, [(3, magnet)])
        occ.synchronize()
        magnet_tags = [tag for _, tag in children[-1]]
        gmsh.model.addPhysicalGroup(3, [tag for _, tag in pieces if tag not in magnet_tags], name="steel")
        gmsh.model.addPhysicalGroup(3, magnet_tags, name="magnet")
        gmsh.option.setNumber("Mesh.MeshSizeMax", size)
        gmsh.model.mesh.generate(3)
        path = pathlib.Path(__file__).resolve().parent.parent / "build" / "bench_meshes" / "frame.msh"
        path.parent.mkdir(parents=True, exist_ok=True)
        gmsh.write(str(path))
    return corvane.read_mesh(path)


def frame_solve(mesh, steel, preconditioner):
    model = corvane.Model(mesh)
    model.add_magnet("magnet", remanence=(0, 1.2, 0), recoil_susceptibility=0.05)
    if steel == "chi":
        model.add_soft("steel", chi=1000.0)
    else:
        model.add_soft("steel", bh_curve=(STEEL_H, STEEL_B))
    return model.solve(rtol=RTOL, tolerance=TOLERANCE, max_evaluations=1000, preconditioner=preconditioner)


def ball_solve(nodes, conn, chi, preconditioner):
    started = time.perf_counter()
    M, _, info = corvane.solve_magnetization(nodes, conn, chi, (0.0, 0.0, 1.0), rtol=RTOL, tolerance=TOLERANCE,
                                             max_evaluations=1000, preconditioner=preconditioner, return_info=True)
    volumes = corvane.signed_volumes(nodes, conn)
    mean = (M[:, 2] * volumes).sum() / volumes.sum()
    return info, time.perf_counter() - started, abs(mean / (3 * chi / (3 + chi)) - 1)


def row(cells):
    print("| " + " | ".join(str(cell) for cell in cells) + " |", flush=True)


def setup_cell(info):
    if info["preconditioner"] is None:
        return "—"
    return f"{info['preconditioner_setup_seconds']:.2f} / {info['preconditioner_apply_seconds']:.2f} s, " \
           f"{info['preconditioner_bytes'] / 2**20:.0f} MiB"


def frame_reference(mesh):
    """Seconds to build the frame's operator and apply it 25 times."""
    started = time.perf_counter()
    operator = corvane.FieldOperator(mesh.nodes, mesh.connectivity, source="magnetization", field="H",
                                     tolerance=TOLERANCE)
    vectors = np.random.default_rng(0).standard_normal((len(mesh.connectivity), 3))
    for _ in range(25):
        operator(vectors)
    return time.perf_counter() - started


def timed_frame_solve(mesh, steel, choice):
    started = time.perf_counter()
    solution = frame_solve(mesh, steel, choice)
    return solution, time.perf_counter() - started


def frames(repeats=3):
    mesh = frame_mesh()
    n = len(mesh.connectivity)
    references, linear = [], {choice: [] for choice in CHOICES}
    for _ in range(repeats):
        references.append(frame_reference(mesh))
        for choice in CHOICES:
            linear[choice].append(timed_frame_solve(mesh, "chi", choice))
    reference = min(references)
    print(f"Steel frame, {n:,} elements; building its operator and applying it 25 times: {reference:.2f} s "
          f"(best of {repeats}: {', '.join(f'{seconds:.2f}' for seconds in references)})\n")
    row(["steel", "preconditioner", "evaluations", "s", "÷ reference", "set-up / applications, memory"])
    row(["---"] * 6)
    for steel in ("chi", "curve"):
        for choice in CHOICES:   # "auto" is "air" here
            if steel == "chi":
                solution, seconds = min(linear[choice], key=lambda run: run[1])
            else:
                solution, seconds = timed_frame_solve(mesh, steel, choice)
            row(["χ = 1000" if steel == "chi" else "B–H curve", choice or "none", solution.info["evaluations"],
                 f"{seconds:.2f}", f"{seconds / reference:.2f}", setup_cell(solution.info)])
    print()


def balls(large):
    nodes, conn = gmsh_ball(0.2)
    print(f"Ball in a uniform field, {len(conn):,} elements\n")
    row(["χ", "preconditioner", "evaluations", "s", "mean-M error", "set-up / applications, memory"])
    row(["---"] * 6)
    for chi in (1e3, 1e4, 1e5):
        for choice in CHOICES:
            info, seconds, error = ball_solve(nodes, conn, chi, choice)
            row([f"{chi:g}", choice or "none", info["evaluations"], f"{seconds:.1f}", f"{error:.1e}",
                 setup_cell(info)])
    print("\nBall, χ = 1000, against the number of elements\n")
    row(["elements", "preconditioner", "evaluations", "s", "mean-M error", "set-up / applications, memory"])
    row(["---"] * 6)
    for n in (10_000, 100_000) if large else (10_000,):
        nodes, conn = ball_mesh(n)
        for choice in CHOICES:
            info, seconds, error = ball_solve(nodes, conn, 1e3, choice)
            row([f"{len(conn):,}", choice or "none", info["evaluations"], f"{seconds:.1f}", f"{error:.1e}",
                 setup_cell(info)])
    print()


def main(cpp_build_dir=None, which="small"):
    frames()
    balls(which == "large")


if __name__ == "__main__":
    main(None, sys.argv[1] if len(sys.argv) > 1 else "small")
