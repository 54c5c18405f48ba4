"""A sphere of saturating steel in a uniform field, from the linear range to full saturation.

A ball of radius 1 m made of a low-carbon steel given by its B-H curve (a
datasheet-like table, `corvane.Model.add_soft(bh_curve=...)`) sits in a
uniform applied field H0 along z, for H0 from 1e3 to 1e7 A/m. It is
magnetised uniformly: H_in = H0 - M/3 inside, with M = M(H_in) on the curve,
one scalar equation (solved here with brentq). The volume-mean M of each
solve is printed beside it. A linear material of the curve's initial
susceptibility would give M = 3 chi H0 / (3 + chi), about 3 H0, without bound.

Writes saturating_sphere.png: |B| on the plane y = 0 with field lines at the
field nearest 1e6 A/m (the steel saturated, B about 2.7 T inside), and the
mean M against H0: the solves, the closed form and the linear law.

    python examples/saturating_sphere.py [--mesh-size 0.2] [--fields 9]

The default mesh has 2,694 elements; each solve is a Newton iteration of
some 30 to 130 field evaluations, 5 to 25 s on two cores. Needs gmsh,
matplotlib and meshio (pip install "corvane[examples]").
"""
import argparse
import time

import numpy as np
from scipy.optimize import brentq

import corvane
from corvane.materials import BHCurve
from meshes import ball

MU0 = 4e-7 * np.pi
RADIUS = 1.0  # m
# Low-carbon steel, illustrative: H in A/m, B in T.
STEEL_H = [0, 100, 200, 300, 400, 500, 600, 800, 1e3, 1.5e3, 2e3, 3e3, 5e3, 1e4, 2e4, 5e4, 1e5, 2e5]
STEEL_B = [0, 0.3, 0.8, 1.05, 1.2, 1.3, 1.36, 1.44, 1.5, 1.58, 1.63, 1.7, 1.78, 1.88, 1.98, 2.1, 2.22, 2.38]
TOLERANCE = 0.01


def closed_form(curve, h0):
    """M (A/m) inside a sphere of the curve's material in a uniform field h0."""
    return float(curve.magnetization(brentq(lambda h: h + curve.magnetization(h) / 3.0 - h0, 0.0, h0)))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--mesh-size", type=float, default=0.2, help="largest element edge (m)")
    parser.add_argument("--fields", type=int, default=9, help="applied fields from 1e3 to 1e7 A/m")
    parser.add_argument("--grid", type=int, default=120, help="points along a side of the section")
    parser.add_argument("--out", default="saturating_sphere", help="name of the .msh and .png files")
    args = parser.parse_args(argv)

    mesh = corvane.read_mesh(ball(f"{args.out}.msh", RADIUS, args.mesh_size))
    curve = BHCurve(STEEL_H, STEEL_B)
    print(f"Steel sphere of radius {RADIUS} m: {mesh}")
    print(f"B-H curve: {curve}")
    print(f"{'H0 (A/m)':>10} {'mean Mz (A/m)':>14} {'closed form':>12} {'difference':>11} {'B inside (T)':>13} {'solve (s)':>10}")
    volumes = mesh.volumes
    fields = np.geomspace(1e3, 1e7, args.fields)
    section = fields[np.argmin(np.abs(np.log(fields / 1e6)))]
    worst, results = 0.0, []
    for h0 in fields:
        model = corvane.Model(mesh)
        model.add_soft("ball", bh_curve=(STEEL_H, STEEL_B))
        model.applied_field = (0.0, 0.0, h0)
        start = time.perf_counter()
        sol = model.solve(rtol=1e-6)
        seconds = time.perf_counter() - start
        mean_m = volumes @ sol.M / volumes.sum()
        exact = closed_form(curve, h0)
        difference = np.linalg.norm(mean_m - [0.0, 0.0, exact]) / exact
        worst = max(worst, difference)
        b_inside = MU0 * (h0 - exact / 3.0 + exact)
        print(f"{h0:>10.3g} {mean_m[2]:>14.6g} {exact:>12.6g} {difference:>11.1e} {b_inside:>13.3f} {seconds:>10.1f}")
        results.append(mean_m[2])
        if h0 == section:
            shown = sol
    print(f"Mean M against the closed form: relative difference {worst:.2e} (tolerance {TOLERANCE})")
    draw(f"{args.out}.png", shown, section, curve, fields, np.array(results), args.grid)
    print(f"Wrote {args.out}.png")


def draw(path, sol, section, curve, fields, computed, grid):
    import matplotlib.pyplot as plt

    fig, (left, right) = plt.subplots(1, 2, figsize=(13, 5.6), gridspec_kw={"width_ratios": [1.2, 1]})
    sol.plot(plane="y", quantity="|B|", extent=(-2.5 * RADIUS, 2.5 * RADIUS) * 2, resolution=grid, ax=left)
    left.set_title(f"|B| (T) at H0 = {section:.3g} A/m along z")
    dense = np.geomspace(fields[0], fields[-1], 200)
    chi = curve.initial_susceptibility
    right.loglog(dense, [closed_form(curve, h0) for h0 in dense], "k-", lw=1, label="closed form, M = M(H0 - M/3)")
    right.loglog(fields, computed, "o", label="mean M of the solve")
    right.loglog(dense, 3 * chi / (3 + chi) * dense, "k:", lw=1, label=f"linear, chi = {chi:.0f}")
    right.axhline(curve.saturation, color="grey", lw=0.8, ls="--", label="saturation of the curve")
    right.set(xlabel="applied field H0 (A/m)", ylabel="M (A/m)", ylim=(fields[0], 10 * curve.saturation),
              title="Magnetisation of the sphere")
    right.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=90)
    plt.close(fig)


if __name__ == "__main__":
    main()
