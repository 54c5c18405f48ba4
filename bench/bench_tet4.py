"""Exact tetrahedron kernels: the C++ throughput program, then calculate_fields
(element_integration=True) against a NumPy implementation of the same face
formulas, vectorised over all targets per face, timed in the same run."""
import subprocess
import time

import numpy as np

import _corvane

FACES = [(0, 2, 1), (0, 3, 2), (1, 2, 3), (0, 1, 3)]
# (name, src_vector_type, requested_field)
KERNELS = [("tet4_a_from_m", 1, 0), ("tet4_h_from_m", 1, 1), ("tet4_a_from_j", 0, 0), ("tet4_h_from_j", 0, 1)]
P = (-0.0117212, 0.05265332, -0.11643287, 0.19354346, -0.33262347, 0.99997726)
Q = (0.09090909090909091, 0.1111111111111111, 0.14285714285714285, 0.2, 0.3333333333333333, 1.0)


def fast_atan2(y, x):
    ay, ax = np.abs(y), np.abs(x)
    steep = ay > ax
    s = np.where(steep, ax, ay) / (np.where(steep, ay, ax) + 1e-16)
    z = s * s
    p = np.full_like(z, P[0])
    for c in P[1:]:
        p = p * z + c
    theta = np.where(steep, 1.5707963267948966 - s * p, s * p)
    theta = np.where(x < 0, 3.141592653589793 - theta, theta)
    return np.copysign(theta, y)


def fast_ln(x):
    bits = np.ascontiguousarray(x, dtype=np.float64).view(np.uint64)
    e = ((bits >> np.uint64(52)) & np.uint64(0x7FF)).astype(np.int64) - 1023
    m = ((bits & np.uint64(0x000FFFFFFFFFFFFF)) | np.uint64(0x3FF0000000000000)).view(np.float64)
    t = (m - 1.0) / (1.0 + m)
    z = t * t
    q = np.full_like(z, Q[0])
    for c in Q[1:]:
        q = q * z + c
    return e * 0.6931471805599453 + (2.0 * t) * q


def unit(v):
    return v / np.linalg.norm(v)


def numpy_fields(nodes, conn, vectors, magnetization, h_field, targets):
    """The same face formulas, all targets at once for each face."""
    x, y, z = (np.ascontiguousarray(targets[:, k]) for k in range(3))
    out = np.zeros((3, x.size))
    for e, tet in enumerate(conn):
        v = vectors[e]
        for f in FACES:
            a, b, c = nodes[tet[list(f)]]
            n = unit(np.cross(b - a, c - a))
            t1, t2, t3 = unit(b - a), unit(c - b), unit(a - c)
            m1, m2, m3 = unit(np.cross(n, t1)), unit(np.cross(n, t2)), unit(np.cross(n, t3))
            l1, l2, l3 = np.linalg.norm(b - a), np.linalg.norm(c - b), np.linalg.norm(a - c)
            p1 = (a[0] - x, a[1] - y, a[2] - z)
            p2 = (b[0] - x, b[1] - y, b[2] - z)
            p3 = (c[0] - x, c[1] - y, c[2] - z)
            r1 = np.sqrt(p1[0] * p1[0] + p1[1] * p1[1] + p1[2] * p1[2])
            r2 = np.sqrt(p2[0] * p2[0] + p2[1] * p2[1] + p2[2] * p2[2])
            r3 = np.sqrt(p3[0] * p3[0] + p3[1] * p3[1] + p3[2] * p3[2])
            dot = lambda u, w: u[0] * w[0] + u[1] * w[1] + u[2] * w[2]  # noqa: E731
            cr = (p2[1] * p3[2] - p2[2] * p3[1], p2[2] * p3[0] - p2[0] * p3[2], p2[0] * p3[1] - p2[1] * p3[0])
            num = dot(p1, cr)
            den = r1 * r2 * r3 + r1 * dot(p2, p3) + r2 * dot(p1, p3) + r3 * dot(p1, p2)
            omega = 2.0 * fast_atan2(num, den)
            lam1 = fast_ln((l1 + r1 + r2) / (r1 + r2 - l1))
            lam2 = fast_ln((l2 + r2 + r3) / (r2 + r3 - l2))
            lam3 = fast_ln((l3 + r3 + r1) / (r3 + r1 - l3))
            h = dot(p1, n)  # (a - r) . n
            if magnetization and h_field:
                w = lam1[None] * t1[:, None] + lam2[None] * t2[:, None] + lam3[None] * t3[:, None]
                g = omega[None] * n[:, None] + np.cross(n[:, None], w, axis=0)
                out += (np.dot(v, n) * -0.07957747154594767) * g
                continue
            integral = (-h * omega + dot(m1, (-p1[0], -p1[1], -p1[2])) * lam1
                        + dot(m2, (-p2[0], -p2[1], -p2[2])) * lam2 + dot(m3, (-p3[0], -p3[1], -p3[2])) * lam3)
            if not magnetization and not h_field:
                out += (h[None] * (5e-8 * v)[:, None]) * integral[None]
            else:
                k = np.cross(v, n) * (1e-7 if magnetization else 0.07957747154594767)
                out += k[:, None] * integral[None]
    return out.T


def best_of(f, repeats=3, clock=time.process_time):
    """Best time over `repeats` calls: processor time of the process for work on
    one thread (other processes on a shared machine do not count), wall time
    (clock=time.perf_counter) for work on all threads."""
    best = np.inf
    for _ in range(repeats):
        t0 = clock()
        f()
        best = min(best, clock() - t0)
    return best


def problem(n_elements, n_targets):
    base = np.array([[0.1, -0.2, 0.05], [1.3, 0.1, -0.1], [0.2, 0.9, 0.3], [0.3, 0.2, 1.1]])
    shifts = 1.5 * np.array([[e % 4, (e // 4) % 4, e // 16] for e in range(n_elements)], dtype=float)
    nodes = (base[None] + shifts[:, None]).reshape(-1, 3)
    conn = np.arange(4 * n_elements, dtype=np.uint32).reshape(-1, 4)
    vectors = np.tile([0.7, -1.3, 2.1], (n_elements, 1))
    rng = np.random.default_rng(1)
    targets = rng.uniform([-2, -2, -2], [8, 8, 4], size=(n_targets, 3))
    return nodes, conn, vectors, targets


def main(cpp_build_dir):
    program = cpp_build_dir / "tet4_bench"
    print("== tet4 kernels, C++ ==")
    if program.exists():
        print(subprocess.run([str(program)], check=True, capture_output=True, text=True).stdout, end="")
    else:
        print(f"({program} not built; configure with -DCORVANE_BUILD_BENCH=ON)")

    n_elements, n_targets = 16, 20000
    nodes, conn, vectors, targets = problem(n_elements, n_targets)
    pairs = n_elements * n_targets
    print(f"\n== tet4 kernels, Python: calculate_fields vs NumPy, {n_elements} elements x {n_targets} targets ==")
    print(f"{'kernel':<14} {'numpy Mpair/s':>14} {'1 thread':>10} {'all thr':>10} {'speedup 1 thr':>14} {'max rel diff':>13}")
    for name, src_type, field in KERNELS:
        def ours(n_threads):
            return _corvane.calculate_fields(nodes, conn, vectors, src_type, field, targets, True, n_threads,
                                             False, 0.5, 1, 10, 10)
        ref = numpy_fields(nodes, conn, vectors, src_type == 1, field != 0, targets)
        got = ours(1)
        diff = np.max(np.linalg.norm(got - ref, axis=1) / np.linalg.norm(ref, axis=1))
        t_np = best_of(lambda: numpy_fields(nodes, conn, vectors, src_type == 1, field != 0, targets), 2)
        t_one = best_of(lambda: ours(1))
        t_all = best_of(lambda: ours(0), 3, time.perf_counter)
        print(f"{name:<14} {pairs / t_np * 1e-6:>14.2f} {pairs / t_one * 1e-6:>10.2f} "
              f"{pairs / t_all * 1e-6:>10.2f} {t_np / t_one:>14.1f} {diff:>13.1e}")


if __name__ == "__main__":
    import pathlib
    import sys
    main(pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "build/cpp").resolve())
