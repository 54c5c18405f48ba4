"""Which element holds each point (`corvane._geometry`): a uniform grid of
buckets over the elements' bounding boxes, each element listed in every cell
its box meets; the point's barycentric coordinates decide among a cell's
candidates."""
import numpy as np

from corvane import _geometry


class Locator:
    """Locates points in the given elements of a mesh (of nonzero volume)."""

    def __init__(self, nodes, connectivity, elements):
        self.nodes = np.ascontiguousarray(nodes, dtype=np.float64)
        self.connectivity = np.ascontiguousarray(connectivity, dtype=np.int64)
        self.elements = np.ascontiguousarray(elements, dtype=np.int64)

    def __call__(self, points):
        """Element index (of the mesh) holding each point, (n,); -1 outside the elements."""
        points = np.ascontiguousarray(points, dtype=np.float64).reshape(-1, 3)
        return _geometry.locate_points(self.nodes, self.connectivity, self.elements, points)
