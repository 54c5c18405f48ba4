"""A linear field operator over a tetrahedral mesh: built once, applied many times.

`FieldOperator` maps the element vectors (a uniform magnetisation or current
density per element) to the field (H or A) at fixed targets.
"""
import os
import time

import numpy as np

import _corvane
from corvane import _field_operator, _validation
from corvane.point_location import Locator

_SOURCES = {"magnetization": 1, "current": 0}
_FIELDS = {"H": 1, "A": 0}
TOLERANCE_RANGE = (1e-10, 1e-2)
# Pieces hold at least this many targets, whatever memory_limit says (a few MB
# of buffers): below it the build of each piece costs more than it saves.
_PIECE_TARGETS = 4096


class FieldOperator:
    """The field of uniformly magnetised or current-carrying tetrahedra at fixed targets.

    nodes: real (n_nodes, 3), m; connectivity: integer (n_elements, 4), node
    indices (any orientation); targets: real (n_targets, 3), m, or None for the
    element centroids (a target on a face, edge or node of an element is
    moved a hair into it, 6e-8 of the way to its centroid: the field is not
    defined there, and this is its limit from inside). source:
    "magnetization" (A/m) or "current" (A/m²); field: "H" (A/m) or "A"
    (T·m), in the units of `_corvane.calculate_fields`.
    tolerance: the relative RMS error of an application against the exact
    element integrals (evaluated with accurate arctangent and logarithm, exact
    to rounding), from 1e-10 to 1e-2, at targets among or near the sources
    (at targets far from all of them, for vectors that change at random from
    element to element, up to about 4 times it); tighter tolerances raise
    the expansion order and, below 3e-6, the quadrature degree of the elements, and cost
    more time and memory. n_threads: 0 for one per processor. memory_limit:
    bytes the near field's values may take, and each application's buffers
    (None: two fifths of the memory the process may take, see
    `default_memory_limit`); when all near values do not fit, those of the
    exactly integrated elements are kept, and all of them in as many leaves
    as the rest of the limit holds (info["near_field_kept"] "mixed"); what
    is not kept is recomputed at every application. When even the exact
    ones do not all fit, they are kept in as many leaves as fit. When an
    application's buffers (about 600 bytes per target at tolerance 1e-4)
    would pass the limit, the targets are split into pieces along x, each an
    operator of its own applied after the other (info["pieces"]); the result
    array comes on top.
    progress: a tqdm bar during the build.

    op(vectors) with vectors (n_elements, 3) returns (n_targets, 3) float64;
    it is linear in the vectors. op.shape is (3 n_targets, 3 n_elements) and
    op.as_linear_operator() the scipy LinearOperator on flattened row-major
    arrays. op.info tells what was built; bytes_kept is what the operator
    holds, apply_bytes what each application takes and gives back.

    client: a `dask.distributed.Client` to build and apply the operator on
    the client's workers (`corvane.cluster`): each keeps the part for one
    compact share of the targets, and op.info["workers"] lists their own
    info. The vectors and results stay with the caller.

    An operator pickles as what it was built from, and is rebuilt (to the
    same array) where it is unpickled; memory_limit=None takes that
    machine's default there.
    """

    def __init__(self, nodes, connectivity, targets=None, *, source="magnetization", field="H",
                 tolerance=1e-4, n_threads=0, memory_limit=None, progress=False, client=None):
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
        if memory_limit is not None:
            memory_limit = _validation.count("memory_limit", memory_limit, minimum=0, maximum=2**63 - 1)
        progress = _validation.flag("progress", progress)
        self._arguments = None
        volumes = _corvane.mesh_volumes(nodes, connectivity)
        flat = np.flatnonzero(~(volumes > 0.0))
        if flat.size:
            raise ValueError(f"elements of zero volume cannot carry a source: {flat.size} of them, "
                             f"the first is element {flat[0]}")
        if targets is None:
            targets = _corvane.mesh_centroids(nodes, connectivity)
        else:
            targets = self._placed(nodes, connectivity, _validation.points("targets", targets))
        self.shape = (3 * len(targets), 3 * len(connectivity))
        self.dtype = np.dtype(np.float64)
        options = dict(source=source, field=field, tolerance=tolerance, n_threads=n_threads,
                       memory_limit=memory_limit)
        if client is not None:
            from corvane.cluster import DistributedOperator

            self._distributed = DistributedOperator(client, nodes, connectivity, targets, options)
            self.info = {"source": source, "field": field, "tolerance": tolerance, "memory_limit": memory_limit,
                         **self._distributed.info, "build_seconds": time.perf_counter() - started}
            return
        self._distributed = None
        # What rebuilds the operator where it is unpickled: copies, so that
        # later changes to the caller's arrays do not travel.
        self._arguments = (np.array(nodes), np.array(connectivity), np.array(targets), options)
        if memory_limit is None:
            memory_limit = default_memory_limit()

        n_targets = len(targets)
        self._natives, self._pieces = [], []
        # Targets in slabs along x: each piece is one operator, built and
        # applied after the other, its share of memory_limit for the near
        # field. One piece unless an application's buffers would pass the limit.
        order = None
        per_target = _apply_bytes_per_target(tolerance)
        done = 0
        with _ProgressBar(progress, "FieldOperator build") as bar:
            while done < n_targets or not self._natives:
                left = n_targets - done
                size = left if per_target * left <= memory_limit else \
                    min(left, max(_PIECE_TARGETS, int(memory_limit // per_target)))
                while True:
                    if size < n_targets and order is None:
                        order = np.argsort(targets[:, 0], kind="stable")
                    piece = slice(None) if size == n_targets else np.sort(order[done:done + size])
                    native = self._build_piece(nodes, connectivity, targets, piece, size, source, field, tolerance,
                                               n_threads, memory_limit * size / max(n_targets, 1), bar,
                                               done / max(n_targets, 1))
                    needed = _field_operator.info(native)["apply_bytes"]
                    # The elements' part of the buffers does not shrink with
                    # the piece: smaller pieces until the whole fits.
                    smaller = max(_PIECE_TARGETS, int(0.9 * size * memory_limit / max(needed, 1)))
                    if needed <= memory_limit or smaller >= size:
                        break
                    size = smaller
                self._natives.append(native)
                self._pieces.append(piece)
                done += size
                per_target = max(per_target, needed / max(size, 1))
        self.shape = (3 * n_targets, 3 * len(connectivity))
        self.dtype = np.dtype(np.float64)
        infos = [_field_operator.info(native) for native in self._natives]
        merged = dict(infos[0])
        if len(infos) > 1:
            for key in ("targets", "boxes", "translations", "far_interactions", "near_interactions", "exact_pairs",
                        "bytes_kept", "near_bytes"):
                merged[key] = sum(info[key] for info in infos)
            merged["levels"] = max(info["levels"] for info in infos)
            merged["apply_bytes"] = max(info["apply_bytes"] for info in infos)
            kept = {info["near_field_kept"] for info in infos}
            merged["near_field_kept"] = kept.pop() if len(kept) == 1 else "mixed"
        self.info = {"source": source, "field": field, "tolerance": tolerance, "memory_limit": memory_limit,
                     **merged, "pieces": len(self._natives)}
        self.info["build_seconds"] = time.perf_counter() - started

    @staticmethod
    def _placed(nodes, connectivity, targets):
        """The targets, those on an element's boundary moved into it (`Locator.off_boundaries`)."""
        return Locator(nodes, connectivity, np.arange(len(connectivity))).off_boundaries(targets)

    @staticmethod
    def _build_piece(nodes, connectivity, targets, piece, size, source, field, tolerance, n_threads, share, bar,
                     start):
        piece_targets = targets if isinstance(piece, slice) else np.ascontiguousarray(targets[piece])
        callback = bar.callback and _scaled(bar.callback, start, size / max(len(targets), 1))
        return _with_memory_message(
            lambda: _field_operator.build(nodes, connectivity, piece_targets, _SOURCES[source], _FIELDS[field],
                                          tolerance, n_threads, float(share), callback),
            f"building a FieldOperator for {size} targets and {len(connectivity)} elements")

    def __call__(self, vectors):
        vectors = _validation.real_array("vectors", vectors)
        n_elements = self.shape[1] // 3
        if vectors.shape != (n_elements, 3):
            raise ValueError(f"vectors must have shape ({n_elements}, 3), got {vectors.shape}")
        if not np.isfinite(vectors).all():
            raise ValueError("vectors must be finite")
        if self._distributed is not None:
            return self._distributed(vectors)
        what = f"applying a FieldOperator (about {self.info['apply_bytes']} bytes of buffers)"
        if len(self._natives) == 1:
            return _with_memory_message(lambda: _field_operator.apply(self._natives[0], vectors, None), what)
        out = np.empty((self.shape[0] // 3, 3))
        for native, piece in zip(self._natives, self._pieces):
            out[piece] = _with_memory_message(lambda: _field_operator.apply(native, vectors, None), what)
        return out

    def __reduce__(self):
        if self._arguments is None:
            raise TypeError("a FieldOperator spread over a Dask cluster cannot be pickled: pickle one built "
                            "without client=, or send what it is built from")
        nodes, connectivity, targets, options = self._arguments
        return _rebuild, (nodes, connectivity, targets, options)

    def as_linear_operator(self):
        """scipy.sparse.linalg.LinearOperator of shape (3 n_targets, 3 n_elements)."""
        from scipy.sparse.linalg import LinearOperator

        return LinearOperator(self.shape, matvec=lambda x: self(np.reshape(x, (-1, 3))).ravel(),
                              dtype=np.float64)

    def __repr__(self):
        info = self.info
        return (f"FieldOperator({info['field']} from {info['source']}: {info['elements']} elements, "
                f"{info['targets']} targets, tolerance {info['tolerance']:g})")


def _rebuild(nodes, connectivity, targets, options):
    return PlacedTargets(nodes, connectivity, targets, **options)


class PlacedTargets(FieldOperator):
    """A `FieldOperator` whose targets are known to lie off the elements' boundaries (centroids,
    points already placed): built without locating them."""

    @staticmethod
    def _placed(nodes, connectivity, targets):
        return targets


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
    """Two fifths of the memory this process may take, in bytes.

    That is the machine's physical memory, or less under an address-space
    limit (RLIMIT_AS, less the address space in use) or a cgroup memory
    limit (less the group's use).
    """
    try:
        limit = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")
    except (ValueError, OSError, AttributeError):
        limit = 10 << 30
    for room in (_address_space_room(), _cgroup_room()):
        if room is not None:
            limit = min(limit, room)
    return max(limit, 0) * 2 // 5


def _address_space_room():
    try:
        import resource

        soft, _ = resource.getrlimit(resource.RLIMIT_AS)
        if soft == resource.RLIM_INFINITY:
            return None
        with open("/proc/self/status") as status:
            used = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))
        return soft - used
    except (ImportError, OSError, ValueError, StopIteration):
        return None


def _cgroup_room(root="/sys/fs/cgroup", membership="/proc/self/cgroup"):
    """The least room (limit less use) of the process's memory cgroup and its ancestors; None without a limit.

    cgroup v2 (memory.max, memory.current) or v1 (memory.limit_in_bytes,
    memory.usage_in_bytes under memory/, where no limit is a huge number).
    """
    try:
        with open(membership) as f:
            lines = [line.rstrip("\n").split(":", 2) for line in f]
    except OSError:
        lines = []
    layouts = [(root, "0", "memory.max", "memory.current"),
               (os.path.join(root, "memory"), "memory", "memory.limit_in_bytes", "memory.usage_in_bytes")]
    rooms = []
    for base, controller, limit_name, usage_name in layouts:
        own = next((path for _, controllers, path in (l for l in lines if len(l) == 3)
                    if (controllers == "" if controller == "0" else controller in controllers.split(","))), "/")
        folders = [base]
        parts = [part for part in own.split("/") if part]
        folders += [os.path.join(base, *parts[:k]) for k in range(1, len(parts) + 1)]
        for folder in folders:
            try:
                with open(os.path.join(folder, limit_name)) as f:
                    text = f.read().strip()
                if text == "max" or int(text) >= 1 << 60:
                    continue
                with open(os.path.join(folder, usage_name)) as f:
                    rooms.append(int(text) - int(f.read().strip()))
            except (OSError, ValueError):
                continue
    return min(rooms) if rooms else None


def _apply_bytes_per_target(tolerance):
    """About what an application's buffers take per target, in bytes (measured, H of one element, order p):
    2.6 (p + 1)² for the expansions of the boxes, plus the sorted results."""
    p = min(max(np.ceil(-3.0 * np.log10(tolerance)) + 2.0, 6.0), 20.0)
    return 2.6 * (p + 1.0) ** 2 + 24.0


def _scaled(callback, start, share):
    return lambda fraction: callback(start + share * fraction)


def _with_memory_message(call, what):
    try:
        return call()
    except MemoryError as error:
        raise MemoryError(f"out of memory {what}: give a smaller memory_limit (the default honours the machine's "
                          f"memory, RLIMIT_AS and cgroup limits) or fewer targets at a time"
                          + (f" ({error})" if str(error) else "")) from None
