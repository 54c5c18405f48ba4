"""The sources of a solved model: element magnetisations, element current densities and a uniform
applied field, and their H and A at any points.

Each kind of element source is one direct sum of the accurate exact element
integrals over the elements that carry it (`corvane.magnetization.exact_fields`), or, when a tolerance is
given and the evaluation is large enough to repay building it, one
`FieldOperator`. Points on the elements' boundaries are the caller's to place (`Solution` does).
"""
import numpy as np

from corvane.magnetization import exact_fields
from corvane.materials import MU0
from corvane.operator import PlacedTargets

_KINDS = {"magnetization": 1, "current": 0}
_FIELDS = {"H": 1, "A": 0}
# With a progress bar, targets are evaluated in pieces of at least this many.
_PIECE = 256
# Estimated seconds, on two cores, of the direct sum per (target, element)
# pair, and of a FieldOperator of tolerance 1e-5 (its build and one
# application): a fixed part, per element, and per target within the
# elements' bounding box (grown by the largest element) or outside it, where
# a target has few near elements and takes its far field from few boxes.
# Fitted on gmsh balls (256 to 12,195 elements, 10^3 to 2·10^4 targets,
# within 1.2 and 3 radii, and their centroids) and on the centroids and
# force points of bodies in contact, to within a factor of about 2 (RMS
# 1.4); an operator's translations are found once per process, so this is a
# later build's cost (the first at a tolerance adds about 0.06 s at 1e-5).
# The operator's terms grow as the cube of its order, (4 digits - 2) / 18.
_DIRECT_PAIR = 12e-9
_OPERATOR_FIXED, _OPERATOR_ELEMENT, _OPERATOR_INSIDE, _OPERATOR_OUTSIDE = 0.02, 2.0e-5, 1.5e-5, 5e-7
# Points beyond this many times the largest element's size from every source
# element take the direct sum whatever the tolerance: there it costs a few
# point sources per element (the sum takes far elements as the points of a
# quadrature rule, exact to about 3e-12), where an operator's far targets can
# miss its tolerance.
FAR_FIELD = 100.0


class Sources:
    """Magnetisation M (A/m) and current density J (A/m²) per element, and a uniform field H0 (A/m).

    Elements whose vectors are zero are left out of the sums.
    """

    def __init__(self, nodes, connectivity, magnetization, current, applied, *, tolerance=None, n_threads=0):
        self.nodes, self.connectivity = nodes, connectivity
        self.magnetization, self.current = magnetization, current
        self.applied = np.asarray(applied, dtype=np.float64)
        self.tolerance, self.n_threads = tolerance, n_threads
        self._boxes = {}      # per kind of source: (low corner, high corner, largest element size)
        self._blocks = []
        for kind, vectors in (("magnetization", magnetization), ("current", current)):
            rows = vectors.any(axis=1)
            if rows.any():
                self._blocks.append((kind, np.ascontiguousarray(connectivity[rows]),
                                     np.ascontiguousarray(vectors[rows])))

    def split(self, elements):
        """(sources of the given elements alone, all other sources with the applied field)."""
        own = np.zeros(len(self.connectivity), dtype=bool)
        own[elements] = True
        parts = []
        for mask, applied in ((own, np.zeros(3)), (~own, self.applied)):
            keep = mask[:, None]
            parts.append(Sources(self.nodes, self.connectivity, np.where(keep, self.magnetization, 0.0),
                                 np.where(keep, self.current, 0.0), applied, tolerance=self.tolerance,
                                 n_threads=self.n_threads))
        return tuple(parts)

    def H(self, points, progress=False):
        """H (A/m) at the points (n, 3)."""
        return self._field("H", points, progress) + self.applied

    def A(self, points, progress=False):
        """A (T·m) at the points (n, 3); the applied field's is μ0/2 H0 × r (Coulomb gauge, zero at the origin)."""
        return self._field("A", points, progress) + 0.5 * MU0 * np.cross(self.applied, points)

    def _field(self, field, points, progress):
        total = np.zeros((len(points), 3))
        if len(points) == 0:
            return total
        far = self._far(points) if self.tolerance is not None else np.zeros(len(points), dtype=bool)
        if far.any():
            for kind, connectivity, vectors in self._blocks:
                total[far] += exact_fields(self.nodes, connectivity, vectors, _KINDS[kind], _FIELDS[field],
                                           points[far], self.n_threads)
            if far.all():
                return total
            near = ~far
            total[near] = self._field(field, np.ascontiguousarray(points[near]), progress)
            return total
        for kind, connectivity, vectors in self._blocks:
            if self.tolerance is not None and self._operator_pays(kind, len(connectivity), points):
                # The points come placed (`Solution`) or off the elements by construction (forces).
                operator = PlacedTargets(self.nodes, connectivity, points, source=kind, field=field,
                                         tolerance=self.tolerance, n_threads=self.n_threads, progress=progress)
                total += operator(vectors)
                continue
            with _Bar(progress, len(points), f"{field} from {kind}") as bar:
                for piece in bar.pieces():
                    total[piece] += exact_fields(self.nodes, connectivity, vectors, _KINDS[kind], _FIELDS[field],
                                                 points[piece], self.n_threads)
        return total

    def _operator_pays(self, kind, n, points):
        """Whether a FieldOperator would evaluate the elements' field at the points faster than the direct sum."""
        t = len(points)
        order = max(4.0 * -np.log10(self.tolerance) - 2.0, 1.0)
        scale, direct = (order / 18.0) ** 3, _DIRECT_PAIR * n * t
        least = scale * (_OPERATOR_FIXED + _OPERATOR_ELEMENT * n + _OPERATOR_OUTSIDE * t)
        if least >= direct:
            return False
        low, high, size = self._box(kind)
        inside = int(np.count_nonzero(np.all((points > low - size) & (points < high + size), axis=1)))
        return least + scale * (_OPERATOR_INSIDE - _OPERATOR_OUTSIDE) * inside < direct

    def _box(self, kind):
        """(low corner, high corner, largest element size) of the elements of one kind of source."""
        if kind not in self._boxes:
            connectivity = next(c for k, c, _ in self._blocks if k == kind)
            corners = self.nodes[connectivity]                                          # (n, 4, 3)
            size = np.linalg.norm(corners.max(axis=1) - corners.min(axis=1), axis=1).max()
            self._boxes[kind] = corners.min(axis=(0, 1)), corners.max(axis=(0, 1)), size
        return self._boxes[kind]

    def _far(self, points):
        """Which points lie farther than FAR_FIELD times the largest source element from all of them."""
        if not self._blocks:
            return np.zeros(len(points), dtype=bool)
        boxes = [self._box(kind) for kind, _, _ in self._blocks]
        low, high = np.min([b[0] for b in boxes], axis=0), np.max([b[1] for b in boxes], axis=0)
        size = max(b[2] for b in boxes)
        outside = np.maximum(np.maximum(low - points, points - high), 0.0)
        return np.linalg.norm(outside, axis=1) > FAR_FIELD * size


class _Bar:
    """Pieces of the targets, counted on a tqdm bar when progress is on and tqdm is installed."""

    def __init__(self, enabled, n, description):
        self.n, self.bar = n, None
        if enabled and n > _PIECE:
            try:
                from tqdm import tqdm
            except ImportError:
                return
            self.bar = tqdm(total=n, desc=description, unit="point")

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.bar is not None:
            self.bar.close()
        return False

    def pieces(self):
        if self.bar is None:
            yield slice(0, self.n)
            return
        size = max(_PIECE, -(-self.n // 100))
        for start in range(0, self.n, size):
            yield slice(start, min(start + size, self.n))
            self.bar.update(min(size, self.n - start))
