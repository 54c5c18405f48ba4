"""Which element holds each point (`corvane._geometry`): a uniform grid of
buckets over the elements' bounding boxes, each element listed in every cell
its box meets; the point's barycentric coordinates decide among a cell's
candidates."""
import numpy as np

from corvane import _geometry


class Locator:
    """Locates points in the given elements of a mesh (those of zero volume hold none)."""

    def __init__(self, nodes, connectivity, elements):
        self._grid = _geometry.point_locator(nodes, np.asarray(connectivity, dtype=np.int64),
                                             np.asarray(elements, dtype=np.int64))

    def __call__(self, points):
        """Element index (of the mesh) holding each point, (n,); -1 outside the elements."""
        return _geometry.locate_points(self._grid, np.reshape(points, (-1, 3)))
