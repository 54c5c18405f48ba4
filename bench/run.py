"""Runs every benchmark module bench/bench_*.py in name order.

Each module defines main(cpp_build_dir) and prints its own table. Figures
are ratios measured in the same run, as the machine may be shared.
"""
import importlib.util
import pathlib
import sys


def main() -> None:
    cpp_build_dir = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "build/cpp").resolve()
    only = sys.argv[2:]
    here = pathlib.Path(__file__).resolve().parent
    for path in sorted(here.glob("bench_*.py")):
        if only and path.stem not in only:
            continue
        found = importlib.util.spec_from_file_location(path.stem, path)
        module = importlib.util.module_from_spec(found)
        found.loader.exec_module(module)
        module.main(cpp_build_dir)
        print(flush=True)


if __name__ == "__main__":
    main()
