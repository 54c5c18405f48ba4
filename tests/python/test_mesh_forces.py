"""Maxwell surface forces and the Kelvin force density."""
import numpy as np
import pytest

import _corvane
from conftest import REFERENCE, box_mesh, expect_panic

MU0 = 4e-7 * np.pi
surface_forces, kelvin = _corvane.mesh_surface_forces, _corvane.mesh_kelvin_force_density
U32, TET = np.uint32, np.array([[0, 1, 2, 3]], dtype=np.uint32)


@pytest.mark.parametrize("b, sign", [([0, 0, 1.5], 1), ([0, 0, -1.5], 1), ([1.5, 0, 0], -1), ([0, 0, 0], 0)])
def test_traction_along_and_across_the_normal(b, sign):
    n = np.array([[0.0, 0.0, 1.0]])
    force = surface_forces(np.array([2.0]), n, np.array([b], dtype=float))
    np.testing.assert_allclose(force, sign * 2.0 * 1.5**2 / (2 * MU0) * n, rtol=1e-14)


def test_net_force_of_uniform_field_on_closed_box_vanishes():
    nodes, conn = box_mesh()
    areas, _, normals = _corvane.mesh_surface_face_properties(nodes, _corvane.mesh_surface_faces(conn))
    forces = surface_forces(areas, normals, np.tile([0.3, -0.7, 1.1], (len(areas), 1)))
    assert np.abs(forces.sum(axis=0)).max() < 1e-12 * np.abs(forces).sum()
    assert surface_forces(np.zeros(0), np.zeros((0, 3)), np.zeros((0, 3))).shape == (0, 3)


@pytest.mark.parametrize(
    "normals, b, message",
    [((3, 3), (2, 3), "(left: 2, right: 3)"), ((2, 3), (3, 3), "(left: 2, right: 3)"), ((2, 3), (1, 5), "(left: 2, right: 1)")],
)
def test_surface_force_count_mismatch(normals, b, message):
    expect_panic("assertion `left == right` failed " + message, surface_forces, np.ones(2), np.ones(normals), np.ones(b))


def test_linear_field_gives_k_times_m():
    nodes, conn = box_mesh()
    rng = np.random.default_rng(2)
    k, m = rng.standard_normal((3, 3)), rng.standard_normal((len(conn), 3))
    h = nodes @ k.T + [1.0, -2.0, 0.5]
    f = kelvin(nodes, conn, m, h)
    np.testing.assert_allclose(f, m @ k.T, rtol=1e-9, atol=1e-9)
    # Reversed orientation gives the same gradient; row-read arguments accept any layout.
    np.testing.assert_allclose(kelvin(nodes, conn[:, [0, 2, 1, 3]], m, h), f, rtol=1e-9, atol=1e-9)
    assert np.array_equal(kelvin(np.asfortranarray(nodes), conn, np.asfortranarray(m), np.hstack([h, h])[:, 1:4]),
                          kelvin(nodes, conn, m, np.hstack([h, h])[:, 1:4]))
    assert not kelvin(nodes, conn, m, np.tile([5.0, -1.0, 2.0], (len(nodes), 1))).any()
    assert kelvin(nodes, np.zeros((0, 4), U32), m, h).shape == (0, 3)


def test_flat_element_stays_in_its_row():
    nodes, conn = np.vstack([REFERENCE, [[1.0, 1.0, 0.0]]]), np.array([[0, 1, 2, 3], [0, 1, 2, 4]], U32)
    f = kelvin(nodes, conn, np.ones((2, 3)), nodes * 2.0)
    assert f[0].tolist() == [2.0, 2.0, 2.0] and not np.isfinite(f[1]).any()


@pytest.mark.parametrize(
    "nodes, conn, m_rows, h, message",
    [
        (REFERENCE, [[0, 1, 4, 3]], 1, (4, 2), "index out of bounds: the len is 4 but the index is 4"),
        (REFERENCE, TET, 1, (3, 3), "index out of bounds: the len is 3 but the index is 3"),
        (np.vstack([REFERENCE] * 2), [[4, 5, 1, 2]], 1, (3, 3), "index out of bounds: the len is 3 but the index is 5"),
        (REFERENCE, [[0, 1], [2, 3]], 2, (4, 3), "index out of bounds: the len is 1 but the index is 1"),
        (REFERENCE, [[0, 1, 2, 3]] * 2, 1, (4, 3), "index out of bounds: the len is 1 but the index is 1"),
        (REFERENCE, TET, 1, (4, 2), "ndarray: index out of bounds"),
        (REFERENCE, np.zeros((3, 2)), 1, (4, 3), "assertion `left == right` failed (left: 2, right: 0)"),
    ],
    ids=["node index before h", "h rows", "k1 before k0", "rows beyond quadruples", "m rows", "h columns", "(3, 2)"],
)
def test_kelvin_failures(nodes, conn, m_rows, h, message):
    expect_panic(message, kelvin, nodes, np.asarray(conn, dtype=U32), np.ones((m_rows, 3)), np.ones(h))
