"""The direct sum against a FieldOperator for the field evaluations of a Solution, and how well
`corvane.field_sources` estimates which is faster.

H of a magnetisation at targets, through the exact direct sum and through a FieldOperator of
tolerance 1e-5 (build and one application, after a first operator of that tolerance in the
process, as in a solved model): gmsh balls of 256 to 12,195 elements with targets at their
centroids and uniform in cubes of 1.2 and 3 radii; the contact meshes of bench_contact (magnet
cube on a steel plate), with targets at their centroids and at the force points of each body
against the other's sources. Per case: the two times, the estimate's operator time, and whether
the estimate picks the faster path; then the RMS of the estimate's log error and the time lost
to wrong picks. The estimate's constants (_OPERATOR_*) are fitted on these cases.

    python bench/bench_field_paths.py
"""
import pathlib
import sys
import tempfile

import numpy as np

from corvane import field_sources, forces
from corvane.magnetization import exact_fields
from corvane.operator import PlacedTargets

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import bench_contact  # noqa: E402
from bench_accuracy import best  # noqa: E402
from bench_solver import gmsh_ball  # noqa: E402

TOLERANCE = 1e-5


def estimate(nodes, connectivity, points):
    """The estimate's operator seconds, as field_sources forms it (at tolerance 1e-5, order 18)."""
    corners = nodes[connectivity]
    size = np.linalg.norm(corners.max(axis=1) - corners.min(axis=1), axis=1).max()
    low, high = corners.min(axis=(0, 1)), corners.max(axis=(0, 1))
    inside = int(np.count_nonzero(np.all((points > low - size) & (points < high + size), axis=1)))
    return (field_sources._OPERATOR_FIXED + field_sources._OPERATOR_ELEMENT * len(connectivity)
            + field_sources._OPERATOR_INSIDE * inside + field_sources._OPERATOR_OUTSIDE * (len(points) - inside))


def case(label, nodes, connectivity, points, vectors):
    direct = best(lambda: exact_fields(nodes, connectivity, vectors, 1, 1, points, 0), repeats=2)
    operator = best(lambda: PlacedTargets(nodes, connectivity, points, source="magnetization", field="H",
                                          tolerance=TOLERANCE)(vectors), repeats=2)
    guess = estimate(nodes, connectivity, points)
    right = (guess < field_sources._DIRECT_PAIR * len(connectivity) * len(points)) == (operator < direct)
    print(f"| {label} | {len(connectivity):,} | {len(points):,} | {direct:.3f} | {operator:.3f} | {guess:.3f} | "
          f"{'yes' if right else 'no'} |", flush=True)
    return operator, guess, 0.0 if right else abs(operator - direct), min(operator, direct)


def contact_cases(directory):
    for gap, magnet, plate in ((0.0, 0.003, 0.003), (0.0, 0.002, 0.002), (0.0, 0.0015, 0.0025),
                               (0.0005, 0.0015, 0.0025)):
        mesh = bench_contact.mesh_case(directory, gap, magnet, plate)
        solution = bench_contact.solve(mesh)
        name = f"contact {gap * 1e3:g} mm gap, {magnet * 1e3:g}/{plate * 1e3:g} mm"
        yield f"{name}, centroids", mesh.nodes, mesh.connectivity, np.array(mesh.centroids), solution.M
        for region in ("magnet", "plate"):
            elements = mesh.region(region)
            own, other = solution._sources.split(elements)
            magnetized = elements[own.magnetization[elements].any(axis=1)]
            faces = forces._charge_faces(mesh, own.magnetization, magnetized, forces._source_points(mesh, other))
            points = forces._charge_quadrature(*faces)[0]
            sourced = other.magnetization.any(axis=1)
            yield (f"{name}, force points of the {region}", mesh.nodes, np.ascontiguousarray(mesh.connectivity[sourced]),
                   points, np.ascontiguousarray(other.magnetization[sourced]))


def ball_cases(rng):
    for size in (0.5, 0.3, 0.2, 0.12):
        nodes, connectivity = gmsh_ball(size)
        vectors = rng.standard_normal((len(connectivity), 3))
        yield "ball, centroids", nodes, connectivity, nodes[connectivity].mean(axis=1), vectors
        for n_targets in (1000, 5000, 20000):
            for spread in (1.2, 3.0):
                yield (f"ball, cube of {spread} radii", nodes, connectivity,
                       rng.uniform(-spread, spread, (n_targets, 3)), vectors)


def main(cpp_build_dir=None):
    rng = np.random.default_rng(1)
    nodes, connectivity = gmsh_ball(0.5)
    # Translations are kept for the process: the first operator of a tolerance pays for them.
    PlacedTargets(nodes, connectivity, np.full((1, 3), 2.0), source="magnetization", field="H", tolerance=TOLERANCE)
    print("Direct sum or FieldOperator (tolerance 1e-5) for a field evaluation, and the estimate's pick\n")
    print("| case | elements | targets | direct s | operator s | estimated operator s | estimate picks the faster |")
    print("|---|---|---|---|---|---|---|")
    results = []
    with tempfile.TemporaryDirectory() as directory:
        for label, nodes, connectivity, points, vectors in (*ball_cases(rng), *contact_cases(directory)):
            results.append(case(label, nodes, connectivity, points, vectors))
    operator, guess, lost, fastest = (np.array(column) for column in zip(*results))
    print(f"\nEstimate against the operator's time: RMS factor {np.exp(np.sqrt(np.mean(np.log(guess / operator) ** 2))):.2f}, "
          f"from {np.min(guess / operator):.2f} to {np.max(guess / operator):.2f}; "
          f"time lost to wrong picks {lost.sum():.2f} s of {fastest.sum():.2f} s")


if __name__ == "__main__":
    main()
