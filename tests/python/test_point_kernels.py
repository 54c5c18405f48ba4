"""calculate_fields with point sources on the direct path, against the
closed-form fields of a dipole and of a current element."""
import numpy as np
import pytest

import _corvane
from conftest import PanicException

INV_4PI = 0.07957747154594767

NODES = np.array([[0.1, -0.2, 0.3], [1.3, 0.1, 0.2], [0.2, 1.1, 0.4], [0.3, 0.2, 1.5]])
CONN = np.array([[0, 1, 2, 3]], dtype=np.uint32)
VECTOR = np.array([0.7, -1.1, 2.3])
P = NODES[CONN[0]]
VOLUME = abs(np.dot(P[1] - P[0], np.cross(P[2] - P[0], P[3] - P[0]))) / 6.0
CENTROID = P.mean(axis=0)
RADIUS = np.cbrt(3.0 * VOLUME / (4.0 * np.pi))
STRENGTH = VOLUME * VECTOR


def fields(kind, field, targets, nodes=NODES, conn=CONN, vectors=None, threads=1):
    vectors = VECTOR[None, :] if vectors is None else vectors
    return _corvane.calculate_fields(nodes, conn, vectors, kind, field, targets, False, threads,
                                     False, 0.5, 1, 10, 10)


def directions(n, seed=1):
    v = np.random.default_rng(seed).normal(size=(n, 3))
    return v / np.linalg.norm(v, axis=1)[:, None]


def far_targets(n=40):
    return CENTROID + directions(n) * np.linspace(1.5, 40.0, n)[:, None] * RADIUS


def dipole_h(d):
    r = np.linalg.norm(d, axis=1)[:, None]
    u = d / r
    return INV_4PI * (3 * (u @ STRENGTH)[:, None] * u - STRENGTH) / r**3


def expected(kind, field, targets):
    d = targets - CENTROID
    r = np.linalg.norm(d, axis=1)[:, None]
    if (kind, field) == (1, 1):
        return dipole_h(d)
    if (kind, field) == (1, 0):
        return 1e-7 * np.cross(STRENGTH, d) / r**3
    if (kind, field) == (0, 0):
        return 1e-7 * STRENGTH / r * np.ones_like(d)
    return INV_4PI * np.cross(STRENGTH, d) / r**3


@pytest.mark.parametrize("kind, field", [(0, 0), (0, 1), (1, 0), (1, 1)])
def test_far_field_matches_closed_form(kind, field):
    targets = far_targets()
    np.testing.assert_allclose(fields(kind, field, targets), expected(kind, field, targets),
                               rtol=1e-12, atol=1e-300)


def test_magnetised_element_inside_equivalent_sphere_is_minus_third():
    inner = CENTROID + directions(20) * np.linspace(0.0, 0.999, 20)[:, None] * RADIUS
    np.testing.assert_allclose(fields(1, 1, inner), np.tile(-VECTOR / 3, (20, 1)), rtol=1e-13)


def test_current_element_h_is_continuous_at_equivalent_radius():
    u = directions(10)
    r = RADIUS * np.array([1 - 1e-9, 1 + 1e-9])
    inner, outer = (fields(0, 1, CENTROID + u * s) for s in r)
    np.testing.assert_allclose(inner, outer, rtol=1e-8)
    np.testing.assert_allclose(outer, INV_4PI * np.cross(STRENGTH, u * RADIUS) / RADIUS**3, rtol=1e-8)
    assert np.all(fields(0, 1, CENTROID[None, :]) == 0.0)


def test_current_element_a_inside_is_the_filled_sphere_potential():
    s = np.array([0.0, 0.3, 0.8, 1.0 - 1e-12])[:, None] * RADIUS
    targets = CENTROID + directions(4) * s
    factor = (3 * RADIUS**2 - s**2) / (2 * RADIUS**3)
    np.testing.assert_allclose(fields(0, 0, targets), 1e-7 * STRENGTH * factor, rtol=1e-12)
    outside = fields(0, 0, CENTROID + directions(4) * RADIUS * (1 + 1e-12))
    np.testing.assert_allclose(outside, 1e-7 * STRENGTH / RADIUS * np.ones((4, 3)), rtol=1e-10)


def test_dipole_potential_inside_equivalent_sphere_is_the_magnetised_sphere():
    # mu0/3 M x d inside (zero at the centroid), the dipole's from r = t on.
    s = np.array([0.0, 0.3, 0.8, 1.0 - 1e-12])[:, None] * RADIUS
    inner = CENTROID + directions(4) * s
    np.testing.assert_allclose(fields(1, 0, inner), 4e-7 * np.pi / 3 * np.cross(VECTOR, inner - CENTROID),
                               rtol=1e-12, atol=0.0)
    assert np.all(fields(1, 0, CENTROID[None, :]) == 0.0)
    outer = CENTROID + directions(4) * RADIUS * (1 + 1e-12)
    np.testing.assert_allclose(fields(1, 0, outer), expected(1, 0, outer), rtol=1e-10)
    # A flat element contributes nothing, even at its own centroid.
    flat = NODES.copy()
    flat[3] = flat[:3].mean(axis=0)
    assert np.all(fields(1, 0, flat.mean(axis=0)[None, :], nodes=flat) == 0.0)


@pytest.mark.parametrize("kind, field", [(0, 0), (0, 1), (1, 0), (1, 1)])
def test_orientation_does_not_matter(kind, field):
    targets = np.vstack([far_targets(9), CENTROID + 0.2 * RADIUS])
    flipped = CONN[:, [0, 2, 1, 3]].copy()
    # Equal up to the rounding of the centroid's summation order.
    np.testing.assert_allclose(fields(kind, field, targets, conn=flipped), fields(kind, field, targets),
                               rtol=1e-14)


def random_mesh(n_elements, seed=3):
    rng = np.random.default_rng(seed)
    base = rng.uniform(-1, 1, size=(n_elements, 1, 3))
    nodes = (base + rng.uniform(-0.2, 0.2, size=(n_elements, 4, 3))).reshape(-1, 3)
    conn = np.arange(4 * n_elements, dtype=np.uint32).reshape(-1, 4)
    return nodes, conn, rng.normal(size=(n_elements, 3))


@pytest.mark.parametrize("kind, field", [(0, 0), (0, 1), (1, 0), (1, 1)])
def test_identical_results_for_every_thread_count(kind, field):
    nodes, conn, vectors = random_mesh(25)
    targets = np.random.default_rng(4).uniform(-2, 2, size=(37, 3))
    results = [fields(kind, field, targets, nodes, conn, vectors, threads) for threads in (0, 1, 2, 3, 7, 2**32 - 1)]
    for result in results[1:]:
        np.testing.assert_array_equal(result, results[0])
    # Each target alone gives the same bits as within a chunk.
    for i in (0, 4, 36):
        np.testing.assert_array_equal(fields(kind, field, targets[i:i + 1], nodes, conn, vectors), results[0][i:i + 1])


def test_sum_over_elements_and_field_codes():
    nodes, conn, vectors = random_mesh(3)
    targets = np.random.default_rng(5).uniform(3, 4, size=(6, 3))
    total = sum(fields(1, 1, targets, nodes, conn[e:e + 1], vectors[e:e + 1]) for e in range(3))
    np.testing.assert_allclose(fields(1, 1, targets, nodes, conn, vectors), total, rtol=1e-13)
    np.testing.assert_array_equal(fields(1, 2, targets, nodes, conn, vectors), fields(1, 1, targets, nodes, conn, vectors))
    # Any source code other than 0 is a magnetisation.
    np.testing.assert_array_equal(fields(7, 0, targets, nodes, conn, vectors), fields(1, 0, targets, nodes, conn, vectors))
    # Extra vector rows and extra target columns are ignored.
    extra = np.vstack([vectors, np.ones((2, 3))])
    wide = np.hstack([targets, np.full((6, 1), 9.0)])
    np.testing.assert_array_equal(fields(0, 1, wide, nodes, conn, extra), fields(0, 1, targets, nodes, conn, vectors))


def test_no_elements_gives_zeros():
    result = fields(1, 1, np.ones((5, 3)), NODES, np.zeros((0, 4), np.uint32), np.zeros((0, 3)))
    np.testing.assert_array_equal(result, np.zeros((5, 3)))


def test_nodes_read_as_consecutive_triples():
    targets = far_targets(5)
    np.testing.assert_array_equal(fields(1, 1, targets, nodes=NODES.reshape(2, 6)), fields(1, 1, targets))


@pytest.mark.parametrize("overrides, message", [
    (dict(conn=np.array([[0, 1, 2, 4]], np.uint32)), "a scoped thread panicked"),
    (dict(vectors=np.zeros((0, 3))), "a scoped thread panicked"),
    (dict(nodes=np.zeros((4, 2))), "assertion `left == right` failed (left: 2, right: 0)"),
    (dict(conn=np.zeros((1, 3), np.uint32)), "assertion `left == right` failed (left: 3, right: 0)"),
])
def test_bad_sources_stop_with_internal_failure(overrides, message):
    with pytest.raises(PanicException) as info:
        fields(1, 1, far_targets(3), **overrides)
    assert str(info.value) == message
    # The interpreter lives on and the module still works.
    assert np.all(np.isfinite(fields(1, 1, far_targets(3))))
