"""References and memory: repeated calls on success and on every failure
path leave the inputs' reference counts, the interpreter's allocations and
the process's memory flat; a result's buffer lives exactly as long as some
array over it."""
import gc
import resource
import sys
import tracemalloc

import numpy as np
import pytest

import _corvane
from conftest import UNDER_ASAN, PanicException, box_mesh, skip_under_asan

NODES, CONN = box_mesh((2, 2, 2), (1.0, 1.0, 1.0))
VECTORS = np.random.default_rng(1).normal(size=(len(CONN), 3))
TARGETS = np.random.default_rng(2).uniform(-1, 2, size=(40, 3))
CENTROIDS = _corvane.mesh_centroids(NODES, CONN)
FACES = _corvane.mesh_surface_faces(CONN)
AREAS, FACE_CENTROIDS, NORMALS = _corvane.mesh_surface_face_properties(NODES, FACES)
BAD_CONN = CONN.copy()
BAD_CONN[-1, -1] = len(NODES)
HUGE_ROWS = np.broadcast_to(np.zeros(3), (2**44, 3))


def cf(**changes):
    args = dict(src_nodes=NODES, src_connectivity=CONN, src_vectors=VECTORS, src_vector_type=1, requested_field=1,
                targets=TARGETS, element_integration=True, n_threads_requested=0, use_octree=False, theta=0.5,
                multipole_order=1, max_leaf_size=4, batch_size=16)
    return lambda: _corvane.calculate_fields(**(args | changes))


def solve(**changes):
    args = dict(nodes=NODES, connectivity=CONN, centroids=CENTROIDS, chi=0.5, h_ext=np.ones_like(CENTROIDS),
                element_integration=False, n_threads_requested=0, atol=1e-6, max_iterations=3,
                under_relaxation_factor=0.5, use_octree=False, theta=0.5, multipole_order=1, max_leaf_size=4,
                batch_size=16, verbose=False)
    return lambda: _corvane.magnetization_solve(**(args | changes))


# (label, call, expected exception or None). Inputs are module-level arrays,
# so their reference counts can be compared across the repetitions.
PATHS = [
    ("calculate_fields ok", cf(), None),
    ("calculate_fields point kernels", cf(element_integration=False, requested_field=0), None),
    ("calculate_fields bad dtype", cf(src_connectivity=CONN.astype(np.int64)), TypeError),
    ("calculate_fields strided nodes", cf(src_nodes=NODES[::2]), TypeError),
    ("calculate_fields bad flag", cf(use_octree=1), TypeError),
    ("calculate_fields bad real", cf(theta="x"), TypeError),
    ("calculate_fields negative count", cf(batch_size=-1), OverflowError),
    ("calculate_fields count 2**32", cf(n_threads_requested=2**32), OverflowError),
    ("calculate_fields missing", lambda: _corvane.calculate_fields(NODES, CONN), TypeError),
    ("calculate_fields worker failure", cf(src_connectivity=BAD_CONN), PanicException),
    ("calculate_fields no targets", cf(targets=TARGETS[:0]), PanicException),
    ("calculate_fields two columns", cf(targets=TARGETS[:, :2]), PanicException),
    ("mesh_centroids ok", lambda: _corvane.mesh_centroids(NODES, CONN), None),
    ("mesh_volumes index", lambda: _corvane.mesh_volumes(NODES, BAD_CONN), PanicException),
    ("mesh_volumes not quadruples", lambda: _corvane.mesh_volumes(NODES, CONN[:, :3].copy()), PanicException),
    ("mesh_surface_faces ok", lambda: _corvane.mesh_surface_faces(CONN), None),
    ("mesh_surface_face_properties ok", lambda: _corvane.mesh_surface_face_properties(NODES, FACES), None),
    ("mesh_surface_face_properties reshape", lambda: _corvane.mesh_surface_face_properties(
        NODES, FACES.reshape(-1, 6)), ValueError),
    ("mesh_surface_forces ok", lambda: _corvane.mesh_surface_forces(AREAS, NORMALS, FACE_CENTROIDS), None),
    ("mesh_surface_forces lengths", lambda: _corvane.mesh_surface_forces(AREAS[1:], NORMALS, NORMALS),
     PanicException),
    ("_mesh_surface_tets ok", lambda: _corvane._mesh_surface_tets(
        NODES.ravel(), FACES.ravel(), FACE_CENTROIDS.ravel(), NORMALS.ravel()), None),
    ("_mesh_surface_tets short", lambda: _corvane._mesh_surface_tets(
        NODES.ravel(), FACES.ravel(), FACE_CENTROIDS.ravel()[3:], NORMALS.ravel()), PanicException),
    ("mesh_kelvin_force_density ok", lambda: _corvane.mesh_kelvin_force_density(
        NODES, CONN, VECTORS, NODES), None),
    ("mesh_kelvin_force_density short h", lambda: _corvane.mesh_kelvin_force_density(
        NODES, CONN, VECTORS, NODES[:3]), PanicException),
    ("atan2 ok", lambda: _corvane.atan2(TARGETS[:, 0].copy(), TARGETS[:, 1].copy()), None),
    ("atan2 lengths", lambda: _corvane.atan2(AREAS, AREAS[1:]), PanicException),
    ("atan2 keyword", lambda: _corvane.atan2(AREAS, AREAS, colour=AREAS), TypeError),
]
if not UNDER_ASAN:
    PATHS.append(("calculate_fields huge targets", cf(targets=HUGE_ROWS), MemoryError))
PATHS += [
    ("calculate_fields octree", cf(use_octree=True), None),
    ("calculate_fields octree batch 0", cf(use_octree=True, batch_size=0), PanicException),
    ("calculate_fields octree no elements", cf(use_octree=True, src_connectivity=CONN[:0]), PanicException),
    ("magnetization_solve ok", solve(), None),
    ("magnetization_solve octree", solve(use_octree=True), None),
    ("magnetization_solve index", solve(connectivity=BAD_CONN), PanicException),
    ("magnetization_solve short h_ext", solve(h_ext=CENTROIDS[:2]), PanicException),
    ("magnetization_solve bad flag", solve(verbose=0), TypeError),
]

INPUTS = [NODES, CONN, VECTORS, TARGETS, CENTROIDS, FACES, AREAS, FACE_CENTROIDS, NORMALS, BAD_CONN, HUGE_ROWS]


def container_type():
    base = CENTROIDS
    while isinstance(base, np.ndarray):
        base = base.base
    return type(base)


def result_types():
    """Objects every call touches: the result and exception types."""
    return [container_type(), PanicException, np.ndarray, np.dtype(np.float64), np.dtype(np.uint32)]


def run(call, error):
    if error is None:
        call()
    else:
        with pytest.raises(error):
            call()


def _rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize()


@pytest.mark.parametrize("label, call, error", PATHS, ids=[p[0] for p in PATHS])
def test_repeated_calls_leave_references_and_allocations_flat(label, call, error, capfd):
    for _ in range(50):  # first-use caches: NumPy's interface, the module's types
        run(call, error)
    gc.collect()
    watched = INPUTS + result_types()
    counts = [sys.getrefcount(x) for x in watched]
    tracemalloc.start()
    try:
        for _ in range(500):
            run(call, error)
        gc.collect()
        traced = tracemalloc.get_traced_memory()[0]
        for _ in range(1500):
            run(call, error)
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - traced
    finally:
        tracemalloc.stop()
    capfd.readouterr()  # the internal failures' reports
    assert [sys.getrefcount(x) for x in watched] == counts
    # A Python object leaked per call would add 1500 times its size. Without
    # pymalloc (the sanitized run) temporaries land at ever new addresses, and
    # CPython's type attribute cache, keyed by the address of an attribute
    # name, keeps up to 4096 such temporary names alive.
    if not UNDER_ASAN:
        assert grown < 16_000, grown


@skip_under_asan
@pytest.mark.parametrize("label, call, error", PATHS, ids=[p[0] for p in PATHS])
def test_repeated_calls_leave_process_memory_flat(label, call, error, capfd):
    for _ in range(200):
        run(call, error)
    # A buffer kept per call (the smallest, a few hundred bytes) grows every
    # window by over 0.2 MB. The allocator grows its heap in steps of a few MB
    # now and then (most often while the other worker loads the machine): such
    # a step lands in one window, never in all three.
    grown = []
    for _ in range(3):
        before = _rss()
        for _ in range(1000):
            run(call, error)
        grown.append(_rss() - before)
    # Read only now: the internal failures' reports, read in, are themselves
    # most of a megabyte that the allocator may keep.
    capfd.readouterr()
    assert min(grown) < 192 * 1024, grown


def live_containers():
    return sys.getrefcount(container_type())


@pytest.mark.parametrize("make, pick", [
    (lambda: _corvane.calculate_fields(NODES, CONN, VECTORS, 1, 1, TARGETS, False, 0, False, 0.5, 1, 4, 16),
     lambda r: r[::3, 1]),
    (lambda: _corvane.mesh_surface_face_properties(NODES, FACES), lambda r: r[1][2:, :2]),
    (lambda: _corvane._mesh_surface_tets(NODES.ravel(), FACES.ravel(), FACE_CENTROIDS.ravel(), NORMALS.ravel()),
     lambda r: r[1][::-1]),
    (lambda: _corvane.mesh_surface_faces(CONN), lambda r: r.T),
    (lambda: _corvane.atan2(AREAS, AREAS), lambda r: r[1:]),
], ids=["field array", "face properties", "probe tets", "faces", "atan2"])
def test_buffer_lives_as_long_as_a_view_of_it(make, pick):
    """Every container holds a reference to its type, so the type's count
    follows the number of live result buffers."""
    gc.collect()
    baseline = live_containers()
    result = make()
    n_buffers = len(result) if type(result) is tuple else 1
    assert live_containers() == baseline + n_buffers
    view = pick(result)
    values = view.copy()
    del result
    gc.collect()
    assert live_containers() == baseline + 1  # the view keeps its buffer only
    assert np.array_equal(view, values, equal_nan=view.dtype == np.float64)
    del view
    gc.collect()
    assert live_containers() == baseline


@skip_under_asan
def test_view_outliving_its_tuple_holds_and_then_frees_the_memory():
    # A buffer above the allocator's largest mmap threshold (32 MB) goes back
    # to the system as soon as it is freed.
    n = 1_500_000
    nodes = np.random.default_rng(3).uniform(size=(n, 3))
    faces = np.arange(3 * n, dtype=np.uint32).reshape(-1, 3) % np.uint32(n)
    start = _rss()
    result = _corvane.mesh_surface_face_properties(nodes, faces)  # 12 + 36 + 36 MB
    view = result[2][::1000]
    del result
    kept = _rss() - start
    del view
    freed = _rss() - start
    assert kept > 30e6 and kept - freed > 30e6, (kept, freed)
