"""Which element holds each point (`corvane._geometry`): a uniform grid of
buckets over the elements' bounding boxes, each element listed in every cell
its box meets; the point's barycentric coordinates decide among a cell's
candidates."""
import numpy as np

from corvane import _geometry

# A point this close to a face of the element that holds it (in heights of
# the element) is on the face, an edge or a node of it: where several faces'
# solid angles and edge logarithms meet, each element's integral is 0/0 in
# floating point, and their rounding no longer cancels between neighbours
# (errors of whole multiples of M at a node of a uniformly magnetised mesh).
# The locator's own slack is 1e-12.
_ON_BOUNDARY = 2.0 ** -36
# Such a point moves this share of the way to the element's centroid: its
# field is then the limit from inside the element, to about 1e-7 of the
# field (it sits 1.5e-8 heights from every face, where the integrals keep
# their digits; measured 2e-8 to 3e-8 inside a uniformly magnetised cube).
_INTO = 2.0 ** -24


class Locator:
    """Locates points in the given elements of a mesh (those of zero volume hold none)."""

    def __init__(self, nodes, connectivity, elements):
        self._nodes, self._connectivity = nodes, connectivity
        self._grid = _geometry.point_locator(nodes, np.asarray(connectivity, dtype=np.int64),
                                             np.asarray(elements, dtype=np.int64))

    def __call__(self, points):
        """Element index (of the mesh) holding each point, (n,); -1 outside the elements."""
        return _geometry.locate_points(self._grid, np.reshape(points, (-1, 3)))[0]

    def off_boundaries(self, points):
        """The points (n, 3), those on a face, edge or node of an element they are located in moved
        a hair into that element (a copy), or the points themselves when none is.

        The field of uniform element sources is not defined on their faces, edges and nodes (it
        jumps there or, where charges do not cancel, grows without bound); a point there gets the
        limit from inside the element that holds it, the one whose magnetisation `Solution.B`
        adds, and the same value from every path. Other points are left as they are, to the bit.
        """
        points = np.reshape(points, (-1, 3))
        element, margin = _geometry.locate_points(self._grid, points)
        on = np.flatnonzero((element >= 0) & (margin <= _ON_BOUNDARY))
        if not on.size:
            return points
        moved = np.array(points, dtype=np.float64)
        centroids = self._nodes[self._connectivity[element[on]]].mean(axis=1)
        moved[on] += _INTO * (centroids - moved[on])
        return moved
