"""Shared fixtures: small meshes, the module's PanicException type, the
hypothesis profiles and what the run is built with."""
import functools
import os

import numpy as np
import pytest
from hypothesis import HealthCheck, settings

import _corvane

# A checked build names the directory its extension must come from.
_MODULE_DIR = os.environ.get("CORVANE_MODULE_DIR")
if _MODULE_DIR and os.path.dirname(os.path.realpath(_corvane.__file__)) != os.path.realpath(_MODULE_DIR):
    raise RuntimeError(f"_corvane imported from {_corvane.__file__}, expected {_MODULE_DIR}")


def _asan_loaded():
    with open("/proc/self/maps") as f:
        return "libasan" in f.read()


# Under AddressSanitizer a failed `operator new` aborts the process instead of
# throwing, freed memory sits in quarantine and the address space is reserved
# for shadow memory: allocation failures and memory-size checks cannot run.
UNDER_ASAN = _asan_loaded()
skip_under_asan = pytest.mark.skipif(
    UNDER_ASAN, reason="allocation failures and process memory are not observable under AddressSanitizer")

# The shipped wheel and the examples' full-size runs are checked by the plain
# run; under the sanitizers the examples alone would take minutes.
_PLAIN_RUN_ONLY = ("test_packaging.py::", "test_examples.py::test_soft_sphere", "test_examples.py::test_iron_block",
                   # Physics at fine tolerances and long solves: the same code runs in the checked
                   # build through the coarser cases.
                   "test_field_operator.py::test_soft_ball", "test_field_operator.py::test_ctrl_c",
                   "test_field_operator.py::test_within_tolerance_of_the_direct_sum[",
                   "test_model.py::test_soft_sphere_in_an_applied_field[0.0001]",
                   "test_model.py::test_force_between_a_recoil_magnet_and_a_ring_coil",
                   # Worker processes of a Dask cluster.
                   "test_cluster.py::test_operator_on", "test_cluster.py::test_a_lost_worker",
                   "test_examples.py::test_cluster_solve")


def pytest_collection_modifyitems(config, items):
    if UNDER_ASAN:
        for item in items:
            if any(key in item.nodeid for key in _PLAIN_RUN_ONLY):
                item.add_marker(pytest.mark.skip(reason="checked by the plain run only"))

# Property tests: fixed seeds, bounded example counts, no per-example deadline
# (threads and sanitizers make single examples slow). HYPOTHESIS_PROFILE=explore
# searches further with fresh seeds.
_BASE = dict(deadline=None, database=None, print_blob=True,
             suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
settings.register_profile("corvane", max_examples=150, derandomize=True, **_BASE)
settings.register_profile("sanitized", max_examples=60, derandomize=True, **_BASE)
settings.register_profile("explore", max_examples=2000, **_BASE)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "corvane"))


def _panic_type():
    # PanicException is not a module attribute: provoke one internal failure,
    # with the message it prints on standard error kept out of the run's log.
    nodes = np.zeros((4, 3))
    conn = np.array([[0, 1, 2, 3]], dtype=np.uint32)
    saved, quiet = os.dup(2), os.open(os.devnull, os.O_WRONLY)
    os.dup2(quiet, 2)
    try:
        _corvane.calculate_fields(nodes, conn, np.zeros((1, 3)), 1, 1, np.zeros((0, 3)),
                                  False, 1, False, 0.5, 1, 10, 10)
    except BaseException as exc:  # noqa: BLE001 - this is the point
        return type(exc)
    finally:
        os.dup2(saved, 2)
        os.close(saved)
        os.close(quiet)
    raise AssertionError("no internal failure raised")


PanicException = _panic_type()


@pytest.fixture
def panic():
    return PanicException


REFERENCE = np.array([[0.0, 0.0, 0.0], [1.0, 0.0, 0.0], [0.0, 1.0, 0.0], [0.0, 0.0, 1.0]])


def unit_tet():
    return REFERENCE.copy(), np.array([[0, 1, 2, 3]], dtype=np.uint32)

# Six positively oriented tetrahedra per hexahedron around its 0-7 diagonal
# (corner index = i + 2j + 4k); neighbouring cells share their face diagonals.
KUHN = np.array([[0, 1, 3, 7], [0, 3, 2, 7], [0, 2, 6, 7], [0, 6, 4, 7], [0, 4, 5, 7], [0, 5, 1, 7]])


# The start of a child that interrupts itself: Python's own SIGINT handling,
# whatever the test worker it comes from left of its signals (a disposition
# set to ignore, or SIGINT blocked in the spawning thread, is inherited), and
# its stacks dumped should it hang.
INTERRUPTIBLE_CHILD = """
import faulthandler, signal
signal.signal(signal.SIGINT, signal.default_int_handler)
signal.pthread_sigmask(signal.SIG_UNBLOCK, [signal.SIGINT])
faulthandler.dump_traceback_later(100, exit=True)
"""


def box_mesh(shape=(3, 2, 4), size=(2.0, 1.0, 3.0)):
    """Box [0, size] cut into shape hexahedra, each split into six tetrahedra."""
    (nx, ny, nz), axes = shape, [np.linspace(0.0, s, n + 1) for s, n in zip(size, shape)]
    nodes = np.stack(np.meshgrid(*axes, indexing="ij"), axis=-1).transpose(2, 1, 0, 3).reshape(-1, 3)
    k, j, i = np.meshgrid(np.arange(nz), np.arange(ny), np.arange(nx), indexing="ij")
    base = (i + (nx + 1) * (j + (ny + 1) * k)).ravel()
    corner = np.array([a + (nx + 1) * (b + (ny + 1) * c) for c in (0, 1) for b in (0, 1) for a in (0, 1)])
    return nodes, (base[:, None, None] + corner[KUHN]).reshape(-1, 4).astype(np.uint32)


def expect_panic(message, fn, *args):
    with pytest.raises(BaseException) as info:
        fn(*args)
    assert type(info.value).__name__ == "PanicException" and str(info.value) == message


def oriented(nodes, conn):
    """Swaps nodes 1 and 2 of negatively oriented elements."""
    p = nodes[conn]
    signed = np.einsum("ij,ij->i", p[:, 1] - p[:, 0], np.cross(p[:, 2] - p[:, 0], p[:, 3] - p[:, 0]))
    conn = conn.copy()
    flip = signed < 0
    conn[flip, 1], conn[flip, 2] = conn[flip, 2].copy(), conn[flip, 1].copy()
    return conn


@functools.lru_cache(maxsize=None)
def _ball(size, radius):
    import gmsh

    gmsh.initialize(readConfigFiles=False)
    try:
        gmsh.option.setNumber("General.Terminal", 0)
        gmsh.option.setNumber("General.NumThreads", 1)
        gmsh.model.add("ball")
        gmsh.model.occ.addSphere(0.0, 0.0, 0.0, radius)
        gmsh.model.occ.synchronize()
        gmsh.option.setNumber("Mesh.MeshSizeMin", size)
        gmsh.option.setNumber("Mesh.MeshSizeMax", size)
        gmsh.model.mesh.generate(3)
        tags, coords, _ = gmsh.model.mesh.getNodes()
        types, _, element_nodes = gmsh.model.mesh.getElements(3)
        tets = element_nodes[list(types).index(4)].reshape(-1, 4).astype(np.int64)
    finally:
        gmsh.finalize()
    index = np.zeros(int(tags.max()) + 1, dtype=np.int64)
    index[tags.astype(np.int64)] = np.arange(tags.size)
    nodes = np.ascontiguousarray(coords.reshape(-1, 3))
    return nodes, np.ascontiguousarray(oriented(nodes, index[tets]), dtype=np.uint32)


def ball_mesh(size=0.3, radius=1.0):
    """Unstructured tetrahedral mesh of a ball (gmsh), positively oriented."""
    nodes, conn = _ball(size, radius)
    return nodes.copy(), conn.copy()
