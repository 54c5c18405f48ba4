"""A magnetostatic model: a mesh, materials on its regions, coils and an applied field."""
import types

import numpy as np

from corvane import _validation
from corvane.field_sources import Sources
from corvane.magnetization import check_tolerance, solve_magnetization
from corvane.materials import Coil, Magnet, Soft
from corvane.mesh import Mesh
from corvane.solution import Solution


class Model:
    """Regions of a `corvane.Mesh` made magnets, soft magnetic parts or coils, in an optional uniform field.

        model = corvane.Model(mesh)
        model.add_magnet("magnet", remanence=(0, 0, 1.2), recoil_susceptibility=0.05)
        model.add_soft("yoke", chi=1000)
        model.add_coil("coil", current_density=(0, 0, 2e6))
        model.applied_field = (0, 0, 1e3)
        solution = model.solve()

    Elements in no region with a material are air. `materials` maps each
    region given a material to its material object (`corvane.materials`).
    """

    def __init__(self, mesh):
        if not isinstance(mesh, Mesh):
            raise TypeError(f"Model takes a corvane.Mesh (see corvane.read_mesh), got {type(mesh).__name__}")
        self.mesh = mesh
        self._materials = {}
        # Per element, the position of its material's region in _materials, -1 for air.
        self._owner = np.full(len(mesh.connectivity), -1, dtype=np.int64)
        self._applied = np.zeros(3)

    @property
    def materials(self):
        """{region: material}, read-only."""
        return types.MappingProxyType(self._materials)

    @property
    def applied_field(self):
        """The uniform applied field H0 (A/m), (3,)."""
        return self._applied.copy()

    @applied_field.setter
    def applied_field(self, value):
        self._applied = _vector("applied_field", value)

    def add_magnet(self, region, *, remanence, recoil_susceptibility=0.0):
        """Make a region a permanent magnet: M = Br/μ0 + χr H.

        remanence: Br in tesla, one vector (3,) or a function of the
        region's element centroids (n, 3) returning (n, 3).
        recoil_susceptibility: χr >= 0 (about 0.05 for NdFeB); with χr > 0
        the magnet's magnetisation responds to the field and is solved for.
        """
        elements = self._region(region)
        remanence = _per_element("remanence", remanence, self.mesh.centroids[elements])
        chi = _susceptibility("recoil_susceptibility", recoil_susceptibility)
        self._assign(region, elements, Magnet(remanence, chi))

    def add_soft(self, region, *, chi):
        """Make a region soft magnetic material of susceptibility χ >= 0: M = χ H."""
        elements = self._region(region)
        self._assign(region, elements, Soft(_susceptibility("chi", chi), len(elements)))

    def add_coil(self, region, *, current_density):
        """Make a region a non-magnetic conductor carrying a current density J (A/m²).

        current_density: one vector (3,) or a function of the region's element
        centroids (n, 3) returning (n, 3), say an azimuthal J for a solenoid.
        """
        elements = self._region(region)
        current = _per_element("current_density", current_density, self.mesh.centroids[elements])
        self._assign(region, elements, Coil(current))

    def solve(self, *, rtol=1e-6, tolerance=None, max_evaluations=500, n_threads=0, progress=False):
        """Magnetisation and field of every element; returns a `corvane.Solution`.

        The magnetisation of soft parts and of magnets with recoil
        susceptibility is solved for in one Krylov solve
        (`corvane.solve_magnetization`, with rtol and max_evaluations):
        remanent magnetisation, the coils' field at the centroids and the
        applied field drive it. Without such parts the fields are evaluated
        once, with no solve. tolerance: None for exact element integrals
        summed directly, or the relative error (1e-6 to 1e-2) of a
        `corvane.FieldOperator` used for every field evaluation, in the solve
        and afterwards. progress: a progress bar (tqdm) for the solve and the
        evaluations.
        """
        rtol = _validation.real("rtol", rtol)
        if not rtol > 0.0:
            raise ValueError(f"rtol must be > 0, got {rtol!r}")
        tolerance = check_tolerance(tolerance)
        max_evaluations = _validation.count("max_evaluations", max_evaluations, minimum=1)
        n_threads = _validation.count("n_threads", n_threads, minimum=0)
        progress = _validation.flag("progress", progress)

        n = len(self.mesh.connectivity)
        chi, remanence, current = np.zeros(n), np.zeros((n, 3)), np.zeros((n, 3))
        for name, material in self._materials.items():
            elements = self.mesh.regions[name]
            if material.kind == "coil":
                current[elements] = material.current_density
            else:
                chi[elements], remanence[elements] = material.linearized()
        coils = Sources(self.mesh.nodes, self.mesh.connectivity, np.zeros((n, 3)), current, self._applied,
                        tolerance=tolerance, n_threads=n_threads)
        h_ext = coils.H(self.mesh.centroids, progress)
        M, H = solve_magnetization(self.mesh.nodes, self.mesh.connectivity, chi, h_ext, remanence=remanence,
                                   rtol=rtol, max_evaluations=max_evaluations, tolerance=tolerance,
                                   n_threads=n_threads, progress=progress)
        sources = Sources(self.mesh.nodes, self.mesh.connectivity, M, current, self._applied,
                          tolerance=tolerance, n_threads=n_threads)
        return Solution(self.mesh, dict(self._materials), self._owner >= 0, sources, H, progress=progress)

    def _region(self, region):
        elements = self.mesh.region(region)
        if region in self._materials:
            raise ValueError(f"region {region!r} already has a material: {self._materials[region]!r}")
        return elements

    def _assign(self, region, elements, material):
        taken = self._owner[elements]
        if (taken >= 0).any():
            other = list(self._materials)[taken[taken >= 0][0]]
            raise ValueError(f"regions {other!r} and {region!r} share {(taken >= 0).sum()} elements; "
                             f"{other!r} already has a material and an element takes one")
        self._owner[elements] = len(self._materials)
        self._materials[region] = material

    def __repr__(self):
        lines = [f"Model({self.mesh!r}"] + [f"  {name!r}: {material!r}" for name, material in self._materials.items()]
        if self._applied.any():
            lines.append(f"  applied field {tuple(self._applied.tolist())} A/m")
        return "\n".join(lines) + ")"


def _vector(name, value):
    vector = _validation.real_array(name, value)
    if vector.shape != (3,):
        raise ValueError(f"{name} must be one vector of shape (3,), got shape {vector.shape}")
    if not np.isfinite(vector).all():
        raise ValueError(f"{name} must be finite")
    return vector.copy()


def _per_element(name, value, centroids):
    if callable(value):
        vectors = _validation.real_array(f"{name}(centroids)", value(centroids.copy()))
        if vectors.shape != centroids.shape:
            raise ValueError(f"{name}(centroids) must return shape {centroids.shape}, got {vectors.shape}")
        if not np.isfinite(vectors).all():
            raise ValueError(f"{name}(centroids) must be finite")
        return vectors.copy()
    vector = _validation.real_array(name, value)
    if vector.shape != (3,):
        raise ValueError(f"{name} must be one vector of shape (3,) or a function of the centroids, "
                         f"got shape {vector.shape}")
    if not np.isfinite(vector).all():
        raise ValueError(f"{name} must be finite")
    return np.tile(vector, (len(centroids), 1))


def _susceptibility(name, value):
    value = _validation.real(name, value)
    if not (np.isfinite(value) and value >= 0.0):
        raise ValueError(f"{name} must be finite and >= 0, got {value!r}")
    return value
