"""corvane.Model on gmsh model files: spheres against closed forms, forces against magpylib-force
and Newton's third law, the written file, and bad input refused before any work."""
import numpy as np
import pytest

import _corvane
import corvane
from corvane import _field_operator
from conftest import box_mesh
from gmsh_models import azimuthal, in_air_box, sphere, write_msh

MU0 = 4e-7 * np.pi


@pytest.fixture(scope="module")
def ball(tmp_path_factory):
    path = tmp_path_factory.mktemp("ball") / "ball.msh"
    write_msh(path, sphere(1.0, 0.3))
    return corvane.read_mesh(path)


def mean(values, mesh, elements=slice(None)):
    volumes = mesh.volumes[elements]
    return volumes @ values[elements] / volumes.sum()


def relative(a, b):
    return np.linalg.norm(np.subtract(a, b)) / np.linalg.norm(b)


# --- spheres against closed forms ----------------------------------------------------------------

@pytest.mark.parametrize("chi_r", [0.0, 0.5])
def test_magnet_sphere_with_recoil(ball, chi_r):
    # Alone, a uniformly magnetised sphere has H = -M/3 inside:
    # M = Mr + χr H gives M = 3 Mr / (3 + χr).
    br = np.array([0.3, -0.2, 1.2])
    model = corvane.Model(ball)
    model.add_magnet("sphere", remanence=br, recoil_susceptibility=chi_r)
    sol = model.solve()
    m = 3 * br / MU0 / (3 + chi_r)
    assert relative(mean(sol.M, ball), m) < 1e-3
    # Outside, the field of a dipole of moment M V.
    moment, r = m * ball.volumes.sum(), np.array([[0.4, -1.1, 2.0], [0.0, 0.0, -3.0]])
    d = np.linalg.norm(r, axis=1)[:, None]
    dipole = MU0 * (3 * r * (r @ moment)[:, None] / d**5 - moment / d**3) / (4 * np.pi)
    assert relative(sol.B(r), dipole) < 3e-3


@pytest.mark.parametrize("tolerance", [None, 1e-4])
def test_soft_sphere_in_an_applied_field(ball, tolerance):
    h0 = np.array([300.0, -400.0, 1200.0])
    model = corvane.Model(ball)
    model.add_soft("sphere", chi=100.0)
    model.applied_field = h0
    sol = model.solve(tolerance=tolerance)
    m = 300.0 / 103.0 * h0
    assert relative(mean(sol.M, ball), m) < 5e-3
    # Across the surface B·n is continuous (M counts inside the magnetised
    # elements only), and so is the tangential part of H.
    faces = _corvane.mesh_surface_faces(ball.connectivity)[:30]
    _, centres, normals = _corvane.mesh_surface_face_properties(ball.nodes, faces)
    inside, outside = centres - 1e-7 * normals, centres + 1e-7 * normals
    b_in, b_out = sol.B(inside), sol.B(outside)
    normal = lambda v: np.einsum("ij,ij->i", v, normals)
    np.testing.assert_allclose(normal(b_in), normal(b_out), rtol=1e-3)
    tangential = lambda v: v - normal(v)[:, None] * normals
    np.testing.assert_allclose(tangential(sol.H_at(inside)), tangential(sol.H_at(outside)),
                               atol=1e-3 * np.linalg.norm(h0))


def coil_and_sphere(occ):
    outer = occ.addCylinder(0, 0, -0.8, 0, 0, 1.6, 0.4)
    inner = occ.addCylinder(0, 0, -0.8, 0, 0, 1.6, 0.3)
    shell, _ = occ.cut([(3, outer)], [(3, inner)])
    return {"coil": ([shell[0][1]], 0.12), "sphere": ([occ.addSphere(0, 0, 0, 0.12)], 0.04)}


def test_flux_density_inside_a_sphere_of_high_chi_is_its_closed_form(ball):
    # At χ = 1e4 the solve's M is right in its charges (the sphere's moment)
    # but 6 times off element by element (RMS); B inside is the flux recovery's.
    h0, chi = np.array([300.0, -400.0, 1200.0]), 1e4
    model = corvane.Model(ball)
    model.add_soft("sphere", chi=chi)
    model.applied_field = h0
    sol = model.solve()
    b = 3 * (1 + chi) / (chi + 3) * MU0 * h0
    assert relative(mean(sol.M, ball), 3 * chi / (chi + 3) * h0) < 5e-3
    deviation = np.linalg.norm(sol.flux_density - b, axis=1) / np.linalg.norm(b)
    assert np.sqrt(np.mean(deviation**2)) < 0.03 and deviation.max() < 0.25
    inside = np.array([[0.0, 0.0, 0.0], [0.3, -0.2, 0.4], [-0.5, 0.1, -0.3]])
    np.testing.assert_allclose(sol.B(inside), np.tile(b, (3, 1)), atol=0.015 * np.linalg.norm(b))


def test_soft_sphere_inside_a_long_coil(tmp_path, capsys):
    write_msh(tmp_path / "coil.msh", coil_and_sphere)
    mesh = corvane.read_mesh(tmp_path / "coil.msh")
    inside = mesh.regions["sphere"]
    alone = corvane.Model(mesh)
    alone.add_coil("coil", current_density=azimuthal(2e6))
    h_coil = mean(alone.solve().H, mesh, inside)
    # A long solenoid: about J times its thickness along the axis.
    assert abs(h_coil[2] / (2e6 * 0.1) - 0.93) < 0.03 and np.hypot(*h_coil[:2]) < 1e-3 * h_coil[2]
    model = corvane.Model(mesh)
    model.add_coil("coil", current_density=azimuthal(2e6))
    model.add_soft("sphere", chi=1000.0)
    sol = model.solve(progress=True)
    # The coil's field, harmonic over the sphere, has the mean of its value at
    # the centre; only that uniform part gives the sphere a mean magnetisation.
    assert relative(mean(sol.M, mesh, inside), 3000.0 / 1003.0 * h_coil) < 5e-3
    # B inside from the coil's field and the sphere's surface flux: μ0 (1 + χ) times H's mean.
    assert relative(mean(sol.flux_density, mesh, inside), MU0 * 3003.0 / 1003.0 * h_coil) < 2e-2
    assert not sol.M[mesh.regions["coil"]].any()
    assert "solve_magnetization" in capsys.readouterr().err


# --- forces ------------------------------------------------------------------------------------------

@pytest.fixture(scope="module")
def cubes(tmp_path_factory):
    """Two 1 cm magnet cubes in an air box: a at the origin, b offset by (4, 3, 14) mm."""
    def build(occ):
        a = occ.addBox(-0.005, -0.005, -0.005, 0.01, 0.01, 0.01)
        b = occ.addBox(-0.001, -0.002, 0.009, 0.01, 0.01, 0.01)
        return in_air_box(occ, {"a": (a, 0.002), "b": (b, 0.002)}, 0.03, 0.008)

    path = tmp_path_factory.mktemp("cubes") / "cubes.msh"
    write_msh(path, build)
    model = corvane.Model(corvane.read_mesh(path))
    model.add_magnet("a", remanence=(0.0, 0.3, 1.2))
    model.add_magnet("b", remanence=(0.5, 0.0, 1.0))
    return model.solve()


def test_force_and_torque_between_magnet_cubes_against_magpylib_force(cubes):
    magpy = pytest.importorskip("magpylib")
    get_ft = pytest.importorskip("magpylib_force").getFT
    centre = (0.004, 0.003, 0.014)
    a = magpy.magnet.Cuboid(dimension=(0.01,) * 3, polarization=(0.0, 0.3, 1.2))
    b = magpy.magnet.Cuboid(dimension=(0.01,) * 3, polarization=(0.5, 0.0, 1.0), position=centre)
    b.meshing = (30, 30, 30)
    force, torque = get_ft(a, b, anchor=centre)
    # Measured with 2 mm elements (9,038 in all): the Maxwell stress within
    # 9e-7 (force) and 4e-6 (torque) of magpylib-force (5e-4 with the
    # surface's midpoint rule); the Kelvin force density within 0.6 % (force)
    # and 2.5 % (torque), 0.16 % and 0.5 % with 1 mm.
    assert cubes.force_method("b") == "maxwell"
    assert relative(cubes.force("b"), force) < 5e-5
    assert relative(cubes.torque("b", about=centre), torque) < 5e-5
    # The charge force: 5.7e-6 and 6e-5 (1e-3 and 4.5e-3 with one point on faces far from a).
    assert relative(cubes.force("b", method="charge"), force) < 5e-5
    assert relative(cubes.torque("b", about=centre, method="charge"), torque) < 5e-4
    assert relative(cubes.force("b", method="kelvin"), force) < 1.5e-2
    assert relative(cubes.torque("b", about=centre, method="kelvin"), torque) < 4e-2
    # No self-force: the pair's forces cancel, and so do their torques about
    # any point (measured 6e-5 and 1.5e-4).
    assert relative(cubes.force("a"), -cubes.force("b")) < 1e-3
    assert relative(cubes.torque("a", about=(1, 2, 3)), -cubes.torque("b", about=(1, 2, 3))) < 1e-3

def test_force_between_a_recoil_magnet_and_a_ring_coil(tmp_path):
    def build(occ):
        magnet = occ.addBox(-0.005, -0.005, -0.005, 0.01, 0.01, 0.01)
        outer = occ.addCylinder(0.003, 0, 0.010, 0, 0, 0.004, 0.010)
        inner = occ.addCylinder(0.003, 0, 0.010, 0, 0, 0.004, 0.006)
        ring, _ = occ.cut([(3, outer)], [(3, inner)])
        return in_air_box(occ, {"magnet": (magnet, 0.002), "coil": (ring[0][1], 0.002)}, 0.03, 0.008)

    write_msh(tmp_path / "ring.msh", build)
    model = corvane.Model(corvane.read_mesh(tmp_path / "ring.msh"))
    model.add_magnet("magnet", remanence=(0.2, 0.0, 1.2), recoil_susceptibility=0.5)
    j = azimuthal(1e8)
    model.add_coil("coil", current_density=lambda c: j(c - [0.003, 0.0, 0.0]))
    sol = model.solve()
    about = (0.001, 0.0, 0.008)
    on_magnet = sol.force("magnet"), sol.torque("magnet", about=about)
    # Lorentz force on the coil's elements, Maxwell stress around either body,
    # Kelvin force on the magnet whose magnetisation the coil's field changes:
    # action and reaction. Measured: forces within 2e-4, torques within 1.5e-3
    # (Maxwell) and 3.4e-3 (Lorentz, four points per element); Kelvin 0.6 %.
    for method, force_tolerance, torque_tolerance in (("maxwell", 1e-3, 3e-3), ("kelvin", 1e-3, 6e-3)):
        np.testing.assert_allclose(sol.force("coil", method=method), -on_magnet[0],
                                   atol=force_tolerance * np.linalg.norm(on_magnet[0]))
        np.testing.assert_allclose(sol.torque("coil", about=about, method=method), -on_magnet[1],
                                   atol=torque_tolerance * np.linalg.norm(on_magnet[1]))
    assert relative(sol.force("magnet", method="kelvin"), on_magnet[0]) < 2e-2
    # B is the curl of A in the air, with an applied field added to both.
    model.applied_field = (2e4, -1e4, 3e4)
    sol = model.solve()
    points, step = np.array([[0.0, 0.004, 0.009], [0.012, -0.003, 0.0], [-0.01, 0.01, 0.02]]), 1e-6
    a = [sol.A(points + step * e) - sol.A(points - step * e) for e in np.eye(3)]   # ∂A/∂x_k, times 2 step
    curl = np.column_stack([a[1][:, 2] - a[2][:, 1], a[2][:, 0] - a[0][:, 2], a[0][:, 1] - a[1][:, 0]]) / (2 * step)
    np.testing.assert_allclose(curl, sol.B(points), rtol=0, atol=1e-4 * np.abs(sol.B(points)).max())


def test_written_file_reads_back(cubes, tmp_path):
    meshio = pytest.importorskip("meshio")
    cubes.write(tmp_path / "cubes.vtu")
    back = meshio.read(tmp_path / "cubes.vtu")
    assert np.array_equal(back.cells_dict["tetra"], cubes.mesh.connectivity)
    np.testing.assert_array_equal(back.points, cubes.mesh.nodes)
    for name, values in (("M", cubes.M), ("H", cubes.H), ("B", MU0 * (cubes.H + cubes.M))):
        np.testing.assert_array_equal(back.cell_data[name][0], values)
    # read_mesh takes the regions back by number.
    mesh = corvane.read_mesh(tmp_path / "cubes.vtu")
    assert [len(e) for e in mesh.regions.values()] == [len(e) for e in cubes.mesh.regions.values()]
    assert list(mesh.regions) == [0, 1, 2]
    # A .msh file holds them as physical groups, by name (read back as one region before).
    cubes.write(tmp_path / "cubes.msh")
    mesh = corvane.read_mesh(tmp_path / "cubes.msh")
    assert {k: len(v) for k, v in mesh.regions.items()} == {k: len(v) for k, v in cubes.mesh.regions.items()}


# --- bad input -----------------------------------------------------------------------------------

def small_model():
    nodes, connectivity = box_mesh((2, 1, 1), (2.0, 1.0, 1.0))
    return corvane.Model(corvane.Mesh(nodes, connectivity, {"a": np.arange(6), "b": np.arange(6, 12),
                                                            "ab": np.arange(12)}))


def add(method, region="a", **arguments):
    return lambda model: getattr(model, method)(region, **arguments)


@pytest.mark.parametrize("step, error, message", [
    (add("add_soft", "c", chi=1.0), ValueError, r"region 'c' is not in the mesh; its regions are: 'a', 'b', 'ab'"),
    (add("add_soft", chi=-1.0), ValueError, "chi must be finite and >= 0, got -1.0"),
    (add("add_soft", chi=True), TypeError, "chi must be a real number, got bool"),
    (add("add_magnet", remanence=(0.0, 1.2)), ValueError,
     r"remanence must be one vector of shape \(3,\) or a function of the centroids, got shape \(2,\)"),
    (add("add_magnet", remanence=lambda c: c[:, :2]), ValueError,
     r"remanence\(centroids\) must return shape \(6, 3\), got \(6, 2\)"),
    (add("add_magnet", remanence="N52"), TypeError, "remanence must be a real array"),
    (add("add_magnet", remanence=(0.0, 0.0, np.nan)), ValueError, "remanence must be finite"),
    (add("add_magnet", remanence=(0.0, 0.0, 1e6)), ValueError, r"remanence is Br in tesla, and 1e\+06 T is beyond"),
    (add("add_magnet", remanence=(0, 0, 1), recoil_susceptibility=-0.05), ValueError,
     "recoil_susceptibility must be finite and >= 0"),
    (add("add_coil", current_density=np.ones((6, 3))), ValueError, "current_density must be one vector"),
    (lambda model: setattr(model, "applied_field", (1.0, 2.0)), ValueError,
     r"applied_field must be one vector of shape \(3,\), got shape \(2,\)"),
])
def test_bad_materials_are_refused_and_leave_the_model_as_it_was(step, error, message):
    model = small_model()
    model.add_soft("b", chi=10.0)
    with pytest.raises(error, match=message):
        step(model)
    assert list(model.materials) == ["b"] and not model.applied_field.any()


def test_regions_take_one_material():
    model = small_model()
    model.add_soft("a", chi=10.0)
    with pytest.raises(ValueError, match=r"region 'a' already has a material: Soft\(chi 10\)"):
        model.add_magnet("a", remanence=(0, 0, 1))
    with pytest.raises(ValueError, match="regions 'a' and 'ab' share 6 elements"):
        model.add_coil("ab", current_density=(1, 0, 0))
    # An empty region given as [] and a NumPy integer name are taken; a material there is refused.
    mesh = corvane.Mesh(model.mesh.nodes, model.mesh.connectivity, {"none": [], np.int64(3): [0, 1]})
    assert list(mesh.regions) == ["none", 3] and type(list(mesh.regions)[1]) is int
    with pytest.raises(ValueError, match="region 'none' holds no elements"):
        corvane.Model(mesh).add_magnet("none", remanence=(0, 0, 1))


def test_bad_meshes_and_requests_are_refused_before_any_work(monkeypatch):
    nodes, connectivity = box_mesh((1, 1, 1), (1.0, 1.0, 1.0))
    with pytest.raises(ValueError, match="the mesh holds no tetrahedra"):
        corvane.Mesh(nodes, connectivity[:0])
    with pytest.raises(ValueError, match="the mesh has 1 elements of zero volume, the first is element 6"):
        corvane.Mesh(nodes, np.vstack([connectivity, [[0, 1, 2, 3]]]))
    with pytest.raises(ValueError, match=r"region 'x' must hold element indices from 0 to 5"):
        corvane.Mesh(nodes, connectivity, {"x": [6]})
    with pytest.raises(TypeError, match=r"Model takes a corvane.Mesh \(see corvane.read_mesh\), got str"):
        corvane.Model("assembly.msh")
    model = small_model()
    model.add_magnet("a", remanence=(0.0, 0.0, 1.0))
    calls = []
    monkeypatch.setattr(_corvane, "calculate_fields", lambda *args: calls.append(1))
    monkeypatch.setattr(_field_operator, "direct", lambda *args: calls.append(1))
    for arguments, message in ((dict(tolerance=1.0), "tolerance must be None or from 1e-10 to 0.01, got 1.0"),
                               (dict(rtol=0.0), "rtol must be > 0"), (dict(rtol=2.0), "rtol must be < 0.5"),
                               (dict(progress=1), "progress must be True")):
        with pytest.raises((TypeError, ValueError), match=message):
            model.solve(**arguments)
    assert not calls
    monkeypatch.undo()
    sol = model.solve()
    for request, message in ((lambda: sol.force("c"), "region 'c' is not in the mesh"),
                             (lambda: sol.force("a", method="virtual work"), "method must be one of"),
                             (lambda: sol.torque("a", about=(1.0, 2.0)), r"about must be one finite point"),
                             (lambda: sol.B(np.ones((4, 2))), r"points must have shape \(n, 3\)"),
                             (lambda: sol.force("a", method="maxwell"), "the Maxwell stress needs the region "
                                                                        "surrounded by air")):
        with pytest.raises(ValueError, match=message):
            request()


def test_sections_refuse_bad_arguments_and_label_nearly_uniform_fields():
    pytest.importorskip("matplotlib")
    import matplotlib

    matplotlib.use("Agg")
    magnet = small_model()
    magnet.add_magnet("a", remanence=(0.0, 0.0, 1.0))
    sol = magnet.solve()
    for options, message in ((dict(plane=["y"]), r"plane must be 'x', 'y' or 'z', got \['y'\]"),
                             (dict(extent=(0, 1)), r"extent must be four numbers .* got 2 values: \(0, 1\)"),
                             (dict(extent="abcd"), "extent must be four numbers"),
                             (dict(extent=(0, 1, 1, 0)), r"extent must be four numbers .* with max > min"),
                             (dict(quantity=["Bz"]), "quantity must be one of")):
        with pytest.raises(ValueError, match=message):
            sol.plot(**options)
    zero = small_model()
    zero.add_soft("a", chi=5.0)
    with pytest.raises(ValueError, match=r"log: \|B\| is zero everywhere on the section \(y = 0 m\).*log=False"):
        zero.solve().plot(log=True)
    # Far from the parts the field is uniform to a few parts in 1e7: the colour
    # bar's labels still differ, with no added offset, and log keeps a decade.
    for options in (dict(plane="z", at=1e3, quantity="Bz"), dict(plane="y", at=50.0, log=True)):
        fig = sol.plot(resolution=8, **options)
        bar = fig.axes[-1]
        fig.canvas.draw()
        labels = [t.get_text() for t in bar.get_yticklabels() if t.get_text()]
        assert len(labels) >= 2 and len(set(labels)) == len(labels), labels
        assert "+" not in bar.yaxis.get_offset_text().get_text()  # a scale, not an added offset
        matplotlib.pyplot.close(fig)


def test_far_field_is_the_dipole_field_out_to_the_largest_coordinates():
    model = small_model()
    model.add_magnet("ab", remanence=(0.0, 0.0, 1.0))
    sol = model.solve()
    moment = np.array([0.0, 0.0, 2.0 / MU0])           # Br/μ0 times 2 m³, about the centre (1, 0.5, 0.5)
    direction = np.array([0.8, 0.36, 0.48])
    for r in (1e3, 1e6, 1e10, 1e15, 1e20, 1e29):
        d = r * direction
        dipole = MU0 / (4 * np.pi) * (3 * d * (moment @ d) / r**5 - moment / r**3)
        # Relative error of the dipole law itself: (2 m / r)² at most.
        assert relative(sol.B(d + [1.0, 0.5, 0.5]), dipole) < max(1e-12, 4.0 / r**2), r
    with pytest.raises(ValueError, match="a coordinate of magnitude 1e\\+155 m, above 1e\\+30 m"):
        sol.B([1e155, 0.0, 0.0])


def test_points_on_element_edges_faces_and_nodes_get_the_field_from_inside():
    # A 1 cm magnet cube in the six tetrahedra around its main diagonal. On
    # that shared edge, on shared faces and on the top face's diagonal, each
    # element's integral is 0/0 (solid angle and edge logarithm), and its
    # rounding did not cancel between elements: errors of whole multiples of M.
    magpy = pytest.importorskip("magpylib")
    corners = np.array([[x, y, z] for x in (0, 1) for y in (0, 1) for z in (0, 1)], float) * 0.01 - 0.005
    paths = [[0, 4, 6, 7], [0, 4, 5, 7], [0, 2, 6, 7], [0, 2, 3, 7], [0, 1, 5, 7], [0, 1, 3, 7]]
    model = corvane.Model(corvane.Mesh(corners, np.array(paths), {"cube": np.arange(6)}))
    model.add_magnet("cube", remanence=(0.0, 0.0, 1.2))
    sol = model.solve()
    points = np.array([[2e-3, 2e-3, 2e-3], [1e-3, 1e-3, 3e-3], [2e-3, 2e-3, 5e-3], [-1e-3, 2e-3, 4e-3]])
    cube = magpy.magnet.Cuboid(dimension=(0.01, 0.01, 0.01), polarization=(0.0, 0.0, 1.2))
    for got, expected in ((sol.H_at(points), cube.getH(points)), (sol.B(points), cube.getB(points))):
        assert relative(got, expected) < 1e-6
    operator = corvane.FieldOperator(corners, np.array(paths), points, tolerance=1e-6)
    assert relative(operator(np.tile([0.0, 0.0, 1.2 / MU0], (6, 1))), cube.getH(points)) < 1e-6
    # A point off every boundary is not moved: the same bits as before.
    assert np.array_equal(sol.H_at(points)[3:], sol._sources.H(points[3:]))
    # On the face the magnet shares with a coil's element: the magnet's side, as without the coil
    # (the coil's element was picked, and B jumped by μ0 M).
    nodes = np.vstack([corners, [0.01, 0.002, -0.001]])
    mesh = corvane.Mesh(nodes, np.array(paths + [[4, 6, 7, 8]]), {"cube": np.arange(6), "coil": [6]})
    model = corvane.Model(mesh)
    model.add_magnet("cube", remanence=(0.0, 0.0, 1.2))
    model.add_coil("coil", current_density=(0.0, 1e-3, 0.0))
    on_face = corners[[4, 6, 7]].mean(axis=0)
    assert relative(model.solve().B(on_face), cube.getB(on_face - [1e-9, 0.0, 0.0])) < 1e-6


def test_smoothed_magnetization_of_pictures_is_continuous_within_a_part():
    model = small_model()
    model.add_soft("ab", chi=100.0)
    model.applied_field = (300.0, 0.0, 1e3)
    sol = model.solve()
    nodes, conn, centroids = sol.mesh.nodes, sol.mesh.connectivity, sol.mesh.centroids
    node = 7                                                  # inside the box, shared by many elements
    around = np.flatnonzero((conn == node).any(axis=1))
    points = nodes[node] + 1e-6 * (centroids[around] - nodes[node])
    smooth, plain = sol._magnetization_at(points, smooth=True), sol._magnetization_at(points)
    assert len(around) == 4 and relative(plain, sol.M[around]) == 0.0
    assert np.ptp(plain, axis=0).max() > 1e-3 * np.abs(plain).max()           # a mosaic of element values
    assert np.ptp(smooth, axis=0).max() < 1e-5 * np.abs(plain).max()          # one value at the node
    # That value is the volume-weighted mean of the elements about the node.
    np.testing.assert_allclose(smooth[0], mean(sol.M, sol.mesh, around), rtol=1e-5)
