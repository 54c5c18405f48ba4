"""The solved state of a model: magnetisation and field per element, fields anywhere, forces, files."""
import errno
import os
import shutil
import tempfile

import numpy as np

from corvane import _validation
from corvane.flux_recovery import recovered_flux
from corvane.forces import METHODS, force_and_torque
from corvane.materials import MU0, piecewise_law
from corvane.point_location import Locator


class Solution:
    """What `Model.solve` returns.

    M, H: the magnetisation (A/m) and the total field (A/m) of every
    element, at its centroid, (n_elements, 3), as the solve found them: the
    sources of every field; J: the current density (A/m²). flux_density:
    B (T) of every element, (n_elements, 3): inside soft parts from
    their own potential problem with the solve's flux through their surface
    (`corvane.flux_recovery`; at high χ the solve's M there is right in its
    charges, and so in every field outside, but not element by element),
    elsewhere μ0 (H + M). B(points), H_at(points), A(points): the fields of all sources at
    any points (n, 3) or one point (3,), B inside soft parts from
    flux_density; a point on a face, edge or node of
    an element with a source gets the limit from inside the element that
    holds it (on a magnet's surface, the field just inside). force(region), torque(region,
    about=...): on a region, without its own field. write(path): a file for
    ParaView. plot(): a section with field lines. info: what the solve did
    (field evaluations, seconds, the relative residual reached, Newton
    iterations with a B–H curve, the preconditioner's name, set-up and
    application seconds and bytes).
    """

    def __init__(self, mesh, materials, has_material, sources, H, *, h_source=None, progress=False, info=None):
        self.mesh, self.materials = mesh, materials
        # The applied field and the coils' at every centroid, for the flux recovery.
        self._h_source = h_source
        self._has_material = has_material
        self._sources, self._progress = sources, progress
        self.M, self.H, self.J = sources.magnetization, H, sources.current
        for array in (self.M, self.H, self.J):
            array.flags.writeable = False
        self._locator = None
        self._source_locator = None
        self._corners = {}
        self._flux = None
        self._forces = {}
        self.info = dict(info or {})

    # --- fields ------------------------------------------------------------------------------

    def H_at(self, points, *, progress=None):
        """H (A/m) at the points: applied field, coils and all magnetisation."""
        points, single = self._placed(points)
        h = self._sources.H(points, self._show(progress))
        return h[0] if single else h

    def B(self, points, *, progress=None):
        """B (T) at the points: flux_density inside soft parts, μ0 (H + M) inside other
        magnetised elements, μ0 H elsewhere."""
        points, single = self._placed(points)
        b = self._flux_at(points, self._show(progress))
        return b[0] if single else b

    def A(self, points, *, progress=None):
        """A (T·m) at the points; the applied field's part is μ0/2 H0 × r."""
        points, single = self._placed(points)
        a = self._sources.A(points, self._show(progress))
        return a[0] if single else a

    @property
    def flux_density(self):
        """B (T) of every element, (n_elements, 3): recovered inside soft parts, else μ0 (H + M)."""
        if self._flux is None:
            flux = MU0 * (self.H + self.M)
            parts = self._recovered_parts()
            if parts:
                elements = np.concatenate([elements for elements, _ in parts])
                ends = np.cumsum([len(e) for e, _ in parts])
                law = piecewise_law([(np.arange(end - len(e), end), material)
                                     for (e, material), end in zip(parts, ends)])
                flux[elements] = recovered_flux(self.mesh.nodes, self.mesh.connectivity, elements, law,
                                                self._h_source[elements], flux, self.H[elements])
            flux.flags.writeable = False
            self._flux = flux
        return self._flux

    def _flux_at(self, points, progress, smooth=False):
        """B at placed points; smooth: inside magnetised elements, linear between the corners' means.

        Inside a soft part, μ0 (H + M) plus the element's correction to its flux_density: B
        keeps the field's variation within the element, and its normal component stays continuous
        across the part's surface (the correction's is zero there, the flux being the solve's).
        """
        element = self._magnetized_locator()(points)
        b = MU0 * (self._sources.H(points, progress) + self._magnetization_at(points, smooth, element))
        recovered = np.zeros(len(self.M), dtype=bool)
        for elements, _ in self._recovered_parts():
            recovered[elements] = True
        inside = np.flatnonzero(element >= 0)
        inside = inside[recovered[element[inside]]]
        if inside.size:
            # The recovery runs once, when a point first falls in such a part.
            correction = self.flux_density - MU0 * (self.H + self.M)
            b[inside] += (self._within(points[inside], element[inside], correction, "correction") if smooth
                          else correction[element[inside]])
        return b

    def _recovered_parts(self):
        """[(elements, material)] of the soft parts, whose B the flux recovery gives."""
        if self._h_source is None:
            return []
        return [(self.mesh.regions[name], material) for name, material in self.materials.items()
                if material.kind == "soft"]

    def _placed(self, points):
        """(points, single) as `_points` gives them, those on the boundary of an element with a
        source moved a hair into it: a magnetised one where there is one (the field of currents
        does not jump, that of magnetisation does), else one with a current."""
        points, single = _points(points)
        if self._source_locator is None:
            carrying = np.flatnonzero(self.J.any(axis=1) & ~self.M.any(axis=1))
            self._source_locator = Locator(self.mesh.nodes, self.mesh.connectivity, carrying)
        return self._source_locator.off_boundaries(self._magnetized_locator().off_boundaries(points)), single

    def _show(self, progress):
        return self._progress if progress is None else _validation.flag("progress", progress)

    def _magnetization_at(self, points, smooth=False, element=None):
        """M at the points: the element's constant value, or (smooth) its corners' values interpolated linearly;
        element: the magnetised element holding each point (-1 for none), when already located."""
        if element is None:
            element = self._magnetized_locator()(points)
        if not smooth:
            return np.where(element[:, None] >= 0, self.M[np.maximum(element, 0)], 0.0)
        inside = np.flatnonzero(element >= 0)
        m = np.zeros((len(points), 3))
        if inside.size:
            m[inside] = self._within(points[inside], element[inside], self.M, "M")
        return m

    def _within(self, points, elements, values, name):
        """Per-element values at points in those elements, linear between the corners' means."""
        corners = self.mesh.nodes[self.mesh.connectivity[elements]]                     # (k, 4, 3)
        edges = np.stack([corners[:, k] - corners[:, 0] for k in (1, 2, 3)], axis=2)
        lam = np.linalg.solve(edges, (points - corners[:, 0])[:, :, None])[:, :, 0]
        weights = np.column_stack([1.0 - lam.sum(axis=1), lam])
        return np.einsum("ki,kij->kj", weights, self._corner_values(values, name)[elements])

    def _magnetized_locator(self):
        if self._locator is None:
            self._locator = Locator(self.mesh.nodes, self.mesh.connectivity, np.flatnonzero(self.M.any(axis=1)))
        return self._locator

    def _corner_values(self, values, name):
        """Per element and corner (n_elements, 4, 3): the volume-weighted mean of the values of the
        elements of its material's region at that node, so that they are continuous within each part."""
        if name not in self._corners:
            connectivity, volumes = self.mesh.connectivity, self.mesh.volumes
            corners = np.zeros((len(connectivity), 4, 3))
            for name in self.materials:
                elements = self.mesh.regions[name]
                nodes = connectivity[elements].ravel()
                weight = np.repeat(volumes[elements], 4)
                total = np.zeros(len(self.mesh.nodes))
                summed = np.zeros((len(self.mesh.nodes), 3))
                np.add.at(total, nodes, weight)
                np.add.at(summed, nodes, weight[:, None] * np.repeat(values[elements], 4, axis=0))
                at_nodes = summed / np.maximum(total, 1e-300)[:, None]
                corners[elements] = at_nodes[connectivity[elements]]
            self._corners[name] = corners
        return self._corners[name]

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
            raise ValueError(f"region {region!r} holds the whole mesh: force and torque count the sources "
                             f"outside the region, and there are none; a uniform applied field H0 alone gives "
                             f"no force and the torque μ0 Σ V M × H0 (from sol.M and mesh.volumes)")
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
        """Write the mesh with cell data "region" (see region_ids), "M", "H", "B" (flux_density; and "J" with coils);
        a .msh file also holds the regions as physical groups, which `read_mesh` reads back by name.

        The format follows the file name: .vtu (ParaView), .vtk, .msh (gmsh),
        .xdmf or .xmf (data inline as XML, no .h5 beside it; needs h5py,
        which meshio's writer imports), .avs, .dat or .tec (Tecplot, vectors
        as three components). Formats that cannot hold tetrahedra with cell
        data (.stl, .ply, .off, .obj, .h5m, ...) are refused with ValueError
        before anything is written. The file is written beside its final
        name and then renamed over it: a failed write (a full disk, say)
        raises OSError and leaves an earlier file of that name as it was.
        """
        import meshio

        path = os.fspath(path)
        file_format = _write_format(path)
        cell_data = {"region": [self.region_ids()], "M": [np.array(self.M)], "H": [np.array(self.H)],
                     "B": [np.array(self.flux_density)]}
        if self.J.any():
            cell_data["J"] = [np.array(self.J)]
        field_data = {}
        if file_format == "gmsh22":
            # Regions as physical groups, so that read_mesh gives them back by
            # name (numbered ones keep their number); 0 is no group.
            names = list(self.mesh.regions)
            numbers = [name for name in names if isinstance(name, int) and name > 0]
            tags, spare = [], max(numbers, default=0) + 1
            for name in names:
                if isinstance(name, int) and name > 0:
                    tags.append(name)
                else:
                    tags.append(spare)
                    field_data[str(name)] = np.array([spare, 3])
                    spare += 1
            ids = self.region_ids()
            group = np.where(ids >= 0, np.array(tags + [0])[ids], 0)
            cell_data["gmsh:physical"] = cell_data["gmsh:geometrical"] = [group]
        mesh = meshio.Mesh(np.array(self.mesh.nodes), [("tetra", self.mesh.connectivity.astype(np.int64))],
                           cell_data=cell_data, field_data=field_data)
        options = {"data_format": "XML"} if file_format == "xdmf" else {}
        if file_format == "xdmf":
            try:
                import h5py  # noqa: F401
            except ImportError:
                raise ImportError(f"{path}: meshio's XDMF writer needs h5py (pip install h5py); "
                                  ".vtu needs nothing more") from None
        _atomic_write(path, lambda temporary: meshio.write(temporary, mesh, file_format=file_format, **options))

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


# File endings that hold tetrahedra with vector cell data, and meshio's writer for each.
# .msh as MSH 2.2, whose elements carry their physical group each (meshio's MSH 4.1 writer drops them).
_WRITERS = {".vtu": "vtu", ".vtk": "vtk", ".msh": "gmsh22", ".xdmf": "xdmf", ".xmf": "xdmf", ".avs": "avsucd",
            ".dat": "tecplot", ".tec": "tecplot"}


def _write_format(path):
    """meshio's format name for a file name, or ValueError naming a format that cannot hold the solution."""
    import meshio

    name = os.path.basename(path).lower()
    ending = next((e for e in _WRITERS if name.endswith(e)), None)
    if ending is not None:
        return _WRITERS[ending]
    known = sorted((e for e in meshio.extension_to_filetypes if name.endswith(e)), key=len)
    suffix = known[-1] if known else os.path.splitext(name)[1] or "(none)"
    what = (f"the {meshio.extension_to_filetypes[suffix][0]} format ({suffix}) cannot hold tetrahedra with the "
            "cell data M, H and B" if known else f"{suffix} is not a mesh format corvane writes")
    raise ValueError(f"{path}: {what}; write one of {', '.join(_WRITERS)}")


def _atomic_write(path, write):
    """Runs write(temporary name) in a new directory beside path, then renames every file it made into place.

    The directory is on the same file system, so each rename is atomic; on
    any failure the directory and what it holds are removed, and files
    already at path are untouched.
    """
    # Through a symbolic link to the file it names, as writing in place would.
    path = os.path.realpath(path)
    folder = os.path.dirname(path)
    if not os.path.isdir(folder):
        raise FileNotFoundError(errno.ENOENT, "no directory to write the file in", folder)
    for name, what in ((path, "the file"), (folder, "its directory")):
        if os.path.exists(name) and not os.access(name, os.W_OK):
            raise PermissionError(errno.EACCES, f"{what} is not writable", name)
    staging = tempfile.mkdtemp(prefix=".corvane-write-", dir=folder)
    try:
        write(os.path.join(staging, os.path.basename(path)))
        if os.path.exists(path):
            # The new file keeps the permissions of the one it replaces.
            shutil.copymode(path, os.path.join(staging, os.path.basename(path)))
        # Files beside the main one (an .h5, say) first, the main one last.
        made = sorted(os.listdir(staging), key=lambda name: name == os.path.basename(path))
        for name in made:
            os.replace(os.path.join(staging, name), os.path.join(folder, name))
    finally:
        for name in os.listdir(staging):
            os.unlink(os.path.join(staging, name))
        os.rmdir(staging)
