"""From a model file to answers: a magnet above a steel plate with a coil around it.

assembly.geo describes the parts with gmsh physical groups "magnet", "plate",
"coil" and "air". This script meshes it (as `gmsh assembly.geo -3` would),
gives the regions their materials, solves, and reports the force and torque
on the magnet, then writes assembly.vtu for ParaView and draws assembly.png.

    python examples/assembly.py [--current-density 5e6] [--size-factor 1] [--progress]

With gmsh 4.15 the default mesh has 11,049 elements, 2,337 of them magnetic;
the solve takes about 20 field evaluations, some 3 s on two cores. Needs gmsh, meshio and
matplotlib (pip install "corvane[examples]").
"""
import argparse
import pathlib
import time

import numpy as np

import corvane

HERE = pathlib.Path(__file__).resolve().parent
MAGNET_CENTRE = (0.0, 0.0, 0.0075)  # m


def mesh_model_file(geo, msh, size_factor):
    """Mesh a .geo file with gmsh's Python API and write the .msh file."""
    import gmsh

    gmsh.initialize(interruptible=False)
    try:
        gmsh.option.setNumber("General.Terminal", 0)
        gmsh.open(str(geo))
        gmsh.option.setNumber("Mesh.MeshSizeFactor", size_factor)
        gmsh.model.mesh.generate(3)
        gmsh.write(str(msh))
    finally:
        gmsh.finalize()
    return msh


def around_z(magnitude):
    """A current density of the given magnitude (A/m²) circulating about the z axis."""
    def current_density(centroids):
        x, y = centroids[:, 0], centroids[:, 1]
        return magnitude * np.column_stack([-y, x, np.zeros_like(x)]) / np.hypot(x, y)[:, None]
    return current_density


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--current-density", type=float, default=5e6, help="in the coil, A/m²")
    parser.add_argument("--size-factor", type=float, default=1.0, help="scales every element size")
    parser.add_argument("--tolerance", type=float, help="use a FieldOperator of this relative error")
    parser.add_argument("--progress", action="store_true", help="progress bars for the solve and evaluations")
    parser.add_argument("--out", default="assembly", help="name of the .msh, .vtu and .png files")
    args = parser.parse_args(argv)

    mesh = corvane.read_mesh(mesh_model_file(HERE / "assembly.geo", f"{args.out}.msh", args.size_factor))
    print(mesh)
    model = corvane.Model(mesh)
    model.add_magnet("magnet", remanence=(0.0, 0.0, 1.2), recoil_susceptibility=0.05)   # NdFeB, Br in T
    model.add_soft("plate", chi=1000.0)                                                  # mild steel
    model.add_coil("coil", current_density=around_z(args.current_density))               # A/m²
    print(model)

    start = time.perf_counter()
    sol = model.solve(rtol=1e-6, tolerance=args.tolerance, progress=args.progress)
    print(f"Solved in {time.perf_counter() - start:.1f} s")

    force = sol.force("magnet")
    torque = sol.torque("magnet", about=MAGNET_CENTRE)
    method = sol.force_method("magnet")
    print(f"Force on the magnet ({method}): ({force[0]:.4f}, {force[1]:.4f}, {force[2]:.4f}) N")
    print(f"Torque about its centre: ({torque[0]:.2e}, {torque[1]:.2e}, {torque[2]:.2e}) N m")
    if method == "maxwell":
        kelvin = sol.force("magnet", method="kelvin")
        print(f"Kelvin force density instead: Fz = {kelvin[2]:.4f} N "
              f"(relative difference {np.linalg.norm(kelvin - force) / np.linalg.norm(force):.1e})")
    # Each force leaves out the part's own field: together they balance.
    fz = [sol.force(part)[2] for part in ("magnet", "coil", "plate")]
    print(f"Fz on the magnet, the coil and the plate: {fz[0]:.4f}, {fz[1]:.4f}, {fz[2]:.4f} N "
          f"(sum {sum(fz):.1e} N)")
    print(f"B at the magnet's centre: {np.array2string(sol.B(MAGNET_CENTRE), precision=4)} T")

    vtu, png = pathlib.Path(f"{args.out}.vtu").resolve(), pathlib.Path(f"{args.out}.png").resolve()
    sol.write(vtu)
    fig = sol.plot(plane="y", quantity="|B|", log=True, progress=args.progress)
    fig.savefig(png, dpi=110)
    print(f"Picture: {png}")
    regions = ", ".join(f"{k} {name}" for k, name in enumerate(mesh.regions))
    print(f"ParaView file: {vtu} (colour by B; Threshold on region: {regions})")


if __name__ == "__main__":
    main()
