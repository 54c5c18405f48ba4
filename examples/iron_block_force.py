"""The force on a permanent magnet next to an iron block, from the Maxwell stress.

A ball magnet (radius 5 mm, M = 1e6 A/m along z, about 1.26 T remanence)
hovers with its centre 10 mm above a soft iron block (60 x 60 x 20 mm,
chi = 100). The block's magnetisation in the magnet's field comes from
magnetization_solve; the magnet's own magnetisation is taken as rigid.

The force on the magnet is the Maxwell stress integrated over a closed
surface in air that holds the magnet and nothing else: the boundary of a
sphere of radius 7.5 mm around it (mesh_surface_faces, then
mesh_surface_face_properties, B = mu0 H at the face centroids,
mesh_surface_forces, summed). Two independent estimates are printed beside it:
the Kelvin force mu0 (M . grad) H_iron summed over the magnet's elements
(mesh_kelvin_force_density, H_iron interpolated from the nodes), which
must agree closely, and the image dipole of a half-space of the same
susceptibility, a closed form that the finite block only approximates.

    python examples/iron_block_force.py [--chi 100] [--mesh-size 0.006]

Writes iron_block_force.png: |B| on the plane y = 0 with field lines, the
magnet, the block and the stress surface.

chi = 100 keeps the relaxed iteration (weight 1.5 / (1 + chi)) to about 60
iterations, some 40 s on two cores with the default mesh of about 2700
elements in the block; a higher susceptibility pulls a little harder but
needs a smaller weight and proportionally more iterations. Needs gmsh and
matplotlib (pip install "corvane[examples]").
"""
import argparse
import time

import numpy as np

import _corvane
from meshes import ball, generate, locate

MU0 = 4e-7 * np.pi
MAGNET_M = 1e6          # A/m, along z
MAGNET_RADIUS = 0.005   # m
MAGNET_HEIGHT = 0.010   # m, of the magnet's centre above the block's top face
SURFACE_RADIUS = 0.0075
TOLERANCE = 0.05        # Maxwell stress against the Kelvin force


def fields(nodes, conn, m, targets):
    """H (A/m) at the targets of elements carrying the magnetisation m."""
    return _corvane.calculate_fields(nodes, conn, m, 1, 1, targets, True, 0, False, 0.5, 1, 16, 1024)


def meshes_of_the_setup(size):
    centre = np.array([0.0, 0.0, MAGNET_HEIGHT])
    magnet_nodes, magnet_conn = ball(MAGNET_RADIUS, size / 5)
    magnet_nodes = magnet_nodes + centre
    # The block, finer under the magnet.
    near = lambda x, y, z: max(size / 4, 0.35 * np.hypot(np.hypot(x, y), z - MAGNET_HEIGHT) - 0.002)
    iron_nodes, iron_conn, _ = generate(
        lambda occ: [occ.addBox(-0.03, -0.03, -0.02, 0.06, 0.06, 0.02)], size, size / 4, near)
    surface_nodes, surface_conn = ball(SURFACE_RADIUS, size / 6)
    return (magnet_nodes, magnet_conn), (iron_nodes, iron_conn), surface_nodes + centre, surface_conn


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--chi", type=float, default=100.0)
    parser.add_argument("--mesh-size", type=float, default=0.006, help="largest element edge in the block (m)")
    parser.add_argument("--verbose", action="store_true", help="print the solver's progress lines")
    parser.add_argument("--out", default="iron_block_force.png", help="picture of the field")
    args = parser.parse_args(argv)
    chi = args.chi

    (mag_nodes, mag_conn), (iron_nodes, iron_conn), surf_nodes, surf_conn = meshes_of_the_setup(args.mesh_size)
    mag_m = np.tile([0.0, 0.0, MAGNET_M], (len(mag_conn), 1))
    print(f"Magnet: {len(mag_conn)} tetrahedra; iron block (chi = {chi:g}): {len(iron_conn)} tetrahedra")

    start = time.perf_counter()
    iron_centroids = _corvane.mesh_centroids(iron_nodes, iron_conn)
    h_magnet = fields(mag_nodes, mag_conn, mag_m, iron_centroids)
    m_scale = np.abs(chi * h_magnet).max()
    iron_m, _ = _corvane.magnetization_solve(
        iron_nodes, iron_conn, iron_centroids, chi, h_magnet, True, 0,
        1e-4 * m_scale, 3000, 1.5 / (1.0 + chi), False, 0.5, 1, 16, 1024, args.verbose)
    print(f"Block magnetisation solved in {time.perf_counter() - start:.1f} s; "
          f"largest |M| {np.linalg.norm(iron_m, axis=1).max():.4g} A/m")

    # Maxwell stress over the closed surface around the magnet.
    faces = _corvane.mesh_surface_faces(surf_conn)
    areas, centroids, normals = _corvane.mesh_surface_face_properties(surf_nodes, faces)
    b = MU0 * (fields(mag_nodes, mag_conn, mag_m, centroids) + fields(iron_nodes, iron_conn, iron_m, centroids))
    maxwell = _corvane.mesh_surface_forces(areas, normals, b).sum(axis=0)

    # Kelvin force on the rigid magnet in the block's field (its own field exerts none).
    h_iron = fields(iron_nodes, iron_conn, iron_m, mag_nodes)
    density = _corvane.mesh_kelvin_force_density(mag_nodes, mag_conn, mag_m, h_iron)
    kelvin = MU0 * (_corvane.mesh_volumes(mag_nodes, mag_conn) @ density)

    # Image of a dipole m at height d over a half-space: a parallel dipole
    # k m at depth d, k = chi / (chi + 2); coaxial dipoles 2d apart attract
    # with 3 mu0 (k m) m / (2 pi (2d)^4).
    moment = MAGNET_M * 4.0 / 3.0 * np.pi * MAGNET_RADIUS**3
    image = -3 * MU0 * chi / (chi + 2) * moment**2 / (2 * np.pi * (2 * MAGNET_HEIGHT) ** 4)

    print(f"Maxwell stress over {len(faces)} faces around the magnet: "
          f"F = ({maxwell[0]:.4f}, {maxwell[1]:.4f}, {maxwell[2]:.4f}) N")
    print(f"Kelvin force on the magnet's elements:          "
          f"F = ({kelvin[0]:.4f}, {kelvin[1]:.4f}, {kelvin[2]:.4f}) N")
    print(f"Image dipole over a half-space (closed form):   Fz = {image:.4f} N")
    difference = np.linalg.norm(maxwell - kelvin) / np.linalg.norm(kelvin)
    print(f"Maxwell stress against the Kelvin force: relative difference {difference:.2e} "
          f"(tolerance {TOLERANCE})")
    print(f"Maxwell stress against the image dipole: Fz ratio {maxwell[2] / image:.3f}")

    draw(args.out, [(mag_nodes, mag_conn, mag_m), (iron_nodes, iron_conn, iron_m)], maxwell, chi)
    print(f"Wrote {args.out}")


def draw(path, bodies, force, chi):
    """|B| and field lines on the plane y = 0 around the magnet and the block's top."""
    import matplotlib.pyplot as plt
    from matplotlib.colors import LogNorm

    x = np.linspace(-0.025, 0.025, 150)
    z = np.linspace(-0.012, 0.022, 102)
    gx, gz = np.meshgrid(x, z, indexing="xy")
    points = np.column_stack([gx.ravel(), np.zeros(gx.size), gz.ravel()])
    h = sum(fields(nodes, conn, m, points) for nodes, conn, m in bodies)
    for nodes, conn, m in bodies:
        element = locate(nodes, conn, points)
        h[element >= 0] += m[element[element >= 0]]
    b = (MU0 * h).reshape(len(z), len(x), 3)
    size = np.linalg.norm(b, axis=2)

    mm = 1e3
    fig, ax = plt.subplots(figsize=(9, 5.4))
    image = ax.imshow(size, origin="lower", extent=[x[0] * mm, x[-1] * mm, z[0] * mm, z[-1] * mm],
                      norm=LogNorm(vmin=1e-3, vmax=np.percentile(size, 99.8)), cmap="magma")
    ax.streamplot(x * mm, z * mm, b[:, :, 0], b[:, :, 2], color="w", linewidth=0.5, density=1.4, arrowsize=0.6)
    ax.add_patch(plt.Circle((0, MAGNET_HEIGHT * mm), MAGNET_RADIUS * mm, fill=False, color="c", lw=1.5))
    ax.add_patch(plt.Circle((0, MAGNET_HEIGHT * mm), SURFACE_RADIUS * mm, fill=False, color="c", lw=1, ls="--"))
    ax.axhline(0.0, color="c", lw=1.5)
    label = dict(fontsize=9, va="top", bbox=dict(facecolor="black", alpha=0.6, edgecolor="none"))
    ax.text(-24, -1, f"iron block, chi = {chi:g}", color="c", **label)
    ax.text(-24, 21, f"Maxwell-stress force on the magnet: Fz = {force[2]:.3f} N", color="w", **label)
    ax.set(xlabel="x (mm)", ylabel="z (mm)", xlim=(x[0] * mm, x[-1] * mm), ylim=(z[0] * mm, z[-1] * mm),
           title="|B| on the plane y = 0: ball magnet above an iron block; dashed: stress surface")
    fig.colorbar(image, ax=ax, label="|B| (T)", shrink=0.85)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


if __name__ == "__main__":
    main()
