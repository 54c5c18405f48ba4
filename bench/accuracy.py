"""Accuracy of the field kernels against exact references, by distance.

References: magpylib's closed-form Tetrahedron for H of a magnetised element
(also inside and right next to it), and a tensor Gauss rule on the collapsed
cube (converged to far below the errors shown) for all four kernels outside
the element. Elements are random, shape-regular tetrahedra with mean edge
h = 1; targets lie in random directions at distance d from the centroid.
Errors are |F - F_ref| / |F_ref| per target. Run: .venv/bin/python bench/accuracy.py
"""
import numpy as np

import _corvane

MU0 = 4e-7 * np.pi
KERNELS = [("H from M", 1, 1), ("A from M", 1, 0), ("H from J", 0, 1), ("A from J", 0, 0)]
DISTANCES = [1.0, 2.0, 5.0, 10.0, 20.0, 50.0]


def random_tets(rng, count):
    """Perturbed, rotated regular tetrahedra with mean edge 1, positively oriented."""
    regular = np.array([[1, 1, 1], [1, -1, -1], [-1, 1, -1], [-1, -1, 1]]) / np.sqrt(8.0)
    tets = []
    for _ in range(count):
        q, _ = np.linalg.qr(rng.normal(size=(3, 3)))
        p = (regular + rng.uniform(-0.15, 0.15, size=(4, 3))) @ q.T + rng.normal(size=3)
        if np.dot(p[1] - p[0], np.cross(p[2] - p[0], p[3] - p[0])) < 0:
            p[[1, 2]] = p[[2, 1]]
        edges = [np.linalg.norm(p[i] - p[j]) for i in range(4) for j in range(i + 1, 4)]
        tets.append((p - p.mean(axis=0)) / np.mean(edges) + p.mean(axis=0))
    return tets


def directions(rng, count):
    v = rng.normal(size=(count, 3))
    return v / np.linalg.norm(v, axis=1, keepdims=True)


def cubature(p, order):
    """Points and weights of a Gauss rule over tetrahedron p (collapsed cube)."""
    x, w = np.polynomial.legendre.leggauss(order)
    x, w = 0.5 * (x + 1.0), 0.5 * w
    u, v, t = np.meshgrid(x, x, x, indexing="ij")
    wu, wv, wt = np.meshgrid(w, w, w, indexing="ij")
    a, b, c = u.ravel(), (v * (1 - u)).ravel(), (t * (1 - u) * (1 - v)).ravel()
    weight = (wu * wv * wt * (1 - u) ** 2 * (1 - v)).ravel()
    e = p[1:] - p[0]
    volume_scale = abs(np.linalg.det(e))
    points = p[0] + np.outer(a, e[0]) + np.outer(b, e[1]) + np.outer(c, e[2])
    return points, weight * volume_scale


def reference(p, vector, kind, field, targets, order=28):
    """The exact field of one element outside it, by cubature."""
    points, weights = cubature(p, order)
    out = np.empty((len(targets), 3))
    for i, r in enumerate(targets):
        d = r - points                                      # (n, 3)
        inv = 1.0 / np.linalg.norm(d, axis=1)
        if kind == 0 and field == 0:                        # A = mu0/4pi int J/R
            out[i] = 1e-7 * vector * np.dot(weights, inv)
        elif kind == 0:                                     # H = 1/4pi int J x R / R^3
            out[i] = np.cross(vector, weights @ (d * inv[:, None] ** 3)) / (4 * np.pi)
        elif field == 0:                                    # A = mu0/4pi int M x R / R^3
            out[i] = 1e-7 * np.cross(vector, weights @ (d * inv[:, None] ** 3))
        else:                                               # H = 1/4pi int (3(M.R)R/R^5 - M/R^3)
            mr = d @ vector
            out[i] = (weights @ (3 * mr[:, None] * d * inv[:, None] ** 5)
                      - vector * np.dot(weights, inv ** 3)) / (4 * np.pi)
    return out


def module_field(p, vector, kind, field, targets, exact):
    conn = np.array([[0, 1, 2, 3]], dtype=np.uint32)
    return _corvane.calculate_fields(np.ascontiguousarray(p), conn, vector[None, :], kind, field,
                                     targets, exact, 1, False, 0.5, 1, 16, 1024)


def relative(f, ref):
    return np.linalg.norm(f - ref, axis=1) / np.linalg.norm(ref, axis=1)


def summary(errors):
    e = np.concatenate(errors)
    return f"{np.median(e):10.2e} {np.percentile(e, 90):10.2e} {e.max():10.2e}"


def by_distance(tets, rng, n_dirs):
    """Pointwise errors, and errors relative to the largest reference value on
    the sphere (cross-product fields vanish along some directions, where a
    pointwise ratio says nothing)."""
    pointwise = {}
    scaled = {}
    for exact in (True, False):
        for name, kind, field in KERNELS:
            for d in DISTANCES:
                point_errors, scale_errors = [], []
                for p in tets:
                    vector = rng.normal(size=3)
                    targets = p.mean(axis=0) + d * directions(rng, n_dirs)
                    ref = reference(p, vector, kind, field, targets)
                    f = module_field(p, vector, kind, field, targets, exact)
                    point_errors.append(relative(f, ref))
                    scale_errors.append(np.linalg.norm(f - ref, axis=1).max()
                                        / np.linalg.norm(ref, axis=1).max())
                pointwise[exact, name, d] = np.concatenate(point_errors)
                scaled[exact, name, d] = max(scale_errors)
    print(f"H of a magnetised element, pointwise |H - H_ref| / |H_ref| at distance d from the centroid "
          f"(h = mean edge; {len(tets)} elements x {n_dirs} directions)")
    print(f"{'d / h':>6} {'exact median':>13} {'exact max':>10} {'point median':>13} {'point max':>10}")
    for d in DISTANCES:
        e, q = pointwise[True, "H from M", d], pointwise[False, "H from M", d]
        print(f"{d:6.0f} {np.median(e):13.2e} {e.max():10.2e} {np.median(q):13.2e} {q.max():10.2e}")
    print("\nAll kernels: largest |F - F_ref| over the sphere of radius d, relative to the largest |F_ref| there")
    names = [name for name, _, _ in KERNELS]
    print(f"{'':6} {'exact tetrahedra':^43} {'point sources':^43}")
    print(f"{'d / h':>6} " + " ".join(f"{n:>10}" for n in names + names))
    for d in DISTANCES:
        row = [scaled[exact, n, d] for exact in (True, False) for n in names]
        print(f"{d:6.0f} " + " ".join(f"{v:10.2e}" for v in row))


def near_field(tets, rng, n_points):
    """H of a magnetised element in and around it, against magpylib."""
    import magpylib
    errors, scale_errors = [], []
    for p in tets:
        m = rng.normal(size=3)
        c = p.mean(axis=0)
        targets = c + rng.uniform(-1.0, 1.0, size=(n_points, 3))
        ref = magpylib.magnet.Tetrahedron(polarization=MU0 * m, vertices=p).getH(targets)
        f = module_field(p, m, 1, 1, targets, True)
        # Points within 1e-6 h of a face plane are left out: H jumps there.
        e = p[[0, 0, 0, 1]], p[[1, 2, 3, 2]], p[[2, 3, 1, 3]]
        normals = np.cross(e[1] - e[0], e[2] - e[0])
        normals /= np.linalg.norm(normals, axis=1, keepdims=True)
        gap = np.abs(np.einsum("tk,fk->tf", targets, normals) - np.einsum("fk,fk->f", e[0], normals))
        keep = gap.min(axis=1) > 1e-6
        errors.append(relative(f[keep], ref[keep]))
        scale_errors.append(np.linalg.norm(f[keep] - ref[keep], axis=1) / np.linalg.norm(m))
    print("H of a magnetised element at targets within h of its centroid (inside and out), "
          "against magpylib: median, 90th percentile, max")
    print(f"  relative to |H_ref|: {summary(errors)}")
    print(f"  relative to |M|:     {summary(scale_errors)}")


def main():
    rng = np.random.default_rng(11)
    tets = random_tets(rng, 8)
    near_field(tets, rng, 500)
    print()
    by_distance(tets, rng, 50)


if __name__ == "__main__":
    main()
