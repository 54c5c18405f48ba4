"""The same physics at every size: a part scaled by s has the fields of the
unscaled part times s^p (H of M: p = 0; A of M, H of J: 1; A of J: 2) on
every path; parts of ordinary size keep their bits; coordinates no float can
carry are refused before any work."""
import hashlib

import meshio
import numpy as np
import pytest

import _corvane
import corvane
from conftest import ball_mesh, box_mesh

# (src_vector_type, requested_field): power of the length in the result.
KINDS = {(1, 1): 0, (1, 0): 1, (0, 1): 1, (0, 0): 2}


def relative(got, want):
    return np.abs(got - want).max() / np.abs(want).max()


@pytest.fixture(scope="module")
def ball():
    """Unstructured ball of radius 1 m, random element vectors, targets inside
    (centroids), outside and at nodes."""
    nodes, conn = ball_mesh(0.3, 1.0)
    rng = np.random.default_rng(11)
    targets = np.concatenate([nodes[conn].mean(axis=1), rng.uniform(-1.5, 1.5, (200, 3)), nodes[::7]])
    return nodes, conn, rng.uniform(-1.0, 1.0, (len(conn), 3)), targets


def fields(ball, s, kind, element_integration, use_octree):
    nodes, conn, vectors, targets = ball
    return _corvane.calculate_fields(nodes * s, conn, vectors, kind[0], kind[1], targets * s, element_integration,
                                     2, use_octree, 0.5, 1, 10, 64)


# Direct sums at any factor; the octree at powers of two, which leave its
# cells (quantised coordinates) exactly as they are.
@pytest.mark.parametrize("use_octree, scales", [(False, [1e-9, 3.7e-6, 1.3e-3, 0.07, 2.9e3, 1e6]),
                                                (True, [2.0**-30, 2.0**-12, 2.0**-5, 2.0**20])])
@pytest.mark.parametrize("element_integration", [True, False], ids=["tet4", "point"])
def test_every_kernel_scales_as_the_physics_says(ball, use_octree, scales, element_integration):
    for kind, power in KINDS.items():
        reference = fields(ball, 1.0, kind, element_integration, use_octree)
        for s in scales:
            got = fields(ball, s, kind, element_integration, use_octree)
            assert relative(got, reference * s**power) < 1e-9, (kind, s)


def test_field_operator_scales_as_the_physics_says(ball):
    nodes, conn, vectors, targets = ball
    for source, field, power in [("magnetization", "H", 0), ("magnetization", "A", 1), ("current", "H", 1),
                                 ("current", "A", 2)]:
        values = {s: corvane.FieldOperator(nodes * s, conn, targets * s, source=source, field=field,
                                           tolerance=1e-3)(vectors) for s in (1.0, 2.0**-30, 2.0**20)}
        for s in (2.0**-30, 2.0**20):
            assert relative(values[s], values[1.0] * s**power) < 1e-9, (source, field, s)


@pytest.mark.slow
@pytest.mark.parametrize("tolerance", [None, 1e-4])
def test_soft_ball_solve_from_1e_8_to_1e3_m(ball, tolerance):
    """chi = 100 in a uniform field: the same magnetisation at every size."""
    nodes, conn = ball[:2]
    volumes = _corvane.mesh_volumes(nodes, conn)

    def mean_m(s):
        m, _ = corvane.solve_magnetization(nodes * s, conn, 100.0, (0.0, 0.0, 1e3), rtol=1e-11,
                                           tolerance=tolerance)
        return volumes @ m / volumes.sum()

    reference = mean_m(1.0)
    assert 2.9e3 < reference[2] < 3.0e3  # 3 H0 for a sphere of large chi, less the mesh's error
    for s in ((1e-8, 1e-5, 1e3) if tolerance is None else (2.0**-27, 2.0**10)):
        assert np.abs(mean_m(s) - reference).max() < 1e-9 * reference[2], s


def test_ordinary_sizes_keep_their_bits():
    """Elements of 3 cm and more are computed as before the scaled evaluation:
    the digest of every path's results on an unstructured box at three sizes,
    recorded with the earlier kernels."""
    nodes, conn = box_mesh((4, 3, 3), (1.0, 0.8, 0.9))
    rng = np.random.default_rng(25)
    nodes = nodes + rng.uniform(-0.04, 0.04, nodes.shape)
    vectors = rng.uniform(-1.0, 1.0, (len(conn), 3))
    targets = np.concatenate([nodes[conn].mean(axis=1), rng.uniform(-0.5, 1.5, (40, 3))])
    digest = hashlib.sha256()
    for s in (0.25, 1.0, 50.0):
        for kind in KINDS:
            for element_integration in (True, False):
                for use_octree in (False, True):
                    digest.update(_corvane.calculate_fields(nodes * s, conn, vectors, *kind, targets * s,
                                                            element_integration, 2, use_octree, 0.5, 1, 8,
                                                            64).tobytes())
        h_ext = np.tile([0.0, 0.0, 1e3], (len(conn), 1))
        for array in _corvane.magnetization_solve(nodes * s, conn, nodes[conn].mean(axis=1) * s, 100.0, h_ext,
                                                  True, 2, 1e-9, 30, 1.0, False, 0.5, 1, 8, 64, False):
            digest.update(array.tobytes())
    assert digest.hexdigest()[:32] == "fc298dc1cbb8b3c45fabf8cc7ea104f3"


def test_absurd_coordinates_are_refused_before_any_work(ball):
    nodes, conn, vectors, targets = ball
    big, tiny = nodes * 1e31, nodes * 1e-31
    far = np.array([[0.0, 0.0, -2e30]])
    too_big, too_small = "above 1e\\+30 m", "below 1e-30 m"
    # The package: meshes, files, operators, solves.
    for make in (lambda n: corvane.Mesh(n, conn),
                 lambda n: corvane.read_mesh(meshio.Mesh(n, [("tetra", conn)])),
                 lambda n: corvane.FieldOperator(n, conn),
                 lambda n: corvane.solve_magnetization(n, conn, 100.0, (0.0, 0.0, 1.0))):
        for bad, match in ((big, too_big), (tiny, too_small)):
            with pytest.raises(ValueError, match=match):
                make(bad)
    with pytest.raises(ValueError, match="targets: .*" + too_big):
        corvane.FieldOperator(nodes, conn, far)
    # The extension: a leaf size of 0 would fail in the octree's work.
    fields = _corvane.calculate_fields
    for args, match in (((big, conn, vectors, 1, 1, targets), "src_nodes: .*" + too_big),
                        ((tiny, conn, vectors, 1, 1, targets), "src_connectivity: element 0 .*" + too_small),
                        ((nodes, conn, vectors, 1, 1, far), "targets: .*" + too_big)):
        for use_octree in (False, True):
            with pytest.raises(ValueError, match=match):
                fields(*args, True, 1, use_octree, 0.5, 1, 0, 64)
    h_ext, centroids = np.zeros((len(conn), 3)), nodes[conn].mean(axis=1)
    with pytest.raises(ValueError, match="centroids: .*" + too_big):
        _corvane.magnetization_solve(nodes, conn, centroids * 1e31, 1.0, h_ext, True, 1, 0.0, 5, 1.0, False,
                                     0.5, 1, 10, 64, False)
    with pytest.raises(ValueError, match="connectivity: .*" + too_small):
        _corvane.magnetization_solve(tiny, conn, centroids, 1.0, h_ext, True, 1, 0.0, 5, 1.0, False, 0.5, 1, 10,
                                     64, False)
    faces = _corvane.mesh_surface_faces(conn)
    for call, match in ((lambda: _corvane.mesh_volumes(big, conn), "nodes: .*" + too_big),
                        (lambda: _corvane.mesh_volumes(tiny, conn), too_small),
                        (lambda: _corvane.mesh_surface_face_properties(tiny, faces), "faces: face 0 .*" + too_small),
                        (lambda: _corvane._mesh_surface_tets(big.ravel(), faces.ravel(), np.zeros(3 * len(faces)),
                                                             np.zeros(3 * len(faces))), too_big),
                        (lambda: _corvane.mesh_kelvin_force_density(tiny, conn, h_ext, np.zeros_like(nodes)),
                         too_small)):
        with pytest.raises(ValueError, match=match):
            call()
    # At the limits the results are still the scaled ones; NaN is left to
    # the computation as before.
    reference = fields(nodes, conn, vectors, 1, 1, targets, True, 1, False, 0.5, 1, 10, 64)
    for s in (1e-29, 1e29):
        got = fields(nodes * s, conn, vectors, 1, 1, targets * s, True, 1, False, 0.5, 1, 10, 64)
        assert relative(got, reference) < 1e-9, s
    with_nan = nodes.copy()
    with_nan[0] = np.nan
    assert np.isnan(fields(with_nan, conn, vectors, 1, 1, targets, True, 1, False, 0.5, 1, 10, 64)).any()
