"""Which element holds each point: a uniform grid of buckets over the elements' bounding boxes.

Every element is listed in each grid cell its bounding box meets, so the
candidates for a point are the elements listed in its cell; the barycentric
coordinates of the point decide among them.
"""
import numpy as np

# Bucket pairs (point, candidate element) tested at once.
_PAIRS = 1 << 20
_SLACK = 1e-12


class Locator:
    """Locates points in the given elements of a mesh (positively oriented, of nonzero volume)."""

    def __init__(self, nodes, connectivity, elements):
        self.elements = np.asarray(elements, dtype=np.int64)
        corners = nodes[connectivity[self.elements]]                       # (m, 4, 3)
        self.origin = corners[:, 0]
        self.inverse = np.linalg.inv(np.stack([corners[:, k] - self.origin for k in (1, 2, 3)], axis=2))
        if not len(self.elements):
            return
        low, high = corners.min(axis=1), corners.max(axis=1)
        self.low = low.min(axis=0)
        # Cells about the size of a typical element, at most about 4 per element
        # listed in all; cells grow until the listing stays within that.
        cell = max(np.median((high - low).max(axis=1)), 1e-300)
        while True:
            first = np.floor((low - self.low) / cell).astype(np.int64)
            span = np.floor((high - self.low) / cell).astype(np.int64) - first + 1
            listed = span.prod(axis=1)
            if listed.sum() <= 8 * len(listed) + 64:
                break
            cell *= 1.5
        self.cell = cell
        self.shape = np.floor((high.max(axis=0) - self.low) / cell).astype(np.int64) + 1
        owner = np.repeat(np.arange(len(listed)), listed)
        offset = np.arange(owner.size) - np.repeat(np.cumsum(listed) - listed, listed)
        sx, sy = span[owner, 0], span[owner, 1]
        index = first[owner] + np.stack([offset % sx, (offset // sx) % sy, offset // (sx * sy)], axis=1)
        keys = self._key(index)
        order = np.argsort(keys, kind="stable")
        self.keys, self.owner = keys[order], owner[order]

    def _key(self, index):
        return index[:, 0] + self.shape[0] * (index[:, 1] + self.shape[1] * index[:, 2])

    def __call__(self, points):
        """Element index (of the mesh) holding each point, (n,); -1 outside the elements."""
        found = np.full(len(points), -1, dtype=np.int64)
        if not len(self.elements) or not len(points):
            return found
        # Cells from the grid's corner, clipped before the integer cast so that
        # points far away (up to 1e30 m) cannot overflow it.
        cells = np.clip(np.floor((points - self.low) / self.cell), -1.0, self.shape)
        index = cells.astype(np.int64)
        inside = ((index >= 0) & (index < self.shape)).all(axis=1)
        candidates = np.flatnonzero(inside)
        keys = self._key(index[candidates])
        start = np.searchsorted(self.keys, keys, side="left")
        count = np.searchsorted(self.keys, keys, side="right") - start
        # Pairs of points and listed elements, in batches of whole points.
        bounds = np.searchsorted(np.cumsum(count), np.arange(_PAIRS, count.sum() + _PAIRS, _PAIRS), side="right")
        begin = 0
        for end in np.unique(np.append(bounds, len(candidates))):
            if end <= begin:
                continue
            c = count[begin:end]
            point = np.repeat(candidates[begin:end], c)
            slot = np.repeat(start[begin:end] - (np.cumsum(c) - c), c) + np.arange(c.sum())
            element = self.owner[slot]
            lam = np.einsum("mij,mj->mi", self.inverse[element], points[point] - self.origin[element])
            hit = (lam >= -_SLACK).all(axis=1) & (lam.sum(axis=1) <= 1.0 + _SLACK)
            found[point[hit]] = self.elements[element[hit]]
            begin = end
        return found
