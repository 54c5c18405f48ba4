"""A linear field operator over a tetrahedral mesh: built once, applied many times.

`FieldOperator` maps the element vectors (a uniform magnetisation or current
density per element) to the field (H or A) at fixed targets.
"""
import os
import time

import numpy as np

import _corvane
from corvane import _field_operator, _validation

_SOURCES = {"magnetization": 1, "current": 0}
_FIELDS = {"H": 1, "A": 0}
TOLERANCE_RANGE = (1e-10, 1e-2)


class FieldOperator:
    """The field of uniformly magnetised or current-carrying tetrahedra at fixed targets.

    nodes: real (n_nodes, 3), m; connectivity: integer (n_elements, 4), node
    indices (any orientation); targets: real (n_targets, 3), m, or None for the
    element centroids. source: "magnetization" (A/m) or "current" (A/m²);
    field: "H" (A/m) or "A" (T·m), in the units of `_corvane.calculate_fields`.
    tolerance: the relative RMS error of an application against the exact
    element integrals (evaluated with accurate arctangent and logarithm, exact
    to rounding), from 1e-10 to 1e-2; tighter tolerances raise the expansion
    order and, below 3e-6, the quadrature degree of the elements, and cost
    more time and memory. n_threads: 0 for one per
    processor. memory_limit: bytes the near field's values may take (None: two
    fifths of the machine's memory); when all of them do not fit, those of the
    exactly integrated elements are kept and the rest recomputed at every
    application, and when those do not fit either, all of it.
    progress: a tqdm bar during the build.

    op(vectors) with vectors (n_elements, 3) returns (n_targets, 3) float64;
    it is linear in the vectors. op.shape is (3 n_targets, 3 n_elements) and
    op.as_linear_operator() the scipy LinearOperator on flattened row-major
    arrays. op.info tells what was built; bytes_kept is what the operator
    holds, apply_bytes what each application takes and gives back.
    """

    def __init__(self, nodes, connectivity, targets=None, *, source="magnetization", field="H",
                 tolerance=1e-4, n_threads=0, memory_limit=None, progress=False):
        started = time.perf_counter()
        nodes, connectivity = _validation.mesh(nodes, connectivity)
        if len(connectivity) == 0:
            raise ValueError("connectivity must hold at least one element")
        if source not in _SOURCES:
            raise ValueError(f"source must be 'magnetization' or 'current', got {source!r}")
        if field not in _FIELDS:
            raise ValueError(f"field must be 'H' or 'A', got {field!r}")
        tolerance = _validation.real("tolerance", tolerance)
        low, high = TOLERANCE_RANGE
        if not low <= tolerance <= high:
            raise ValueError(f"tolerance must be from {low:g} to {high:g}, got {tolerance!r}")
        n_threads = _validation.count("n_threads", n_threads, minimum=0)
        if memory_limit is None:
            memory_limit = default_memory_limit()
        else:
            memory_limit = _validation.count("memory_limit", memory_limit, minimum=0, maximum=2**63 - 1)
        progress = _validation.flag("progress", progress)
        volumes = _corvane.mesh_volumes(nodes, connectivity)
        flat = np.flatnonzero(~(volumes > 0.0))
        if flat.size:
            raise ValueError(f"elements of zero volume cannot carry a source: {flat.size} of them, "
                             f"the first is element {flat[0]}")
        if targets is None:
            targets = _corvane.mesh_centroids(nodes, connectivity)
        else:
            targets = _validation.points("targets", targets)

        with _ProgressBar(progress, "FieldOperator build") as bar:
            self._native = _field_operator.build(nodes, connectivity, targets, _SOURCES[source], _FIELDS[field],
                                                 tolerance, n_threads, float(memory_limit), bar.callback)
        self.shape = (3 * len(targets), 3 * len(connectivity))
        self.dtype = np.dtype(np.float64)
        self.info = {"source": source, "field": field, "tolerance": tolerance, "memory_limit": memory_limit,
                     **_field_operator.info(self._native)}
        self.info["build_seconds"] = time.perf_counter() - started

    def __call__(self, vectors):
        vectors = _validation.real_array("vectors", vectors)
        n_elements = self.shape[1] // 3
        if vectors.shape != (n_elements, 3):
            raise ValueError(f"vectors must have shape ({n_elements}, 3), got {vectors.shape}")
        if not np.isfinite(vectors).all():
            raise ValueError("vectors must be finite")
        return _field_operator.apply(self._native, vectors, None)

    def as_linear_operator(self):
        """scipy.sparse.linalg.LinearOperator of shape (3 n_targets, 3 n_elements)."""
        from scipy.sparse.linalg import LinearOperator

        return LinearOperator(self.shape, matvec=lambda x: self(np.reshape(x, (-1, 3))).ravel(),
                              dtype=np.float64)

    def __repr__(self):
        info = self.info
        return (f"FieldOperator({info['field']} from {info['source']}: {info['elements']} elements, "
                f"{info['targets']} targets, tolerance {info['tolerance']:g})")


class _ProgressBar:
    """A tqdm bar fed with the fraction done, when asked for and tqdm is installed."""

    def __init__(self, enabled, description):
        self.enabled, self.description, self.bar = enabled, description, None
        self.callback = None

    def __enter__(self):
        if self.enabled:
            try:
                from tqdm import tqdm
            except ImportError:
                return self
            self.bar = tqdm(total=100, desc=self.description, unit="%")
            self.callback = self._update
        return self

    def _update(self, fraction):
        self.bar.update(int(100 * fraction) - self.bar.n)

    def __exit__(self, *exc):
        if self.bar is not None:
            self.bar.close()
        return False


def default_memory_limit():
    """Two fifths of the machine's physical memory, in bytes."""
    try:
        return os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") * 2 // 5
    except (ValueError, OSError, AttributeError):
        return 4 << 30
