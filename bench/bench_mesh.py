"""Mesh utilities against NumPy implementations of the same operations.

Builds a structured box mesh of about 1.3 million tetrahedra and prints the
processor time per million elements of each operation, best of a few runs, with the
speed-up over NumPy measured in the same run; the boundary search also on
other element orders and on a ball.
"""
import time

import numpy as np

import _corvane

# Six positively oriented tetrahedra per hexahedron, around the diagonal
# from corner 0 to corner 7 (corner index = i + 2j + 4k).
_KUHN = np.array(
    [[0, 1, 3, 7], [0, 3, 2, 7], [0, 2, 6, 7], [0, 6, 4, 7], [0, 4, 5, 7], [0, 5, 1, 7]], dtype=np.int64
)


def box_mesh(n, ball=False):
    """Nodes and connectivity of the unit cube cut into n³ hexahedra; with
    `ball`, only the cells whose centre lies in the inscribed sphere."""
    g = np.linspace(0.0, 1.0, n + 1)
    z, y, x = np.meshgrid(g, g, g, indexing="ij")
    nodes = np.column_stack([x.ravel(), y.ravel(), z.ravel()])
    i, j, k = np.meshgrid(np.arange(n), np.arange(n), np.arange(n), indexing="ij")
    base = (i + (n + 1) * (j + (n + 1) * k)).ravel()
    if ball:
        centre = (np.column_stack([i.ravel(), j.ravel(), k.ravel()]) + 0.5) / n - 0.5
        base = base[np.einsum("ij,ij->i", centre, centre) <= 0.25]
    corner = np.array([a + (n + 1) * (b + (n + 1) * c) for c in (0, 1) for b in (0, 1) for a in (0, 1)])
    conn = base[:, None, None] + corner[_KUHN][None, :, :]
    return nodes, np.ascontiguousarray(conn.reshape(-1, 4), dtype=np.uint32)


def numpy_surface_faces(conn):
    """Faces occurring an odd number of times, by sorting 21-bit packed keys."""
    faces = conn[:, [[0, 3, 2], [0, 2, 1], [0, 1, 3], [1, 2, 3]]].reshape(-1, 3).astype(np.uint64)
    s = np.sort(faces, axis=1)
    key = (s[:, 0] << np.uint64(42)) | (s[:, 1] << np.uint64(21)) | s[:, 2]
    order = np.argsort(key, kind="stable")
    sk = key[order]
    last = np.flatnonzero(np.append(sk[1:] != sk[:-1], True))
    counts = np.diff(np.append(-1, last))
    return faces[np.sort(order[last[counts % 2 == 1]])].astype(np.uint32)


def numpy_volumes(nodes, conn):
    p = nodes[conn]
    u, v, w = p[:, 1] - p[:, 0], p[:, 2] - p[:, 0], p[:, 3] - p[:, 0]
    return np.abs(np.einsum("ij,ij->i", u, np.cross(v, w))) / 6.0


def numpy_kelvin(nodes, conn, m, h):
    p = nodes[conn]
    a, b, c = p[:, 1] - p[:, 0], p[:, 2] - p[:, 0], p[:, 3] - p[:, 0]
    cof = np.stack([np.cross(b, c), np.cross(c, a), np.cross(a, b)], axis=2)
    g = cof / np.einsum("ij,ij->i", a, np.cross(b, c))[:, None, None]
    hv = h[conn]
    d = hv[:, 1:] - hv[:, :1]  # (M, 3 nodes, 3 components)
    grad = np.einsum("eij,ejc->eci", g, d)  # row c: gradient of H_c
    return np.einsum("eci,ei->ec", grad, m)


def best_time(fn, repeats=3):
    """Best processor time of the process over `repeats` calls (single-threaded
    work; other processes on a shared machine do not count)."""
    best = float("inf")
    for _ in range(repeats):
        t0 = time.process_time()
        result = fn()
        best = min(best, time.process_time() - t0)
    return best, result


def main(cpp_build_dir=None):
    nodes, conn = box_mesh(60)
    n_elements = conn.shape[0]
    rng = np.random.default_rng(7)
    m = rng.standard_normal((n_elements, 3))
    h = nodes @ rng.standard_normal((3, 3)).T

    rows = []
    t_c, faces = best_time(lambda: _corvane.mesh_surface_faces(conn))
    t_n, faces_np = best_time(lambda: numpy_surface_faces(conn))
    assert np.array_equal(faces, faces_np)
    rows.append(("mesh_surface_faces", t_c, t_n, n_elements))
    # The same search on other element orders and on a ball: the face map's
    # live set depends on the order.
    _, ball = box_mesh(72, ball=True)
    orders = [("  shuffled", conn[rng.permutation(n_elements)]),
              ("  cell type major", conn.reshape(-1, 6, 4).transpose(1, 0, 2).reshape(-1, 4).copy()),
              ("  ball", ball),
              ("  ball shuffled", ball[rng.permutation(len(ball))])]
    for name, c in orders:
        t_c, f = best_time(lambda: _corvane.mesh_surface_faces(c))
        t_n, f_np = best_time(lambda: numpy_surface_faces(c), repeats=1)
        assert np.array_equal(f, f_np)
        rows.append((name, t_c, t_n, len(c)))
    t_c, vol = best_time(lambda: _corvane.mesh_volumes(nodes, conn))
    t_n, vol_np = best_time(lambda: numpy_volumes(nodes, conn))
    assert np.allclose(vol, vol_np, rtol=1e-12, atol=0)
    rows.append(("mesh_volumes", t_c, t_n, n_elements))
    t_c, f = best_time(lambda: _corvane.mesh_kelvin_force_density(nodes, conn, m, h))
    t_n, f_np = best_time(lambda: numpy_kelvin(nodes, conn, m, h))
    assert np.allclose(f, f_np, rtol=1e-8, atol=1e-8)
    rows.append(("mesh_kelvin_force_density", t_c, t_n, n_elements))

    print(f"mesh utilities: box mesh, {n_elements} tetrahedra, {faces.shape[0]} boundary faces;"
          f" ball {len(ball)} tetrahedra")
    print(f"{'operation':<28}{'corvane ms/M':>14}{'numpy ms/M':>13}{'speed-up':>10}")
    for name, t_c, t_n, n in rows:
        scale = 1e3 * 1e6 / n
        print(f"{name:<28}{t_c * scale:>14.1f}{t_n * scale:>13.1f}{t_n / t_c:>9.1f}x")


if __name__ == "__main__":
    main()
