"""corvane.read_mesh: gmsh files with physical groups (MSH 4.1 and 2.2) and meshio meshes."""
import warnings

import numpy as np
import pytest

import corvane

gmsh = pytest.importorskip("gmsh")
meshio = pytest.importorskip("meshio")


def assembly_msh(path, version):
    """Two unit cubes in an air box, with physical groups "magnet" (one cube), "bodies"
    (both cubes), an unnamed air group numbered 7, a named surface and an unnamed curve group."""
    gmsh.initialize(interruptible=False)
    try:
        gmsh.option.setNumber("General.Terminal", 0)
        occ = gmsh.model.occ
        a, b = occ.addBox(0, 0, 0, 1, 1, 1), occ.addBox(2, 0, 0, 1, 1, 1)
        _, children = occ.fragment([(3, occ.addBox(-1, -1, -1, 5, 3, 3))], [(3, a), (3, b)])
        occ.synchronize()
        a, b = children[1][0][1], children[2][0][1]
        air = [t for _, t in children[0] if t not in (a, b)]
        gmsh.model.addPhysicalGroup(3, [a], name="magnet")
        gmsh.model.addPhysicalGroup(3, [a, b], name="bodies")
        gmsh.model.addPhysicalGroup(3, air, tag=7)
        outer = gmsh.model.getBoundary([(3, t) for t in air], oriented=False)
        gmsh.model.addPhysicalGroup(2, [t for _, t in outer][:3], name="outer")
        gmsh.model.addPhysicalGroup(1, [1, 2])
        gmsh.option.setNumber("Mesh.MeshSizeMax", 0.4)
        gmsh.option.setNumber("Mesh.MshFileVersion", version)
        gmsh.model.mesh.generate(3)
        gmsh.write(str(path))
    finally:
        gmsh.finalize()


@pytest.mark.parametrize("version", [4.1, 2.2])
def test_physical_groups_become_regions(tmp_path, capsys, version):
    assembly_msh(tmp_path / "assembly.msh", version)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        mesh = corvane.read_mesh(tmp_path / "assembly.msh")
    # meshio reads unnamed groups of an MSH 4 file one per volume: a warning says so.
    assert [str(w.message)[:38] for w in caught] == ["read_mesh: unnamed physical groups [7]"] * (version > 4)
    # Named groups by name, the unnamed one by number; an element in two
    # groups is in both regions, once (MSH 2.2 writes it twice).
    assert list(mesh.regions) == ["magnet", "bodies", 7]
    volumes = {name: mesh.volumes[elements].sum() for name, elements in mesh.regions.items()}
    np.testing.assert_allclose([volumes["magnet"], volumes["bodies"], volumes[7]], [1.0, 2.0, 43.0], rtol=1e-12)
    assert np.isin(mesh.regions["magnet"], mesh.regions["bodies"]).all()
    assert len(mesh.connectivity) == len(mesh.regions["bodies"]) + len(mesh.regions[7])
    assert np.array_equal(np.unique(mesh.connectivity), np.arange(len(mesh.nodes)))
    assert mesh.nodes.dtype == np.float64 and mesh.connectivity.dtype == np.uint32
    # The surface and curve groups' cells are dropped, with one line saying so.
    err = capsys.readouterr().err.splitlines()
    assert len(err) == 1 and "dropped" in err[0] and " line" in err[0] and " triangle" in err[0]


def test_msh2_without_groups_takes_the_volumes_not_one_region_0(tmp_path):
    # MSH 2 writes physical tag 0 for elements in no group: that is no region.
    gmsh.initialize(interruptible=False)
    try:
        gmsh.option.setNumber("General.Terminal", 0)
        occ = gmsh.model.occ
        occ.fragment([(3, occ.addBox(-1, -1, -1, 3, 3, 3))], [(3, occ.addBox(0, 0, 0, 1, 1, 1))])
        occ.synchronize()
        gmsh.option.setNumber("Mesh.MeshSizeMax", 0.5)
        gmsh.option.setNumber("Mesh.MshFileVersion", 2.2)
        gmsh.model.mesh.generate(3)
        gmsh.write(str(tmp_path / "plain.msh"))
    finally:
        gmsh.finalize()
    mesh = corvane.read_mesh(tmp_path / "plain.msh")
    volumes = sorted(mesh.volumes[elements].sum() for elements in mesh.regions.values())
    assert 0 not in mesh.regions and np.allclose(volumes, [1.0, 26.0])


def test_meshio_mesh_is_oriented_and_loses_unused_nodes(tmp_path):
    assembly_msh(tmp_path / "assembly.msh", 4.1)
    raw = meshio.read(tmp_path / "assembly.msh")
    reference = corvane.read_mesh(raw)
    # Flip every other tetrahedron and add a point no cell uses.
    cells = [meshio.CellBlock(block.type, block.data[:, [0, 2, 1, 3]] if block.type == "tetra" else block.data)
             if k % 2 else block for k, block in enumerate(raw.cells)]
    points = np.vstack([raw.points, [[9.0, 9.0, 9.0]]])
    mesh = corvane.read_mesh(meshio.Mesh(points, cells, cell_data=raw.cell_data, field_data=raw.field_data,
                                         cell_sets=raw.cell_sets))
    assert (corvane.signed_volumes(mesh.nodes, mesh.connectivity) > 0).all()
    assert len(mesh.nodes) == len(reference.nodes) and not (mesh.nodes == 9.0).all(axis=1).any()
    assert {k: len(v) for k, v in mesh.regions.items()} == {k: len(v) for k, v in reference.regions.items()}
    np.testing.assert_allclose(np.sort(mesh.volumes), np.sort(reference.volumes), rtol=1e-13)


def test_second_order_and_missing_tetrahedra_are_refused(tmp_path):
    gmsh.initialize(interruptible=False)
    try:
        gmsh.option.setNumber("General.Terminal", 0)
        gmsh.model.occ.addBox(0, 0, 0, 1, 1, 1)
        gmsh.model.occ.synchronize()
        gmsh.option.setNumber("Mesh.MeshSizeMax", 0.5)
        gmsh.model.mesh.generate(3)
        gmsh.model.mesh.setOrder(2)
        gmsh.write(str(tmp_path / "quadratic.msh"))
    finally:
        gmsh.finalize()
    with pytest.raises(ValueError, match=r"second-order tetrahedra \(tetra10\).*Mesh.ElementOrder = 1"):
        corvane.read_mesh(tmp_path / "quadratic.msh")
    triangles = meshio.Mesh(np.eye(3), [("triangle", np.array([[0, 1, 2]]))])
    with pytest.raises(ValueError, match=r"the mesh holds no tetrahedra \(1 triangle\)"):
        corvane.read_mesh(triangles)
    with pytest.raises(TypeError, match="read_mesh takes a file name or a meshio.Mesh, got ndarray"):
        corvane.read_mesh(np.eye(3))
