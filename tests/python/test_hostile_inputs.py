"""Inputs built to break the boundary: scalar conversions that resize an array
given earlier in the same call, views of astronomically many rows, keyword
names that cannot be encoded."""
import json
import os
import subprocess
import sys

import numpy as np
import pytest

import _corvane
from conftest import PanicException, box_mesh

NODES, CONN = box_mesh((2, 1, 1), (1.0, 1.0, 1.0))
CENTROIDS = _corvane.mesh_centroids(NODES, CONN)


def field_args(use_octree):
    return [NODES, CONN, np.random.default_rng(1).normal(size=(len(CONN), 3)), 1, 1,
            np.random.default_rng(2).uniform(-1, 2, size=(30, 3)), True, 0, use_octree, 0.5, 1, 2, 4]


def solve_args(use_octree):
    return [NODES, CONN, CENTROIDS, 0.5, np.ones_like(CENTROIDS), True, 0, 1e-9, 3, 0.5, use_octree, 0.5, 1, 2, 4,
            False]


class Resizing:
    """A count or real whose conversion resizes an array of the same call. The
    array is referenced only by the call's arguments, so NumPy allows even a
    checked resize (as it would for an array built in the call expression)."""

    def __init__(self, value, holder, shape, refcheck):
        self.value, self.holder, self.shape, self.refcheck = value, holder, shape, refcheck

    def _resize(self):
        self.holder.pop().resize(self.shape, refcheck=self.refcheck)

    def __index__(self):
        self._resize()
        return self.value

    def __float__(self):
        self._resize()
        return float(self.value)


CASES = [("calculate_fields", octree, field_args, [0, 1, 2, 5]) for octree in (False, True)]
CASES += [("magnetization_solve", octree, solve_args, [0, 1, 2, 4]) for octree in (False, True)]


def resize_cases():
    for name, octree, make, array_positions in CASES:
        args = make(octree)
        scalars = [i for i, v in enumerate(args) if type(v) in (int, float)]
        for position in scalars:
            for target in [a for a in array_positions if a < position]:
                for grow in (False, True):
                    yield pytest.param(name, octree, make, position, target, grow,
                                       id=f"{name}-{'octree' if octree else 'direct'}-{position}-{target}-"
                                          f"{'grow' if grow else 'shrink'}")


@pytest.mark.parametrize("name, octree, make, position, target, grow", list(resize_cases()))
@pytest.mark.parametrize("refcheck", [True, False])
def test_array_resized_by_a_later_conversion(name, octree, make, position, target, grow, refcheck):
    """Either the new contents are used or the call raises; nothing is read
    from freed memory (the sanitized run would stop on it)."""
    args = make(octree)
    holder = [args[target].copy()]
    rows, cols = holder[0].shape
    evil = Resizing(args[position], holder, (4 * rows if grow else 1, cols), refcheck)
    args[target], args[position] = holder[0], evil
    call_args = tuple(args)
    del args
    fn = getattr(_corvane, name)
    try:
        result = fn(*call_args)
    except (ValueError, TypeError, PanicException):
        return  # a clear refusal: of the resize itself, or of the new contents
    assert call_args[target].shape == evil.shape
    args = list(call_args)
    args[position] = evil.value
    again = fn(*args)
    for a, b in zip(result if type(result) is tuple else [result], again if type(again) is tuple else [again]):
        np.testing.assert_array_equal(a, b)


HUGE_CONN = [np.broadcast_to(np.zeros(4, np.uint32), (rows, 4)) for rows in (2**24, (2**63 - 1) // 16)]


@pytest.mark.parametrize("fn", [_corvane.mesh_centroids, _corvane.mesh_volumes, _corvane.mesh_surface_faces,
                                _corvane.mesh_kelvin_force_density])
@pytest.mark.parametrize("conn", HUGE_CONN, ids=["2^24 rows", "largest"])
def test_broadcast_connectivity_is_refused_before_any_allocation(fn, conn):
    args = {"mesh_surface_faces": (conn,), "mesh_kelvin_force_density": (NODES, conn, CENTROIDS, NODES)}
    with pytest.raises(TypeError, match=r"^The given array is not contiguous or is misaligned\.$"):
        fn(*args.get(fn.__name__, (NODES, conn)))


PEAK_CHILD = """
import json, resource, sys
import numpy as np
import _corvane
nodes = np.eye(4, 3, k=-1)
conn = np.broadcast_to(np.zeros(4, np.uint32), (2**24, 4))
fn = getattr(_corvane, sys.argv[1])
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
try:
    fn(nodes, conn)
except TypeError:
    pass
print(json.dumps((resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) * 1024))
"""


@pytest.mark.parametrize("name", ["mesh_centroids", "mesh_volumes"])
def test_refusal_costs_no_memory(name):
    out = subprocess.run([sys.executable, "-c", PEAK_CHILD, name], capture_output=True, text=True,
                         env=dict(os.environ, OPENBLAS_NUM_THREADS="1"))
    assert out.returncode == 0, out.stderr
    assert json.loads(out.stdout) < 16e6  # results sized from the rows would take 134 or 403 MB


@pytest.mark.parametrize("name", _corvane.__all__)
@pytest.mark.parametrize("keyword", ["\udc80", "x\ud800y"])
def test_unencodable_keyword_is_an_unexpected_keyword(name, keyword):
    with pytest.raises(TypeError) as info:
        getattr(_corvane, name)(**{keyword: 1})
    assert str(info.value).startswith(f"{name}() got an unexpected keyword argument ")


SIGNAL_CHILD = """
import signal, sys
import numpy as np
import _corvane
from conftest import box_mesh

path, target, how = sys.argv[1:]
mesh_nodes, conn = box_mesh((5, 5, 5), (1.0, 1.0, 1.0))
nodes = np.zeros((200_000, 3))  # large enough to be unmapped when freed
nodes[:len(mesh_nodes)] = mesh_nodes
centroids = _corvane.mesh_centroids(mesh_nodes, conn)
held = {"nodes": [nodes], "connectivity": [conn]}
del nodes, conn
stage = []

def on_alarm(*_):
    if stage:
        raise RuntimeError("stopped")
    stage.append(1)
    array = held[target].pop()
    if how == "resize":
        array.resize((1, array.shape[1]), refcheck=False)
    else:
        array.__setstate__(np.zeros((1, array.shape[1]), array.dtype).__reduce__()[2])
    signal.setitimer(signal.ITIMER_REAL, 0.2)

signal.signal(signal.SIGALRM, on_alarm)
signal.setitimer(signal.ITIMER_REAL, 0.05)
args = (held["nodes"][0], held["connectivity"][0], centroids, 0.5, np.ones_like(centroids), False, 0, -1.0,
        2**32 - 1, 0.5, path == "octree", 0.5, 1, 8, 64, False)
try:
    _corvane.magnetization_solve(*args)
except BaseException as e:
    print(type(e).__name__, e, len(stage))
"""


@pytest.mark.parametrize("path", ["direct", "octree"])
@pytest.mark.parametrize("target", ["nodes", "connectivity"])
@pytest.mark.parametrize("how", ["resize", "setstate"])
def test_mesh_replaced_by_a_signal_handler_during_a_solve(path, target, how):
    """Handlers run between iterations; a mesh array freed or replaced there is
    not read again (the iterations go on with the mesh as it was given)."""
    out = subprocess.run([sys.executable, "-c", SIGNAL_CHILD, path, target, how], capture_output=True, text=True,
                         cwd=os.path.dirname(__file__), timeout=300, env=dict(os.environ, OPENBLAS_NUM_THREADS="1"))
    assert out.returncode == 0, out.stderr[-3000:]
    assert out.stdout.strip() == "RuntimeError stopped 1"
