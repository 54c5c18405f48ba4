"""A magnetostatic model: a mesh, materials on its regions, coils and an applied field."""
import types

import numpy as np

from corvane import _validation
from corvane.field_sources import Sources
from corvane.magnetization import check_client, check_preconditioner, check_rtol, check_tolerance, solve_magnetization
from corvane.materials import BHCurve, Coil, Magnet, NonlinearSoft, Soft, piecewise_law
from corvane.mesh import Mesh
from corvane.nonlinear_magnetization import solve_nonlinear_magnetization
from corvane.solution import Solution


class Model:
    """Regions of a `corvane.Mesh` made magnets, soft magnetic parts or coils, in an optional uniform field.

        model = corvane.Model(mesh)
        model.add_magnet("magnet", remanence=(0, 0, 1.2), recoil_susceptibility=0.05)
        model.add_soft("yoke", chi=1000)                 # or bh_curve=(H, B)
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
        strongest = np.linalg.norm(remanence, axis=1).max(initial=0.0)
        if strongest > _STRONGEST_REMANENCE:
            raise ValueError(f"remanence is Br in tesla, and {strongest:g} T is beyond any magnet; "
                             f"for a magnetisation M in A/m give μ0·M")
        chi = _susceptibility("recoil_susceptibility", recoil_susceptibility)
        self._assign(region, elements, Magnet(remanence, chi))

    def add_soft(self, region, *, chi=None, bh_curve=None):
        """Make a region soft magnetic material: linear with chi, or saturating with bh_curve.

        chi: the susceptibility χ >= 0, M = χ H.
        bh_curve: (H, B), the material's B-H curve as a datasheet gives it:
        H in A/m increasing from 0, B in tesla increasing from 0, with
        B >= μ0 H; or a `corvane.materials.BHCurve` made from such a table.
        M = M(|H|) H/|H| with M(|H|) the monotone cubic (PCHIP) through the
        points' B/μ0 - H, constant beyond the last one (B grows with slope
        μ0). The model's solve is then a Newton iteration.
        Give exactly one of the two.
        """
        if (chi is None) == (bh_curve is None):
            raise TypeError("add_soft takes exactly one of chi=... (linear) and bh_curve=(H, B) (saturating)")
        elements = self._region(region)
        if chi is not None:
            material = Soft(_susceptibility("chi", chi), len(elements))
        else:
            material = NonlinearSoft(_curve(bh_curve), len(elements))
        self._assign(region, elements, material)

    def add_coil(self, region, *, current_density):
        """Make a region a non-magnetic conductor carrying a current density J (A/m²).

        current_density: one vector (3,) or a function of the region's element
        centroids (n, 3) returning (n, 3), say an azimuthal J for a solenoid.
        """
        elements = self._region(region)
        current = _per_element("current_density", current_density, self.mesh.centroids[elements])
        self._assign(region, elements, Coil(current))

    def solve(self, *, rtol=1e-6, tolerance=None, max_evaluations=500, n_threads=0, progress=False,
              preconditioner="auto", client=None):
        """Magnetisation and field of every element; returns a `corvane.Solution`.

        The magnetisation of soft parts and of magnets with recoil
        susceptibility is solved for, driven by remanent magnetisation, the
        coils' field at the centroids and the applied field: with linear
        materials in one Krylov solve (`corvane.solve_magnetization`), with a
        B-H curve by a Newton iteration whose steps are such solves
        (`corvane.nonlinear_magnetization`). rtol, in (0, 0.5), bounds the
        residual of the field relative to the field that drives the
        magnetisation, and max_evaluations the number of field evaluations
        of the magnetisation in all; RuntimeError names the residual reached
        when it is not within rtol by then. Without such parts the fields
        are evaluated once, with no solve. tolerance: None for exact element
        integrals summed directly (accurate to about 1e-13), or the relative
        error (1e-10 to 1e-2) of a
        `corvane.FieldOperator` used for every field evaluation, in the solve
        and afterwards. progress: a progress bar (tqdm) for the solve and its
        evaluations (and the Newton iterations), not for the solution's
        later fields (their calls take progress=True themselves).
        preconditioner: "auto", "potential", "air" or None, as for
        `corvane.solve_magnetization`; what the solve did is in the
        solution's `info`. client: a `dask.distributed.Client` (with a
        tolerance) to build and apply the solve's FieldOperator on its workers.
        """
        rtol = check_rtol(rtol)
        tolerance = check_tolerance(tolerance)
        max_evaluations = _validation.count("max_evaluations", max_evaluations, minimum=1)
        n_threads = _validation.count("n_threads", n_threads, minimum=0)
        progress = _validation.flag("progress", progress)
        preconditioner = check_preconditioner(preconditioner)
        check_client(client, tolerance)

        n = len(self.mesh.connectivity)
        current = np.zeros((n, 3))
        for name, material in self._materials.items():
            if material.kind == "coil":
                current[self.mesh.regions[name]] = material.current_density
        coils = Sources(self.mesh.nodes, self.mesh.connectivity, np.zeros((n, 3)), current, self._applied,
                        tolerance=tolerance, n_threads=n_threads)
        h_ext = coils.H(self.mesh.centroids, progress)
        options = dict(rtol=rtol, max_evaluations=max_evaluations, tolerance=tolerance, n_threads=n_threads,
                       progress=progress, preconditioner=preconditioner, return_info=True, client=client)
        magnetic = {name: material for name, material in self._materials.items() if material.kind != "coil"}
        if all(material.linear for material in magnetic.values()):
            chi, remanence = np.zeros(n), np.zeros((n, 3))
            for name, material in magnetic.items():
                elements = self.mesh.regions[name]
                chi[elements], remanence[elements] = material.linearized()
            M, H, info = solve_magnetization(self.mesh.nodes, self.mesh.connectivity, chi, h_ext, remanence=remanence,
                                       **options)
        else:
            law, responsive, remanence = self._nonlinear_law(magnetic)
            M, H, info = solve_nonlinear_magnetization(self.mesh.nodes, self.mesh.connectivity, law, responsive, h_ext,
                                                 remanence, **options)
        sources = Sources(self.mesh.nodes, self.mesh.connectivity, M, current, self._applied,
                          tolerance=tolerance, n_threads=n_threads)
        return Solution(self.mesh, dict(self._materials), self._owner >= 0, sources, H, h_source=h_ext, info=info)

    def _nonlinear_law(self, magnetic):
        """(law, responsive, remanence) for `solve_nonlinear_magnetization`.

        Elements whose magnetisation responds to the field (every element of
        a nonlinear material, and of a linear one with χ > 0) are responsive;
        law(h) gives their M and dM/dH at the fields h there. The rest of the
        magnetic elements are rigid magnets, of fixed magnetisation.
        """
        n = len(self.mesh.connectivity)
        responsive, remanence = np.zeros(n, dtype=bool), np.zeros((n, 3))
        pieces = []
        for name, material in magnetic.items():
            elements = self.mesh.regions[name]
            if material.linear:
                chi, m0 = material.linearized()
                if not chi.any():
                    remanence[elements] = m0
                    continue
            responsive[elements] = True
            pieces.append((elements, material))
        position = np.cumsum(responsive) - 1
        return piecewise_law([(position[elements], material) for elements, material in pieces]), responsive, remanence

    def _region(self, region):
        elements = self.mesh.region(region)
        if region in self._materials:
            raise ValueError(f"region {region!r} already has a material: {self._materials[region]!r}")
        if not len(elements):
            raise ValueError(f"region {region!r} holds no elements: a material needs some")
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


# Br of the strongest magnets is about 1.5 T; anything past this is a
# magnetisation given in A/m by mistake.
_STRONGEST_REMANENCE = 5.0


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


def _curve(bh_curve):
    if isinstance(bh_curve, BHCurve):
        return bh_curve
    try:
        h, b = bh_curve
    except (TypeError, ValueError):
        raise TypeError("bh_curve must be a pair (H, B) of 1-D arrays, H in A/m and B in T, "
                        "or a corvane.materials.BHCurve") from None
    return BHCurve(h, b)


def _susceptibility(name, value):
    value = _validation.real(name, value)
    if not (np.isfinite(value) and value >= 0.0):
        raise ValueError(f"{name} must be finite and >= 0, got {value!r}")
    return value
