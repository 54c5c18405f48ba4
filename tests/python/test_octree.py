"""calculate_fields with use_octree=True: agreement with the direct path,
invariance under the evaluation settings, failures, and the far-field error
on an unstructured ball."""
import numpy as np
import pytest

import _corvane
from conftest import ball_mesh, box_mesh, expect_panic

gmsh = pytest.importorskip("gmsh")

KINDS = [(0, 0), (0, 1), (1, 0), (1, 1)]  # (src_vector_type, requested_field)


def distorted_box(seed=3):
    nodes, conn = box_mesh((5, 4, 6), (2.0, 1.5, 2.5))
    rng = np.random.default_rng(seed)
    return nodes + rng.uniform(-0.03, 0.03, nodes.shape), conn


@pytest.fixture(scope="module")
def small_ball():
    return ball_mesh(0.3)


def fields(nodes, conn, vectors, kind, field, targets, *, octree=True, integration=True, threads=1,
           theta=0.5, order=1, leaf=8, batch=64):
    return _corvane.calculate_fields(nodes, conn, vectors, kind, field, targets, integration, threads,
                                     octree, theta, order, leaf, batch)


def sources_and_targets(mesh, seed):
    nodes, conn = mesh
    rng = np.random.default_rng(seed)
    vectors = rng.normal(size=(conn.shape[0], 3))
    centroids = _corvane.mesh_centroids(nodes, conn)
    outside = rng.uniform(-2.0, 3.0, size=(150, 3))
    return nodes, conn, vectors, np.vstack([centroids[::3], outside])


@pytest.mark.parametrize("mesh_name", ["box", "ball"])
@pytest.mark.parametrize("integration", [True, False])
@pytest.mark.parametrize("kind, field", KINDS)
def test_theta_zero_equals_direct_path(mesh_name, integration, kind, field, small_ball):
    mesh = distorted_box() if mesh_name == "box" else small_ball
    nodes, conn, vectors, targets = sources_and_targets(mesh, 5)
    direct = fields(nodes, conn, vectors, kind, field, targets, octree=False, integration=integration)
    tree = fields(nodes, conn, vectors, kind, field, targets, theta=0.0, integration=integration)
    # Only the order of summation differs (tree order instead of input order).
    # Point A of a magnetisation is NaN at a source's own centroid on both paths.
    np.testing.assert_allclose(tree, direct, rtol=0, atol=1e-12 * np.nanmax(np.abs(direct)))
    negative = fields(nodes, conn, vectors, kind, field, targets, theta=-1.0, integration=integration)
    assert np.array_equal(negative, tree, equal_nan=True)


@pytest.mark.parametrize("kind, field", KINDS)
def test_only_multipole_order_one_selects_first_order(kind, field, small_ball):
    nodes, conn, vectors, targets = sources_and_targets(small_ball, 6)
    results = {order: fields(nodes, conn, vectors, kind, field, targets, order=order) for order in (0, 1, 2, 3)}
    assert np.array_equal(results[0], results[2]) and np.array_equal(results[0], results[3])
    # First-order kernels exist for current-density H and magnetisation A.
    assert np.array_equal(results[0], results[1]) == ((kind, field) in [(0, 0), (1, 1)])
    direct = fields(nodes, conn, vectors, kind, field, targets, octree=False)
    scale = np.sqrt(np.mean(direct**2))
    errors = {order: np.sqrt(np.mean((results[order] - direct) ** 2)) / scale for order in (0, 1)}
    assert errors[1] <= errors[0] * 1.0001 and errors[1] < 0.05


@pytest.mark.parametrize("integration", [True, False])
@pytest.mark.parametrize("kind, field", [(0, 1), (1, 1)])
def test_batch_size_and_threads_change_no_bit(integration, kind, field, small_ball):
    nodes, conn, vectors, targets = sources_and_targets(small_ball, 7)
    n = targets.shape[0]
    reference = fields(nodes, conn, vectors, kind, field, targets, integration=integration, batch=n)
    for threads, batch in [(1, 1), (1, 7), (1, 10 * n), (0, 1), (0, (n + 1) // 2), (0, 64), (3, 33)]:
        result = fields(nodes, conn, vectors, kind, field, targets, integration=integration, threads=threads,
                        batch=batch)
        assert np.array_equal(result, reference), (threads, batch)
    if kind == 1:  # codes other than 0 are magnetisations, as on the direct path
        other = fields(nodes, conn, vectors, 7, field, targets, integration=integration, batch=n)
        assert np.array_equal(other, reference)


def test_failures():
    nodes, conn = distorted_box()
    vectors = np.ones((conn.shape[0], 3))
    targets = np.ones((4, 3))
    expect_panic("a scoped thread panicked", lambda: fields(nodes, conn, vectors, 1, 1, targets, batch=0))
    expect_panic("chunk size must be non-zero", fields, nodes, conn, vectors, 1, 1, np.zeros((0, 3)))
    empty = np.zeros((0, 4), dtype=np.uint32)
    expect_panic("octree: the source mesh has no elements", fields, nodes, empty, vectors, 1, 1, targets)
    # Construction failures come before those of the evaluation.
    expect_panic("octree: the source mesh has no elements", fields, nodes, empty, vectors, 1, 1, np.zeros((0, 3)))
    flat = conn.copy()
    flat[17, 3] = flat[17, 0]
    expect_panic("assertion failed: v > 0.0", fields, nodes, flat, vectors, 1, 1, targets)
    expect_panic("assertion failed: v > 0.0", lambda: fields(nodes, flat, vectors, 1, 1, targets, leaf=0))
    expect_panic("attempt to divide by zero", lambda: fields(nodes, conn, vectors, 1, 1, targets, leaf=0))
    expect_panic("attempt to divide by zero", lambda: fields(nodes, conn, vectors, 1, 1, targets[:0], leaf=0))
    not_finite = nodes.copy()
    not_finite[conn[5, 1], 2] = np.nan
    expect_panic("assertion failed: v > 0.0", fields, not_finite, conn, vectors, 1, 1, targets)
    outside = conn.copy()
    outside[3, 2] = nodes.shape[0]
    expect_panic(f"index out of bounds: the len is {nodes.shape[0]} but the index is {nodes.shape[0]}",
                 fields, nodes, outside, vectors, 1, 1, targets)
    with pytest.raises(BaseException) as info:
        fields(nodes, conn, vectors[:-1], 1, 1, targets)
    assert str(info.value).startswith("index out of bounds")


def test_magnetised_ball_against_direct_path():
    # Uniform magnetisation, targets at the centroids, exact near field: the
    # solver's case. theta = 0.5 admits a node's dipole from 2 radii on; the
    # neglected quadrupole terms then weigh about 1/4 of the dipole term of
    # each accepted node, and they mostly cancel between nodes. Measured on
    # this mesh (mesh size 0.12, 12,195 elements): RMS error 0.77 % of the RMS
    # field, largest 2.3 %; 0.89 % and 2.7 % at mesh size 0.1. The bounds
    # leave half as much again.
    nodes, conn = ball_mesh(0.12)
    magnetisation = np.tile([0.0, 0.0, 1e5], (conn.shape[0], 1))
    centroids = _corvane.mesh_centroids(nodes, conn)
    subset = np.random.default_rng(9).choice(conn.shape[0], 600, replace=False)
    tree = fields(nodes, conn, magnetisation, 1, 1, centroids, theta=0.5, leaf=16, batch=1024, threads=0)[subset]
    direct = fields(nodes, conn, magnetisation, 1, 1, centroids[subset], octree=False, threads=0)
    scale = np.sqrt(np.mean(direct**2))
    error = np.abs(tree - direct)
    assert np.sqrt(np.mean(error**2)) / scale < 0.012
    assert error.max() / scale < 0.035
    # Inside a uniformly magnetised ball H is -M/3.
    assert abs(np.mean(tree[:, 2]) / (-1e5 / 3) - 1) < 0.02


def spread_bits(v):
    out = np.zeros_like(v)
    for k in range(21):
        out |= ((v >> np.uint64(k)) & np.uint64(1)) << np.uint64(3 * k)
    return out


def model_octree_h_from_m(nodes, conn, vectors, targets, theta, leaf):
    """A NumPy model of the tree, written from its description: Morton order
    of the centroids, level-by-level split, weighted centres, enclosing radii,
    the opening rule; point dipoles near, one dipole per accepted node far."""
    c = _corvane.mesh_centroids(nodes, conn)
    lo = c.min(0)
    q = np.clip(np.floor((1.0 / (c.max(0) - lo).max() * (c - lo)) * 2097152.0), 0, 2097151).astype(np.uint64)
    keys = spread_bits(q[:, 0]) | (spread_bits(q[:, 1]) << np.uint64(1)) | (spread_bits(q[:, 2]) << np.uint64(2))
    order = np.argsort(keys, kind="stable")
    keys, c, m = keys[order], c[order], vectors[order]
    volumes = _corvane.mesh_volumes(nodes, conn)[order]
    element_radius = np.linalg.norm(nodes[conn[order]] - c[:, None, :], axis=2).max(1)
    ranges, children, leaves, level = [(0, len(keys))], [[]], [False], [0]
    for depth in range(21):
        shift, next_level = np.uint64(3 * (20 - depth)), []
        for n in level:
            s, e = ranges[n]
            cuts = np.r_[0, np.flatnonzero(np.diff(keys[s:e] >> shift)) + 1, e - s]
            for a, b in zip(cuts[:-1], cuts[1:]):
                children[n].append(len(ranges))
                is_leaf = depth == 20 or b - a <= leaf
                if not is_leaf:
                    next_level.append(len(ranges))
                ranges.append((s + a, s + b))
                children.append([])
                leaves.append(is_leaf)
        level = next_level
    w = np.linalg.norm(m, axis=1) * volumes
    center = np.array([(c[s:e] * w[s:e, None]).sum(0) / w[s:e].sum() for s, e in ranges])
    radius = np.array([(np.linalg.norm(c[s:e] - center[i], axis=1) + element_radius[s:e]).max()
                       for i, (s, e) in enumerate(ranges)])
    moment = np.array([(volumes[s:e, None] * m[s:e]).sum(0) for s, e in ranges])

    def dipoles(t, positions, strengths, inner_radius=None):
        d = t - positions
        r = np.linalg.norm(d, axis=1)[:, None]
        u = d / np.where(r > 0, r, 1)
        h = 0.07957747154594767 * (3 * np.sum(u * strengths, 1)[:, None] * u - strengths) / np.where(r > 0, r, 1) ** 3
        if inner_radius is not None:  # the point kernel inside its equivalent sphere
            h = np.where(r <= inner_radius[:, None], -strengths / (4 * np.pi * inner_radius[:, None] ** 3), h)
        return h.sum(0)

    result = []
    for t in targets:
        stack, near, far = [0], [], []
        while stack:
            i = stack.pop()
            if theta * np.linalg.norm(t - center[i]) > radius[i]:
                far.append(i)
            elif leaves[i]:
                near.extend(range(*ranges[i]))
            else:
                stack.extend(children[i])
        near = np.array(near, dtype=np.int64)
        h = dipoles(t, c[near], volumes[near, None] * m[near], np.cbrt(volumes[near] * 0.238732414637843))
        result.append(h + dipoles(t, center[far], moment[far]))
    return np.array(result)


@pytest.mark.parametrize("theta", [0.5, 0.9])
def test_matches_a_model_of_the_tree(theta):
    nodes, conn = ball_mesh(0.15)
    rng = np.random.default_rng(10)
    vectors = rng.normal(size=(conn.shape[0], 3))
    targets = np.vstack([_corvane.mesh_centroids(nodes, conn)[::97], rng.uniform(-1.5, 1.5, size=(20, 3))])
    ours = fields(nodes, conn, vectors, 1, 1, targets, integration=False, theta=theta, leaf=12, threads=0)
    model = model_octree_h_from_m(nodes, conn, vectors, targets, theta, 12)
    np.testing.assert_allclose(ours, model, rtol=0, atol=1e-12 * np.abs(model).max())
