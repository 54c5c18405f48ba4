"""A converged reference for H of magnetised tetrahedra at chosen targets.

Elements within `near` mean edge lengths of a target: the closed-form face
integrals (the solid angle and edge logarithms of each face) with NumPy's
arctan2 and log, not the module's fast approximations. Elements beyond: the
14-point degree-5 rule on each of the element's 8 subtetrahedra (the error of
a degree-5 rule falls as (size / distance)^6). Used by the benchmarks to
state accuracy where the exact kernels' own error (their fast arctangent) is
the floor.
"""
import numpy as np

INV_4PI = 1.0 / (4.0 * np.pi)
FACES = ((0, 2, 1), (0, 3, 2), (1, 2, 3), (0, 1, 3))


def _rule14():
    """Barycentric points (14, 4) and weights (summing to 1) exact to degree 5."""
    pts, wts = [], []
    for a, w in ((0.3108859192633006, 0.1126879257180159), (0.0927352503108912, 0.0734930431163619)):
        for k in range(4):
            p = np.full(4, a)
            p[k] = 1 - 3 * a
            pts.append(p), wts.append(w)
    b = 0.0455037041256496
    for i in range(4):
        for j in range(i + 1, 4):
            p = np.full(4, 0.5 - b)
            p[[i, j]] = b
            pts.append(p), wts.append(0.0425460207770815)
    return np.array(pts), np.array(wts)


def _subdivide(p):
    """The 8 subtetrahedra of elements p (m, 4, 3): (m, 8, 4, 3)."""
    e = {(i, j): 0.5 * (p[:, i] + p[:, j]) for i in range(4) for j in range(i + 1, 4)}
    v = [p[:, 0], p[:, 1], p[:, 2], p[:, 3]]
    m01, m02, m03, m12, m13, m23 = e[0, 1], e[0, 2], e[0, 3], e[1, 2], e[1, 3], e[2, 3]
    children = [(v[0], m01, m02, m03), (m01, v[1], m12, m13), (m02, m12, v[2], m23), (m03, m13, m23, v[3]),
                (m01, m02, m03, m13), (m01, m02, m12, m13), (m02, m03, m13, m23), (m02, m12, m13, m23)]
    return np.stack([np.stack(c, axis=1) for c in children], axis=1)


def _closed_form(p, m, t):
    """H (n_t, 3) of uniformly magnetised elements p (k, 4, 3), m (k, 3) at targets t (n_t, 3),
    from the surface charges m . n on the faces, with exact transcendental functions."""
    signed = np.einsum("ij,ij->i", p[:, 1] - p[:, 0], np.cross(p[:, 2] - p[:, 0], p[:, 3] - p[:, 0]))
    p = np.where((signed < 0)[:, None, None], p[:, [0, 2, 1, 3]], p)
    h = np.zeros((len(t), 3))
    for face in FACES:
        a, b, c = p[:, face[0]], p[:, face[1]], p[:, face[2]]
        n = np.cross(b - a, c - a)
        n /= np.linalg.norm(n, axis=1, keepdims=True)
        sigma = -INV_4PI * np.einsum("ij,ij->i", m, n)            # (k,)
        r1, r2, r3 = (v[None] - t[:, None] for v in (a, b, c))      # (n_t, k, 3)
        l1, l2, l3 = (np.linalg.norm(x, axis=-1) for x in (r1, r2, r3))
        num = np.einsum("tkj,tkj->tk", r1, np.cross(r2, r3))
        den = l1 * l2 * l3 + l1 * np.einsum("tkj,tkj->tk", r2, r3) + l2 * np.einsum("tkj,tkj->tk", r1, r3) \
            + l3 * np.einsum("tkj,tkj->tk", r1, r2)
        omega = 2.0 * np.arctan2(num, den)
        w = np.zeros_like(r1)
        for (u, v, lu, lv) in ((a, b, l1, l2), (b, c, l2, l3), (c, a, l3, l1)):
            edge = v - u
            length = np.linalg.norm(edge, axis=1)
            lam = np.log((length + lu + lv) / (lu + lv - length))
            w += lam[..., None] * (edge / length[:, None])[None]
        g = omega[..., None] * n[None] + np.cross(n[None], w)
        h += np.einsum("k,tkj->tj", sigma, g)
    return h


def magnetised_h(nodes, conn, m, targets, near=6.0, chunk=64):
    """H (A/m) at the targets of elements (nodes, conn) magnetised m (A/m)."""
    p = nodes[conn]
    edge = np.mean(np.linalg.norm(p[:, 1] - p[:, 0], axis=1))
    centroids = p.mean(axis=1)
    bary, weights = _rule14()
    children = _subdivide(p)                                       # (k, 8, 4, 3)
    vol = np.abs(np.einsum("kcj,kcj->kc", children[:, :, 1] - children[:, :, 0],
                           np.cross(children[:, :, 2] - children[:, :, 0], children[:, :, 3] - children[:, :, 0]))) / 6
    points = np.einsum("qv,kcvj->kcqj", bary, children).reshape(len(p), -1, 3)   # (k, 112, 3)
    point_w = (vol[:, :, None] * weights[None, None]).reshape(len(p), -1)        # (k, 112)
    out = np.zeros((len(targets), 3))
    for i, t in enumerate(targets):
        close = np.linalg.norm(centroids - t, axis=1) < near * edge
        out[i] = _closed_form(p[close], m[close], t[None])[0]
        far = np.flatnonzero(~close)
        for s in range(0, len(far), 4096 * chunk // 64):
            idx = far[s:s + 4096 * chunk // 64]
            d = t - points[idx]                                       # (f, 112, 3)
            r2 = np.einsum("fqj,fqj->fq", d, d)
            mom = point_w[idx][..., None] * m[idx][:, None, :]
            md = np.einsum("fqj,fqj->fq", mom, d)
            out[i] += INV_4PI * np.einsum("fqj->j", (3 * md[..., None] * d / r2[..., None] - mom) / r2[..., None] ** 1.5)
    return out
