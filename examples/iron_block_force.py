"""The force on a permanent magnet next to an iron block.

A ball magnet (radius 5 mm, Br = 1.26 T along z, M = 1e6 A/m) hovers with
its centre 10 mm above a soft iron block (60 x 60 x 20 mm, chi = 100), in a
box of air. One model holds the three regions; its solve gives the block's
magnetisation in the magnet's field.

The force on the magnet comes from the Maxwell stress over a closed surface
in the air around it (the magnet's elements grown by the air elements that
touch it). Two independent estimates are printed beside it: the Kelvin force
mu0 (M . grad) H_block summed over the magnet's elements, which must agree
closely, and the image dipole of a half-space of the same susceptibility, a
closed form that the finite block only approximates.

    python examples/iron_block_force.py [--chi 100] [--mesh-size 0.006]

Writes iron_block_force.png: |B| on the plane y = 0 with field lines and the
outlines of the magnet and the block. The default mesh, about 2700 elements
in the block, solves in some 35 field evaluations, about 6 s on two
cores. Needs gmsh, matplotlib and meshio (pip install "corvane[examples]").
"""
import argparse
import time

import numpy as np

import corvane
from meshes import write_model

MU0 = 4e-7 * np.pi
MAGNET_M = 1e6          # A/m, along z
MAGNET_RADIUS = 0.005   # m
MAGNET_HEIGHT = 0.010   # m, of the magnet's centre above the block's top face
TOLERANCE = 0.05        # Maxwell stress against the Kelvin force


def model_file(path, size):
    def solids(occ):
        return {"air": occ.addBox(-0.05, -0.05, -0.045, 0.1, 0.1, 0.08),
                "block": occ.addBox(-0.03, -0.03, -0.02, 0.06, 0.06, 0.02),
                "magnet": occ.addSphere(0.0, 0.0, MAGNET_HEIGHT, MAGNET_RADIUS)}

    # Finer towards the magnet: its own elements about size / 5.
    def near(x, y, z):
        return max(size / 5, 0.35 * np.hypot(np.hypot(x, y), z - MAGNET_HEIGHT) - 0.002)

    return write_model(path, solids, 2 * size, size / 5, near)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--chi", type=float, default=100.0)
    parser.add_argument("--mesh-size", type=float, default=0.006, help="largest element edge in the block (m)")
    parser.add_argument("--progress", action="store_true", help="show the solve's progress bar")
    parser.add_argument("--out", default="iron_block_force.png", help="picture of the field")
    args = parser.parse_args(argv)
    chi = args.chi

    mesh = corvane.read_mesh(model_file("iron_block_force.msh", args.mesh_size))
    model = corvane.Model(mesh)
    model.add_magnet("magnet", remanence=(0.0, 0.0, MU0 * MAGNET_M))
    model.add_soft("block", chi=chi)
    print(f"Magnet: {len(mesh.regions['magnet'])} tetrahedra; iron block (chi = {chi:g}): "
          f"{len(mesh.regions['block'])} tetrahedra; air: {len(mesh.regions['air'])} tetrahedra")

    start = time.perf_counter()
    sol = model.solve(progress=args.progress)
    print(f"Block magnetisation solved in {time.perf_counter() - start:.1f} s; "
          f"largest |M| {np.linalg.norm(sol.M[mesh.regions['block']], axis=1).max():.4g} A/m")

    maxwell = sol.force("magnet", method="maxwell")
    kelvin = sol.force("magnet", method="kelvin")
    # Image of a dipole m at height d over a half-space: a parallel dipole
    # k m at depth d, k = chi / (chi + 2); coaxial dipoles 2d apart attract
    # with 3 mu0 (k m) m / (2 pi (2d)^4).
    moment = MAGNET_M * 4.0 / 3.0 * np.pi * MAGNET_RADIUS**3
    image = -3 * MU0 * chi / (chi + 2) * moment**2 / (2 * np.pi * (2 * MAGNET_HEIGHT) ** 4)

    print(f"Maxwell stress over a surface in the air around the magnet: "
          f"F = ({maxwell[0]:.4f}, {maxwell[1]:.4f}, {maxwell[2]:.4f}) N")
    print(f"Kelvin force on the magnet's elements:          "
          f"F = ({kelvin[0]:.4f}, {kelvin[1]:.4f}, {kelvin[2]:.4f}) N")
    print(f"Image dipole over a half-space (closed form):   Fz = {image:.4f} N")
    difference = np.linalg.norm(maxwell - kelvin) / np.linalg.norm(kelvin)
    print(f"Maxwell stress against the Kelvin force: relative difference {difference:.2e} "
          f"(tolerance {TOLERANCE})")
    print(f"Maxwell stress against the image dipole: Fz ratio {maxwell[2] / image:.3f}")

    draw(args.out, sol, maxwell, chi)
    print(f"Wrote {args.out}")


def draw(path, sol, force, chi):
    import matplotlib.pyplot as plt

    fig = sol.plot(plane="y", quantity="|B|", extent=(-0.025, 0.025, -0.012, 0.022), resolution=150, log=True)
    ax = fig.axes[0]
    ax.set_title(f"|B| on the plane y = 0: ball magnet above an iron block (chi = {chi:g})\n"
                 f"Maxwell-stress force on the magnet: Fz = {force[2]:.3f} N", fontsize=10)
    fig.savefig(path, dpi=110)
    plt.close(fig)


if __name__ == "__main__":
    main()
