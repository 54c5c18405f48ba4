"""Files of the model layer: Solution.write keeps an earlier file whole when the disk fills (a
child process under a file-size limit), refuses formats that cannot hold the solution, and
read_mesh names the file and the fault of an empty, cut short or inconsistent mesh."""
import json
import os
import subprocess
import sys

import numpy as np
import pytest

import corvane
from conftest import box_mesh

meshio = pytest.importorskip("meshio")

FORMATS = [".vtu", ".vtk", ".msh", ".xdmf"]

# Writes a solution, then, under RLIMIT_FSIZE at half that file's size, the
# solution of another model over it; prints what was raised and what the
# folder holds.
FULL_DISK_CHILD = """
import json, os, resource, sys
import numpy as np
import corvane
from conftest import box_mesh

folder, ending = sys.argv[1], sys.argv[2]
nodes, connectivity = box_mesh((4, 4, 4), (1.0, 1.0, 1.0))
model = corvane.Model(corvane.Mesh(nodes, connectivity))
model.add_magnet("all", remanence=(0.0, 0.0, 1.0))
path = os.path.join(folder, "solution" + ending)
model.solve().write(path)
size = os.path.getsize(path)
model = corvane.Model(corvane.Mesh(nodes, connectivity))
model.add_magnet("all", remanence=(1.0, 0.0, 0.0))
resource.setrlimit(resource.RLIMIT_FSIZE, (size // 2, resource.RLIM_INFINITY))
try:
    model.solve().write(path)
    raised = None
except OSError as error:
    raised = f"{type(error).__name__}: {error}"
print(json.dumps({"raised": raised, "files": sorted(os.listdir(folder))}))
"""


@pytest.mark.parametrize("ending", FORMATS)
def test_a_failed_write_leaves_the_earlier_file_as_it_was(tmp_path, ending):
    if ending == ".xdmf":
        pytest.importorskip("h5py")
    tests = os.path.dirname(os.path.abspath(__file__))
    out = subprocess.run([sys.executable, "-c", FULL_DISK_CHILD, str(tmp_path), ending], cwd=tests,
                         capture_output=True, text=True, timeout=300, env=dict(os.environ, OMP_NUM_THREADS="1"))
    assert out.returncode == 0, out.stderr[-3000:]
    report = json.loads(out.stdout.splitlines()[-1])
    assert report["raised"], "the write over the earlier file did not fail"
    # Nothing beside the file: no fragment, no staging folder, no .h5.
    assert report["files"] == ["solution" + ending]
    # The earlier solution, whole: magnetised along z.
    nodes, connectivity = box_mesh((4, 4, 4), (1.0, 1.0, 1.0))
    back = meshio.read(tmp_path / ("solution" + ending))
    M = np.concatenate(back.cell_data["M"])
    np.testing.assert_allclose(M, np.tile([0.0, 0.0, 1.0 / corvane.materials.MU0], (len(connectivity), 1)))
    assert len(back.points) == len(nodes)


def small_solution():
    nodes, connectivity = box_mesh((2, 1, 1), (2.0, 1.0, 1.0))
    model = corvane.Model(corvane.Mesh(nodes, connectivity))
    model.add_soft("all", chi=10.0)
    model.applied_field = (0.0, 0.0, 1e3)
    return model.solve()


def test_written_files_hold_the_solution_and_unsuitable_formats_are_refused(tmp_path):
    sol = small_solution()
    for ending in FORMATS[:3]:
        sol.write(tmp_path / ("s" + ending))
        back = meshio.read(tmp_path / ("s" + ending))
        np.testing.assert_array_equal(np.concatenate(back.cell_data["H"]), sol.H)
        np.testing.assert_array_equal(back.cells_dict["tetra"], sol.mesh.connectivity)
    # .msh is gmsh's format (meshio's first guess for the ending is ANSYS).
    assert (tmp_path / "s.msh").read_bytes().startswith(b"$MeshFormat")
    for name, what in (("s.stl", r"the stl format \(.stl\) cannot hold tetrahedra"), ("s.ply", "the ply format"),
                       ("s.off", "the off format"), ("s.h5m", "the h5m format"), ("s.mesh", "the medit format"),
                       ("s", r"\(none\) is not a mesh format"), ("s.xyz", ".xyz is not a mesh format")):
        with pytest.raises(ValueError, match=rf"s.*: .*{what}.*; write one of .vtu, .vtk, .msh"):
            sol.write(tmp_path / name)
    assert sorted(os.listdir(tmp_path)) == ["s.msh", "s.vtk", "s.vtu"]
    # Through a link to its target, keeping the replaced file's permissions; a missing directory named.
    os.chmod(tmp_path / "s.vtu", 0o640)
    os.symlink("s.vtu", tmp_path / "link.vtu")
    sol.write(tmp_path / "link.vtu")
    assert os.path.islink(tmp_path / "link.vtu") and os.stat(tmp_path / "s.vtu").st_mode & 0o777 == 0o640
    with pytest.raises(FileNotFoundError, match="no directory to write the file in: .*nowhere"):
        sol.write(tmp_path / "nowhere" / "s.vtu")


def test_faulty_mesh_files_are_refused_naming_the_file_and_the_fault(tmp_path):
    sol = small_solution()
    sol.write(tmp_path / "good.msh")
    data = (tmp_path / "good.msh").read_bytes()
    cases = {"empty.msh": (b"", "the file is empty"),
             "cut.msh": (data[:data.index(b"$Elements") + 30], "cut short or malformed"),
             "half.msh": (data[:len(data) // 2], "cut short or malformed"),
             "noise.vtu": (b"<VTKFile>\n<Unstructured", "cut short or malformed")}
    for name, (content, fault) in cases.items():
        (tmp_path / name).write_bytes(content)
        with pytest.raises(ValueError, match=rf"{tmp_path / name}: .*{fault}"):
            corvane.read_mesh(tmp_path / name)
    with pytest.raises(FileNotFoundError):
        corvane.read_mesh(tmp_path / "missing.msh")
    # A node index out of range in a meshio.Mesh: -1 is not the last node.
    points, cells = np.eye(4)[:, :3] * 2.0 + 0.1, np.array([[0, 1, 2, 3], [0, 1, 2, -1]])
    for bad, message in ((cells, "refers to node -1"),
                         (cells + 1, r"refers to node 4, and the 4 nodes are numbered from 0 to 3")):
        with pytest.raises(ValueError, match=rf"the mesh: a tetrahedron {message}"):
            corvane.read_mesh(meshio.Mesh(points, [("tetra", bad)]))
