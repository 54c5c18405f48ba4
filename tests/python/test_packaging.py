"""The shipped wheel and the type stubs: the wheel that `make wheel` repairs
into dist/ installs into a fresh virtual environment and loads Highway from
inside itself; the stubs match the built module."""
import os
import pathlib
import re
import shutil
import subprocess
import sys
import zipfile

import pytest

import _corvane

ROOT = pathlib.Path(__file__).resolve().parents[2]
BIN = pathlib.Path(sys.executable).parent
pytest.importorskip("auditwheel", reason="packaging tools are installed in the main .venv only")


def run(*command, **kwargs):
    return subprocess.run([str(c) for c in command], capture_output=True, text=True, **kwargs)


@pytest.fixture(scope="module")
def wheel():
    wheels = sorted((ROOT / "dist").glob("corvane-*.whl"))
    if len(wheels) != 1:
        pytest.fail(f"expected one repaired wheel in dist/ (run `make wheel`), found {wheels}")
    return wheels[0]


@pytest.fixture(scope="module")
def fresh_venv(wheel, tmp_path_factory):
    """A new virtual environment with the wheel and its dependencies installed."""
    venv = tmp_path_factory.mktemp("fresh") / "venv"
    subprocess.run([sys.executable, "-m", "venv", str(venv)], check=True)
    subprocess.run([venv / "bin" / "pip", "install", "-q", wheel], check=True)
    return venv


def test_wheel_is_abi3_manylinux_and_bundles_highway(wheel):
    assert re.fullmatch(r"corvane-[\w.]+-cp310-abi3-manylinux_\d+_\d+_x86_64\.whl", wheel.name)
    names = zipfile.ZipFile(wheel).namelist()
    assert any(re.fullmatch(r"corvane\.libs/libhwy-[0-9a-f]+\.so[.\d]*", n) for n in names), names
    assert {"_corvane.pyi", "_corvane-stubs/__init__.pyi"} <= set(names)


def test_auditwheel_show_accepts_the_wheel(wheel):
    shown = run(BIN / "auditwheel", "show", wheel)
    assert shown.returncode == 0, shown.stderr
    tag = re.search(r"(manylinux_\d+_\d+_x86_64)\.whl$", wheel.name).group(1)
    assert f'consistent with the following platform tag: "{tag}"' in " ".join(shown.stdout.split())


def test_installed_module_resolves_highway_inside_the_wheel(fresh_venv):
    probe = (
        "import _corvane, numpy as np\n"
        "print(_corvane.__file__)\n"
        "print(_corvane.atan2(np.array([3.0]), np.array([4.0]))[0])\n"
        "print(*sorted({l.split()[-1] for l in open('/proc/self/maps') if 'libhwy' in l}), sep='\\n')\n"
    )
    # Nothing from outside the fresh environment: a checked build puts its own
    # module directory on PYTHONPATH.
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    out = run(fresh_venv / "bin" / "python", "-c", probe, cwd=fresh_venv, env=env, check=True).stdout.split("\n")
    module, angle, loaded = pathlib.Path(out[0]), float(out[1]), [p for p in out[2:] if p]
    site = module.parent
    assert site.is_relative_to(fresh_venv) and angle == 0.6435026883946038
    # What the dynamic loader would pick, and what the running process mapped.
    ldd = dict(re.findall(r"^\s*(libhwy\S*) => (\S+)", run("ldd", module, check=True).stdout, re.M))
    libs = (site / "corvane.libs").resolve()
    assert len(ldd) == 1 and all(pathlib.Path(p).resolve().parent == libs for p in ldd.values())
    assert len(loaded) == 1 and pathlib.Path(loaded[0]).resolve().parent == libs


def test_stubtest_accepts_the_installed_stubs(tmp_path):
    result = run(sys.executable, "-m", "mypy.stubtest", "_corvane", cwd=tmp_path)
    assert result.returncode == 0 and "Success" in result.stdout, result.stdout + result.stderr


def test_mypy_reads_the_installed_stubs(tmp_path):
    # Stubtest passes vacuously when mypy finds no stubs, so make sure it finds them.
    (tmp_path / "use.py").write_text(
        "import numpy as np\nimport _corvane\n"
        "a, c, n = _corvane.mesh_surface_face_properties(np.zeros((3, 3)), np.zeros((1, 3), np.uint32))\n"
        "reveal_type(a)\n"
        "_corvane.mesh_volumes(np.zeros((4, 3)))\n")
    out = run(sys.executable, "-m", "mypy", "--no-incremental", "use.py", cwd=tmp_path).stdout
    assert 'Revealed type is "numpy.ndarray[' in out and "float64" in out, out
    assert 'Missing positional argument "connectivity"' in out, out


def test_source_build_without_highway_names_the_package(tmp_path):
    cmake = shutil.which("cmake", path=str(BIN)) or shutil.which("cmake")
    result = run(cmake, "-S", ROOT, "-B", tmp_path, "-DCORVANE_BUILD_EXTENSION=OFF",
                 "-DCMAKE_DISABLE_FIND_PACKAGE_hwy=TRUE")
    assert result.returncode != 0
    assert "  Google Highway not found: install the Debian package libhwy-dev\n" in result.stderr
