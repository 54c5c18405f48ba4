"""Multipole far-field kernels: the C++ throughput program (dispatched
against the one-lane path, long and short target lists, same run)."""
import subprocess


def main(cpp_build_dir):
    program = cpp_build_dir / "multipole_bench"
    print("== multipole kernels, C++ ==")
    if program.exists():
        print(subprocess.run([str(program)], check=True, capture_output=True, text=True).stdout, end="")
    else:
        print(f"({program} not built; configure with -DCORVANE_BUILD_BENCH=ON)")
