"""Scale invariance: a soft ball (chi = 100, radius s) in a uniform field,
solved at sizes from 1e-8 m to 1e3 m, directly and through the FieldOperator.
Prints each mean magnetisation's relative deviation from the 1 m solve.

    .venv/bin/python bench/bench_scale.py [mesh size relative to the radius, default 0.25]
"""
import pathlib
import sys
import time

import numpy as np

import corvane

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from bench_solver import gmsh_ball  # noqa: E402


def main(cpp_build_dir=None, size=0.25):
    nodes, conn = gmsh_ball(size)
    volumes = np.abs(corvane.signed_volumes(nodes, conn))
    print(f"soft ball, chi = 100, H0 = 1e3 A/m along z, {len(conn)} elements, rtol = 1e-10")
    scales = [10.0**k for k in range(-8, 4)]
    for label, options in (("direct", {}), ("FieldOperator, tolerance 1e-4", {"tolerance": 1e-4})):
        started = time.perf_counter()

        def mean_mz(s):
            m, _ = corvane.solve_magnetization(nodes * s, conn, 100.0, (0.0, 0.0, 1e3), rtol=1e-10, **options)
            return (volumes @ m / volumes.sum())[2]

        reference = mean_mz(1.0)
        deviations = {s: abs(mean_mz(s) / reference - 1.0) for s in scales}
        print(f"{label}: mean Mz at 1 m {reference:.6f} A/m; largest relative deviation "
              f"{max(deviations.values()):.1e} ({time.perf_counter() - started:.0f} s)")
        print("  " + "  ".join(f"{s:.0e}: {d:.1e}" for s, d in deviations.items()))


if __name__ == "__main__":
    main(None, float(sys.argv[1]) if len(sys.argv) > 1 else 0.25)
