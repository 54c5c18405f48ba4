"""Corvane demo: fields of a magnetised and of a current-carrying box, and
the magnetisation of a ball in a uniform field.

The box [-0.5, 0.5]^3 m is split into tetrahedra in code. Along a line of
targets on the z axis the module's fields are printed beside the analytic
far field of the whole box: a dipole for the magnetisation, a current
element for the current density. A ball of linear material is then solved
for its magnetisation, on the direct path and through the octree, and its
mean magnetisation compared with the analytic 3chi/(3+chi) H0.
"""
import time

import numpy as np

import _corvane

INV_4PI = 0.07957747154594767
MU0_4PI = 1e-7


def box_mesh(n, half=0.5):
    """n^3 cubes, each split into six positively oriented tetrahedra."""
    s = np.linspace(-half, half, n + 1)
    gx, gy, gz = np.meshgrid(s, s, s, indexing="ij")
    nodes = np.column_stack([gx.ravel(), gy.ravel(), gz.ravel()])
    idx = np.arange(nodes.shape[0]).reshape(n + 1, n + 1, n + 1)
    corner = [idx[i:i + n, j:j + n, k:k + n].ravel()
              for i, j, k in [(0, 0, 0), (1, 0, 0), (1, 1, 0), (0, 1, 0),
                              (0, 0, 1), (1, 0, 1), (1, 1, 1), (0, 1, 1)]]
    tets = [np.column_stack([corner[0], corner[a], corner[b], corner[6]])
            for a, b in [(1, 2), (2, 3), (3, 7), (7, 4), (4, 5), (5, 1)]]
    conn = np.concatenate(tets).astype(np.uint32)
    p = nodes[conn]
    signed = np.einsum("ij,ij->i", p[:, 1] - p[:, 0], np.cross(p[:, 2] - p[:, 0], p[:, 3] - p[:, 0]))
    flip = signed < 0
    conn[flip, 1], conn[flip, 2] = conn[flip, 2].copy(), conn[flip, 1].copy()
    return nodes, conn


def fields(nodes, conn, vectors, kind, field, targets, exact):
    return _corvane.calculate_fields(nodes, conn, vectors, kind, field, targets, exact,
                                     0, False, 0.5, 1, 16, 1024)


def table(title, header, rows):
    print(title)
    print("".join(f"{h:>16}" for h in header))
    for row in rows:
        print("".join(f"{v:>16.6g}" for v in row))
    print()


def main():
    nodes, conn = box_mesh(6)
    volume = 1.0
    n = conn.shape[0]
    z = np.array([0.75, 1.0, 1.5, 2.0, 3.0, 5.0, 10.0])
    targets = np.column_stack([np.zeros_like(z), np.zeros_like(z), z])
    print(f"Box of side 1 m: {nodes.shape[0]} nodes, {n} tetrahedra; targets on the z axis\n")

    m = np.tile([0.0, 0.0, 1e5], (n, 1))  # A/m
    h_point = fields(nodes, conn, m, 1, 1, targets, False)
    h_exact = fields(nodes, conn, m, 1, 1, targets, True)
    h_dipole = INV_4PI * 2 * volume * 1e5 / z**3
    table("Hz of a box magnetised along z (M = 1e5 A/m), in A/m",
          ["z (m)", "point sources", "exact", "dipole"],
          zip(z, h_point[:, 2], h_exact[:, 2], h_dipole))

    j = np.tile([1e6, 0.0, 0.0], (n, 1))  # A/m^2
    a_point = fields(nodes, conn, j, 0, 0, targets, False)
    a_exact = fields(nodes, conn, j, 0, 0, targets, True)
    a_element = MU0_4PI * volume * 1e6 / z
    table("Ax of a box carrying J = 1e6 A/m^2 along x, in T m",
          ["z (m)", "point sources", "exact", "current element"],
          zip(z, a_point[:, 0], a_exact[:, 0], a_element))

    # Inside, the exact field of a uniformly magnetised cube at its centre is
    # H = -M/3 by symmetry; point sources only approximate it.
    centre = np.zeros((1, 3))
    print("Hz at the centre of the magnetised box: "
          f"exact {fields(nodes, conn, m, 1, 1, centre, True)[0, 2]:.6g} A/m, "
          f"point sources {fields(nodes, conn, m, 1, 1, centre, False)[0, 2]:.6g} A/m, "
          f"-M/3 = {-1e5 / 3:.6g} A/m\n")

    boundary(nodes, conn)
    print()
    ball()


def boundary(nodes, conn):
    faces = _corvane.mesh_surface_faces(conn)
    areas, centroids, normals = _corvane.mesh_surface_face_properties(nodes, faces)
    volumes = _corvane.mesh_volumes(nodes, conn)
    outward = np.einsum("ij,ij->i", normals, centroids - nodes.mean(axis=0)) > 0
    b = np.tile([0.3, -0.4, 1.2], (faces.shape[0], 1))  # uniform flux density, T
    forces = _corvane.mesh_surface_forces(areas, normals, b)
    per_face = np.linalg.norm(forces, axis=1).max()
    print("Boundary of the box")
    print(f"  boundary faces      {faces.shape[0]:>14d}   (exact: {6 * 2 * 36})")
    print(f"  total area (m^2)    {areas.sum():>14.12f}   (exact: 6)")
    print(f"  total volume (m^3)  {volumes.sum():>14.12f}   (exact: 1)")
    print(f"  outward normals     {outward.sum():>14d} of {faces.shape[0]}")
    print(f"  net Maxwell force of a uniform B = (0.3, -0.4, 1.2) T over the closed surface:")
    print(f"    {np.array2string(forces.sum(axis=0), precision=3)} N"
          f"   (largest force on one face: {per_face:.3g} N)")


def ball_mesh(n, radius=1.0):
    """The box mesh of [-1, 1]^3 with every cube shell pushed radially onto a
    sphere: nodes on the box surface land on the ball's surface."""
    nodes, conn = box_mesh(n, half=1.0)
    norm2 = np.linalg.norm(nodes, axis=1)
    scale = np.divide(np.abs(nodes).max(axis=1), norm2, out=np.zeros_like(norm2), where=norm2 > 0)
    return nodes * (radius * scale)[:, None], conn


def solve_ball(nodes, conn, chi, h0, use_octree, verbose=False):
    """Mean magnetisation (volume-weighted) and seconds taken, to 1e-4 of the analytic value."""
    n = conn.shape[0]
    centroids = _corvane.mesh_centroids(nodes, conn)
    volumes = _corvane.mesh_volumes(nodes, conn)
    omega = 2.0 / (2.0 + chi)  # keeps every mode of the relaxed iteration contracting
    atol = 1e-4 * 3.0 * chi / (3.0 + chi) * np.linalg.norm(h0)
    t0 = time.perf_counter()
    m, _h = _corvane.magnetization_solve(nodes, conn, centroids, chi, np.tile(h0, (n, 1)), True, 0, atol, 1000,
                                         omega, use_octree, 0.5, 2, 16, 256, verbose)
    return volumes @ m / volumes.sum(), time.perf_counter() - t0


def ball():
    h0 = np.array([0.0, 0.0, 1000.0])  # A/m
    small, large = ball_mesh(6), ball_mesh(8)
    print(f"Ball of radius 1 m, susceptibility chi, in H0 = {h0[2]:g} A/m along z; omega = 2/(2+chi)")
    # The progress lines go straight to file descriptor 1: flush what Python holds first.
    print(f"Progress lines of the direct solve, chi = 1, {small[1].shape[0]} tetrahedra:", flush=True)
    rows = [("direct", 1.0, small[1].shape[0], *solve_ball(*small, 1.0, h0, False, verbose=True))]
    rows += [("direct", 10.0, small[1].shape[0], *solve_ball(*small, 10.0, h0, False))]
    rows += [("octree", chi, mesh[1].shape[0], *solve_ball(*mesh, chi, h0, True))
             for mesh in (small, large) for chi in (1.0, 10.0)]
    print(f"{'path':>8}{'chi':>6}{'elements':>10}{'<Mz> (A/m)':>14}{'analytic':>12}{'ratio':>9}{'time (s)':>10}")
    for path, chi, n, mean, seconds in rows:
        analytic = 3.0 * chi / (3.0 + chi) * h0[2]
        print(f"{path:>8}{chi:>6g}{n:>10d}{mean[2]:>14.3f}{analytic:>12.3f}{mean[2] / analytic:>9.5f}{seconds:>10.2f}")


if __name__ == "__main__":
    main()
