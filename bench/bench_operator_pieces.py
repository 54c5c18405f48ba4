"""corvane.FieldOperator over many targets in one piece and in pieces within a memory_limit.

Two million random targets in a cube around one element and around a gmsh
ball of about 1e4 elements, tolerance 1e-4: build and application seconds,
the buffers of one application (info["apply_bytes"]), the peak resident
memory of a process that builds and applies once, and the RMS error against
the direct sum of the exact kernels on every thousandth target, with the
ratios pieces / one piece. Each configuration runs in a process of its own.
"""
import json
import pathlib
import subprocess
import sys

HERE = pathlib.Path(__file__).resolve().parent
TARGETS = 2_000_000

CHILD = """
import json, sys, time
import numpy as np
import _corvane
import corvane
from corvane.magnetization import direct_settings
sys.path.insert(0, sys.argv[1])
import bench_octree
source, fraction = sys.argv[2], float(sys.argv[3])
if source == "one element":
    nodes, conn = np.eye(4, 3), np.array([[0, 1, 2, 3]])
else:
    nodes, conn = bench_octree.ball_mesh(10_000)
targets = np.random.default_rng(1).uniform(-2.0, 2.0, (int(sys.argv[4]), 3))
vectors = np.random.default_rng(2).normal(size=(len(conn), 3))
limit = None if fraction == 1.0 else int(float(sys.argv[5]) * fraction)
t0 = time.perf_counter()
op = corvane.FieldOperator(nodes, conn, targets, tolerance=1e-4, memory_limit=limit)
build = time.perf_counter() - t0
t0 = time.perf_counter()
h = op(vectors)
apply = time.perf_counter() - t0
some = np.ascontiguousarray(targets[::1000])
direct = _corvane.calculate_fields(nodes, np.asarray(conn, dtype=np.uint32), vectors, 1, 1, some,
                                   **direct_settings(0))
error = float(np.sqrt(np.mean((h[::1000] - direct) ** 2) / np.mean(direct ** 2)))
with open("/proc/self/status") as f:
    peak = next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmHWM:"))
print(json.dumps(dict(pieces=op.info["pieces"], build=build, apply=apply, apply_bytes=op.info["apply_bytes"],
                      peak=peak, error=error)))
"""


def run(source, fraction, apply_bytes):
    result = subprocess.run([sys.executable, "-c", CHILD, str(HERE), source, str(fraction), str(TARGETS),
                             str(apply_bytes)], capture_output=True, text=True, check=True)
    return json.loads(result.stdout.splitlines()[-1])


def main(cpp_build_dir=None):
    print(f"FieldOperator, {TARGETS:,} targets, tolerance 1e-4: one piece, then pieces within a quarter of "
          "its application buffers")
    print("| sources | pieces | build (s) | apply (s) | apply buffers (MiB) | peak RSS (MiB) | RMS error | "
          "build, apply, peak ratio |")
    print("|---|---|---|---|---|---|---|---|")
    for source in ("one element", "ball of 1e4 elements"):
        whole = run(source, 1.0, 0)
        split = run(source, 0.25, whole["apply_bytes"])
        for r in (whole, split):
            ratio = "" if r is whole else (f"{r['build'] / whole['build']:.2f}, {r['apply'] / whole['apply']:.2f}, "
                                           f"{r['peak'] / whole['peak']:.2f}")
            print(f"| {source} | {r['pieces']} | {r['build']:.1f} | {r['apply']:.1f} | "
                  f"{r['apply_bytes'] / 2**20:,.0f} | {r['peak'] / 2**20:,.0f} | {r['error']:.1e} | {ratio} |")


if __name__ == "__main__":
    main()
