"""The solved state of a model: magnetisation and field per element, fields anywhere, forces, files."""
import numpy as np

from corvane import _validation
from corvane.forces import METHODS, force_and_torque
from corvane.materials import MU0
from corvane.point_location import Locator


class Solution:
    """What `Model.solve` returns.

    M, H: the magnetisation (A/m) and the total field (A/m) of every
    element, at its centroid, (n_elements, 3); J: the current density
    (A/m²). B(points), H_at(points), A(points): the fields of all sources at
    any points (n, 3) or one point (3,). force(region), torque(region,
    about=...): on a region, without its own field. write(path): a file for
    ParaView. plot(): a section with field lines. info: what the solve did
    (field evaluations, seconds, the preconditioner's name, set-up and
    application seconds and bytes).
    """

    def __init__(self, mesh, materials, has_material, sources, H, *, progress=False, info=None):
        self.mesh, self.materials = mesh, materials
        self._has_material = has_material
        self._sources, self._progress = sources, progress
        self.M, self.H, self.J = sources.magnetization, H, sources.current
        for array in (self.M, self.H, self.J):
            array.flags.writeable = False
        self._locator = None
        self._forces = {}
        self.info = dict(info or {})

    # --- fields ------------------------------------------------------------------------------

    def H_at(self, points, *, progress=None):
        """H (A/m) at the points: applied field, coils and all magnetisation."""
        points, single = _points(points)
        h = self._sources.H(points, self._show(progress))
        return h[0] if single else h

    def B(self, points, *, progress=None):
        """B (T) at the points: μ0 (H + M) inside magnetised elements, μ0 H elsewhere."""
        points, single = _points(points)
        b = MU0 * (self._sources.H(points, self._show(progress))
                   + self._magnetization_at(points))
        return b[0] if single else b

    def A(self, points, *, progress=None):
        """A (T·m) at the points; the applied field's part is μ0/2 H0 × r."""
        points, single = _points(points)
        a = self._sources.A(points, self._show(progress))
        return a[0] if single else a

    def _show(self, progress):
        return self._progress if progress is None else _validation.flag("progress", progress)

    def _magnetization_at(self, points):
        if self._locator is None:
            magnetized = np.flatnonzero(self.M.any(axis=1))
            self._locator = Locator(self.mesh.nodes, self.mesh.connectivity, magnetized)
        element = self._locator(points)
        return np.where(element[:, None] >= 0, self.M[np.maximum(element, 0)], 0.0)

    # --- forces ------------------------------------------------------------------------------

    def force(self, region, *, method="auto"):
        """Force (N) on a region, (3,), from everything but the region's own field.

        method: "auto" is the Maxwell stress over a surface in air around the
        region when air surrounds it, else the force on the region's magnetic
        charges (bodies that touch or nearly touch); "maxwell", "charge" or
        "kelvin" (the Kelvin force density) choose one; currents take J × B
        in the last two (see `corvane.forces`).
        """
        return self._force_and_torque(region, method)[0].copy()

    def torque(self, region, *, about=(0.0, 0.0, 0.0), method="auto"):
        """Torque (N·m) on a region about a point, (3,), from everything but its own field."""
        about = _validation.real_array("about", about)
        if about.shape != (3,) or not np.isfinite(about).all():
            raise ValueError(f"about must be one finite point of shape (3,), got shape {about.shape}")
        force, torque_origin = self._force_and_torque(region, method)[:2]
        return torque_origin - np.cross(about, force)

    def force_method(self, region, *, method="auto"):
        """Which way `force` and `torque` compute on the region: "maxwell", "charge" or "kelvin"."""
        return self._force_and_torque(region, method)[2]

    def _force_and_torque(self, region, method):
        if method not in METHODS:
            raise ValueError(f"method must be one of {', '.join(map(repr, METHODS))}, got {method!r}")
        elements = self.mesh.region(region)
        if len(elements) == len(self.mesh.connectivity):
            raise ValueError(f"region {region!r} holds the whole mesh: a force needs sources outside the "
                             f"region, and a uniform applied field alone gives none")
        key = (region, method)
        if key not in self._forces:
            air = ~(self._has_material | self.M.any(axis=1) | self.J.any(axis=1))
            result = force_and_torque(self.mesh, self._sources, air, elements, method, self._progress)
            # "auto" also answers a later call naming the method it chose.
            self._forces[key] = self._forces.setdefault((region, result[2]), result)
        return self._forces[key]

    # --- output ------------------------------------------------------------------------------

    def region_ids(self):
        """Per element, the position in `mesh.regions` of the first region holding it, -1 for none."""
        ids = np.full(len(self.mesh.connectivity), -1, dtype=np.int32)
        for k, elements in reversed(list(enumerate(self.mesh.regions.values()))):
            ids[elements] = k
        return ids

    def write(self, path):
        """Write the mesh with cell data "region" (see region_ids), "M", "H", "B" (and "J" with coils).

        Any format meshio writes, chosen by the file name: .vtu for ParaView.
        """
        import meshio

        cell_data = {"region": [self.region_ids()], "M": [np.array(self.M)], "H": [np.array(self.H)],
                     "B": [MU0 * (self.H + self.M)]}
        if self.J.any():
            cell_data["J"] = [np.array(self.J)]
        meshio.write(path, meshio.Mesh(np.array(self.mesh.nodes), [("tetra", self.mesh.connectivity.astype(np.int64))],
                                       cell_data=cell_data))

    def plot(self, plane="y", quantity="|B|", **options):
        """A matplotlib Figure of a section: the quantity in colour, field lines, region outlines.

        See `corvane.plotting.section` for plane, quantity and options.
        """
        from corvane.plotting import section

        return section(self, plane=plane, quantity=quantity, **options)

    def __repr__(self):
        return (f"Solution({len(self.M)} elements, |M| up to {np.linalg.norm(self.M, axis=1).max():.4g} A/m, "
                f"|H| up to {np.linalg.norm(self.H, axis=1).max():.4g} A/m)")


def _points(points):
    array = _validation.real_array("points", points)
    single = array.shape == (3,)
    return _validation.points("points", array.reshape(1, 3) if single else array), single
