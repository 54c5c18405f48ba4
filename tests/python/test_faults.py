"""Faults of a real machine, each injected in a child interpreter: no memory
(an address-space limit), no threads (a process limit for an unprivileged
user) and a failure met by every worker. Each must end the call with its
exception, release what the call took, and leave the next call working."""
import json
import os
import subprocess
import sys

import pytest

from conftest import skip_under_asan

PRELUDE = """
import json, os, resource, sys
import numpy as np
import _corvane

def outcome(call):
    try:
        call()
        return "ok"
    except BaseException as e:
        return f"{type(e).__name__}: {e}"

def status(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return line.split()[1:]

def separate_tets(n, seed):
    rng = np.random.default_rng(seed)
    corner = np.array([[0, 0, 0], [0.3, 0, 0], [0, 0.3, 0], [0, 0, 0.3]])
    nodes = (rng.uniform(-1, 1, (n, 1, 3)) + corner).reshape(-1, 3)
    return nodes, np.arange(4 * n, dtype=np.uint32).reshape(-1, 4), rng.normal(size=(n, 3))

def field_call(nodes, conn, vectors, targets, path, threads=0, batch_size=64):
    if path == "solver":
        centroids = nodes.reshape(-1, 4, 3).mean(axis=1) if conn.size else targets
        return lambda: _corvane.magnetization_solve(nodes, conn, centroids, 0.5, np.ones_like(centroids), True, threads,
                                                    0.0, 2, 0.5, False, 0.5, 1, 8, batch_size, False)
    return lambda: _corvane.calculate_fields(nodes, conn, vectors, 1, 1, targets, True, threads, path == "octree",
                                             0.5, 1, 8, batch_size)
"""

PATHS = ["direct", "octree", "solver"]


def run_child(script, *args, **env_extra):
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1", **env_extra)
    out = subprocess.run([sys.executable, "-c", PRELUDE + script, *args], capture_output=True, text=True,
                         timeout=600, env=env)
    assert out.returncode == 0, out.stderr[-4000:]
    return json.loads(out.stdout.strip().splitlines()[-1]), out.stderr


MEMORY_CHILD = """
def vm():
    return int(status("VmSize")[0]) * 1024

def rss():
    return int(status("VmRSS")[0]) * 1024

nodes, conn, vectors = separate_tets(2, 1)
small = field_call(nodes, conn, vectors, np.ones((5, 3)), "direct")
expected = small()
n = 2_000_000
wide = np.broadcast_to(np.arange(3.0), (n, 3))
many_faces = np.random.default_rng(2).integers(0, 2**32 - 1, (1_000_000, 4), dtype=np.uint32)
ones = np.ones(2 * n)
calls = {
    "calculate_fields": field_call(nodes, conn[:0], vectors, wide, "direct"),
    "calculate_fields octree": field_call(nodes, conn, vectors, wide, "octree"),
    "mesh_kelvin_force_density": lambda: _corvane.mesh_kelvin_force_density(
        wide, np.zeros((1, 4), np.uint32), np.ones((1, 3)), wide),
    "mesh_surface_faces": lambda: _corvane.mesh_surface_faces(many_faces),
    "atan2": lambda: _corvane.atan2(ones, ones),
}
calls = {name: call for name, call in calls.items() if name in sys.argv[1:]}
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
start = rss()
report = []
for name, call in calls.items():
    for budget in (16, 32, 64, 96, 128, 256, 8192):
        resource.setrlimit(resource.RLIMIT_AS, (vm() + (budget << 20), hard))
        result = outcome(call)
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        report.append([name, budget, result, bool((small() == expected).all()), rss() - start])
print(json.dumps(report))
"""


MEMORY_CALLS = ["calculate_fields", "calculate_fields octree", "mesh_kelvin_force_density", "mesh_surface_faces",
                "atan2"]


@skip_under_asan
@pytest.mark.parametrize("name", MEMORY_CALLS)
def test_address_space_limit_gives_memory_error_and_the_next_call_works(name):
    # A fixed mmap threshold: every large buffer goes back to the system when
    # freed, so the resident size shows what stays allocated.
    report, _ = run_child(MEMORY_CHILD, name, GLIBC_TUNABLES="glibc.malloc.mmap_threshold=1048576")
    for _, budget, result, next_call_ok, rss_growth in report:
        assert next_call_ok, (budget, result)
        # Everything a call took is released: one leaked buffer would hold
        # 16 MB or more.
        assert rss_growth < 8 << 20, (budget, result, rss_growth)
        assert result in ("ok", "MemoryError: ") or result.startswith(
            "PanicException: failed to spawn thread"), (budget, result)
    results = [r[2] for r in report]
    assert results[0] == "MemoryError: " and results[-1] == "ok", results


SPAWN_CHILD = """
path = sys.argv[1]
# Enough work that a worker that started cannot finish its share and leave
# (freeing its task for the last spawn) while the process is still starting
# the others, however busy the machine.
nodes, conn, vectors = separate_tets(3000 if path == "solver" else 200, 3)
targets = np.random.default_rng(4).uniform(-2, 2, (100_000, 3))
call = field_call(nodes, conn, vectors, targets if path != "solver" else None, path)
expected = call()
p = len(os.sched_getaffinity(0))

# The process limit does not bind root: become an unprivileged user first,
# one no other process has (a shared one such as nobody lets a concurrent
# test's threads come and go inside the count below).
if os.getuid() == 0:
    uid = 200000 + os.getpid()
    os.setgid(uid)
    os.setuid(uid)

def user_tasks():
    total = 0
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/status") as f:
                fields = dict(line.split(":", 1) for line in f)
        except OSError:
            continue
        if int(fields["Uid"].split()[0]) == os.getuid():
            total += int(fields["Threads"])
    return total

# The workers of the call above are joined but may not yet have left the
# kernel's task list; counted now, they would raise the limit.
import time
deadline = time.monotonic() + 10
while len(os.listdir("/proc/self/task")) > 1 and time.monotonic() < deadline:
    time.sleep(0.01)
soft, hard = resource.getrlimit(resource.RLIMIT_NPROC)
# Room for all workers but the last one.
resource.setrlimit(resource.RLIMIT_NPROC, (user_tasks() + p - 1, hard))
failure = outcome(call)
tasks_after = len(os.listdir("/proc/self/task"))
resource.setrlimit(resource.RLIMIT_NPROC, (hard, hard))
again = call()
same = all(np.array_equal(a, b) for a, b in zip(again, expected)) if isinstance(again, tuple) else \\
    np.array_equal(again, expected)
print(json.dumps({"failure": failure, "tasks_after": tasks_after, "same": same}))
"""


@pytest.mark.parametrize("path", PATHS)
def test_thread_limit_gives_spawn_failure_and_the_next_call_works(path):
    result, stderr = run_child(SPAWN_CHILD, path)
    assert result["failure"].startswith("PanicException: failed to spawn thread: "), result
    assert "Resource temporarily unavailable" in result["failure"]
    assert "failed to spawn thread" in stderr
    assert result["tasks_after"] == 1  # the workers that did start were joined
    assert result["same"]


WORKER_CHILD = """
path, threads = sys.argv[1], int(sys.argv[2])
nodes, conn, vectors = separate_tets(3, 5)
targets = np.random.default_rng(6).uniform(-2, 2, (50, 3))
good = field_call(nodes, conn, vectors, targets, path, threads)
expected = good()
if path == "octree":
    # Every worker meets a zero batch size.
    bad = field_call(nodes, conn, vectors, targets, path, threads, batch_size=0)
else:
    # Every worker meets the out-of-range node index of the second element.
    broken = conn.copy()
    broken[1, 2] = len(nodes)
    bad = field_call(nodes, broken, vectors, targets, path, threads)
failure = outcome(bad)
again = good()
same = all(np.array_equal(a, b) for a, b in zip(again, expected)) if isinstance(again, tuple) else \\
    np.array_equal(again, expected)
print(json.dumps({"failure": failure, "same": same, "p": len(os.sched_getaffinity(0))}))
"""


@pytest.mark.parametrize("path", PATHS)
@pytest.mark.parametrize("threads", [0, 1, 2**32 - 1])
def test_failure_on_every_worker_ends_the_call(path, threads):
    result, stderr = run_child(WORKER_CHILD, path, str(threads))
    assert result["failure"] == "PanicException: a scoped thread panicked", result
    assert result["same"]
    workers = 1 if threads == 1 else min(result["p"], 50)
    if path == "octree":
        assert stderr.count("chunk size must be non-zero") >= 1
    else:
        assert stderr.count("index out of bounds: the len is 12 but the index is 12") == workers, stderr
