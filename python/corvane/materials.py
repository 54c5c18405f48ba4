"""Materials of a model's regions: one object per region, holding its law and its data per element.

A magnetic material maps the field H at its elements' centroids to a
linearised law M = χ H + M0 there (`linearized`). Linear laws do not depend
on H, χ is one number per element and a model needs one solve. A material
with a B-H curve (`linear = False`) returns its tangent law at the given H,
χ being a 3×3 tensor per element, and the model's solve is a Newton
iteration on those tangents (`corvane.nonlinear_magnetization`).
"""
import numpy as np
from scipy.interpolate import CubicHermiteSpline, PchipInterpolator

from corvane import _validation

MU0 = 4e-7 * np.pi
# Plausible B-H tables: the saturation polarisation B - μ0 H of the strongest
# soft materials (iron-cobalt) is about 2.4 T, and the relative permeability
# of the most permeable alloys reaches a few 1e5. Tables beyond these have B
# in gauss, H in kA/m or the columns swapped.
MAX_POLARIZATION = 3.0
MAX_PERMEABILITY = 1e6


class Magnet:
    """A permanent magnet: M = Br/μ0 + χr H.

    remanence: Br (T) per element, (n, 3); recoil_susceptibility: χr >= 0.
    """

    kind = "magnet"
    linear = True

    def __init__(self, remanence, recoil_susceptibility):
        self.remanence = remanence
        self.recoil_susceptibility = recoil_susceptibility

    def linearized(self, h=None):
        """(χ per element (n,), M0 (n, 3) in A/m) of M = χ H + M0."""
        return np.full(len(self.remanence), self.recoil_susceptibility), self.remanence / MU0

    def __repr__(self):
        return f"Magnet(Br {_summary(self.remanence)} T, recoil susceptibility {self.recoil_susceptibility:g})"


class Soft:
    """A soft magnetic material of constant susceptibility: M = χ H.

    chi: χ >= 0; n: the number of elements.
    """

    kind = "soft"
    linear = True

    def __init__(self, chi, n):
        self.chi, self.n = chi, n

    def linearized(self, h=None):
        """(χ per element (n,), M0 (n, 3) in A/m) of M = χ H + M0."""
        return np.full(self.n, self.chi), np.zeros((self.n, 3))

    def __repr__(self):
        return f"Soft(chi {self.chi:g})"


class NonlinearSoft:
    """A soft magnetic material with a B-H curve: M = M(|H|) H/|H|, isotropic.

    curve: a `BHCurve`; n: the number of elements.
    """

    kind = "soft"
    linear = False

    def __init__(self, curve, n):
        self.curve, self.n = curve, n

    def magnetization(self, h):
        """M (n, 3) in A/m at the fields h (n, 3)."""
        return self.curve.secant(np.linalg.norm(h, axis=1))[:, None] * h

    def linearized(self, h):
        """(χ (n, 3, 3), M0 (n, 3) in A/m) of the tangent law M = χ H + M0 at the fields h (n, 3).

        χ = χd ĥĥᵀ + χs (I − ĥĥᵀ): the differential susceptibility dM/d|H|
        along the field, the secant M/|H| across it (a rotation of H at
        constant |H| turns M with it). M0 = M(h) − χ h = (χs − χd) |h| ĥ.
        """
        magnitude = np.linalg.norm(h, axis=1)
        secant, differential = self.curve.secant(magnitude), self.curve.differential(magnitude)
        unit = np.divide(h, magnitude[:, None], out=np.zeros_like(h), where=magnitude[:, None] > 0.0)
        outer = unit[:, :, None] * unit[:, None, :]
        chi = (differential - secant)[:, None, None] * outer + secant[:, None, None] * np.eye(3)
        return chi, (secant - differential)[:, None] * h

    def __repr__(self):
        return f"NonlinearSoft({self.curve!r})"


class BHCurve:
    """A B-H curve from a table: B (T) of H (A/m), H increasing from 0, B from 0.

    The material law M(H) = B/μ0 - H is interpolated, not B: M is the
    monotone cubic (PCHIP) through the points, so it rises wherever the
    table's M rises (the differential susceptibility stays >= 0 there), with
    slope 0 at the last point; beyond it M stays at its last value (full
    saturation, B grows with slope μ0), one C¹ curve with no kink for
    Newton's tangents. The slope at H = 0, the initial susceptibility, is
    between one and three times the first interval's (PCHIP's own end
    formula gives 0 for the usual S-shaped start). The table must start at
    (0, 0), both columns must increase strictly, B >= μ0 H must hold at
    the points, and the table must be one a material can have (B - μ0 H
    up to 3 T, B/(μ0 H) up to 1e6); B must also increase on the
    interpolated curve between them (a table whose M falls steeply between
    two points can break this).

    magnetization(h), secant(h) = M/h and differential(h) = dM/dh, for
    magnitudes h >= 0 (A/m), any shape.
    """

    # Points per interval at which the interpolated curve is checked for a falling B.
    _CHECKS = 32

    def __init__(self, h, b):
        h, b = _table("bh_curve", h, b)
        m = b / MU0 - h
        slopes = PchipInterpolator(h, m).derivative()(h)
        first = (m[1] - m[0]) / (h[1] - h[0])
        # Within [1, 3] times the chord on both end intervals: monotone there
        # (Fritsch-Carlson).
        slopes[0] = min(max(slopes[0], first), 3.0 * first)
        slopes[-1] = 0.0
        self._m = CubicHermiteSpline(h, m, slopes)
        self._dm = self._m.derivative()
        self.h, self.b = h, b
        self.saturation = m[-1]
        self.initial_susceptibility = slopes[0]
        # Between two points M stays between their values (so M >= 0), and
        # falls only where the table's M falls; B must not fall.
        low = _sample(h, self._CHECKS)
        falling = self._dm(low) <= -1.0
        if falling.any():
            raise ValueError(f"bh_curve: the curve interpolated between the points has B falling near "
                             f"H = {low[falling][0]:g} A/m; add points there")

    def magnetization(self, h):
        """M (A/m) at the field magnitudes h (A/m)."""
        h = np.asarray(h, dtype=np.float64)
        return np.where(h < self.h[-1], self._m(np.minimum(h, self.h[-1])), self.saturation)

    def secant(self, h):
        """M/h, the initial susceptibility at h = 0."""
        h = np.asarray(h, dtype=np.float64)
        m = self.magnetization(h)
        return np.divide(m, h, out=np.full(h.shape, self.initial_susceptibility), where=h > 0.0)

    def differential(self, h):
        """dM/dh, 0 beyond the last point."""
        h = np.asarray(h, dtype=np.float64)
        return np.where(h < self.h[-1], self._dm(np.minimum(h, self.h[-1])), 0.0)

    def __repr__(self):
        return (f"BHCurve({len(self.h)} points to {self.b[-1]:g} T at {self.h[-1]:g} A/m, "
                f"initial χ {self.initial_susceptibility:g}, saturation {self.saturation:g} A/m)")


def _table(name, h, b):
    h, b = _validation.real_array(f"{name} H", h), _validation.real_array(f"{name} B", b)
    if h.ndim != 1 or h.shape != b.shape:
        raise ValueError(f"{name} must be two 1-D arrays (H, B) of one length, got shapes {h.shape} and {b.shape}")
    if len(h) < 2:
        raise ValueError(f"{name} needs at least two points, got {len(h)}")
    if not (np.isfinite(h).all() and np.isfinite(b).all()):
        raise ValueError(f"{name} must be finite")
    if h[0] != 0.0 or b[0] != 0.0:
        raise ValueError(f"{name} must start at H = 0, B = 0, got ({h[0]:g} A/m, {b[0]:g} T)")
    for column, values, unit in (("H", h, "A/m"), ("B", b, "T")):
        step = np.flatnonzero(np.diff(values) <= 0.0)
        if step.size:
            k = step[0]
            raise ValueError(f"{name} is not monotone: {column} must increase strictly, got {values[k]:g} then "
                             f"{values[k + 1]:g} {unit} at points {k} and {k + 1}")
    low = np.flatnonzero(b < MU0 * h)
    if low.size:
        k = low[0]
        raise ValueError(f"{name} has B < μ0·H (M < 0) at point {k}: {b[k]:g} T at {h[k]:g} A/m, "
                         f"where μ0·H = {MU0 * h[k]:g} T")
    polarization = b - MU0 * h
    k = int(np.argmax(polarization))
    if polarization[k] > MAX_POLARIZATION:
        raise ValueError(f"{name} has B - μ0·H = {polarization[k]:g} T at point {k} ({b[k]:g} T at {h[k]:g} A/m), "
                         f"beyond any material's {MAX_POLARIZATION:g} T: B must be in tesla (not gauss) and the "
                         f"pair is (H, B), H first")
    permeability = np.divide(b, MU0 * h, out=np.zeros_like(b), where=h > 0.0)
    k = int(np.argmax(permeability))
    if permeability[k] > MAX_PERMEABILITY:
        raise ValueError(f"{name} has B/(μ0·H) = {permeability[k]:.3g} at point {k} ({b[k]:g} T at {h[k]:g} A/m), "
                         f"beyond any material's {MAX_PERMEABILITY:.0e}: H must be in A/m (not kA/m)")
    return h.copy(), b.copy()


def _sample(h, per_interval):
    """Points inside each interval of h, per_interval - 1 of them, evenly spaced."""
    t = np.arange(1, per_interval) / per_interval
    return (h[:-1, None] + t * np.diff(h)[:, None]).ravel()


class Coil:
    """A non-magnetic conductor carrying a current density J (A/m²) per element, (n, 3)."""

    kind = "coil"
    linear = True

    def __init__(self, current_density):
        self.current_density = current_density

    def __repr__(self):
        return f"Coil(J {_summary(self.current_density)} A/m²)"


def _summary(vectors):
    first = vectors[0]
    if (vectors == first).all():
        return "(" + ", ".join(f"{v:g}" for v in first) + ")"
    return f"varying, |max| {np.linalg.norm(vectors, axis=1).max():g}"


def piecewise_law(pieces):
    """law(h) -> (M (n, 3), dM/dH (n, 3, 3)) at fields h (n, 3), each material of pieces
    [(positions in h, material)] at its positions: its law linearised at h, M = χ h + M0."""
    def law(h):
        m, tangent = np.empty_like(h), np.empty((len(h), 3, 3))
        for at, material in pieces:
            chi, m0 = material.linearized(h[at])
            tangent[at] = chi if chi.ndim == 3 else chi[:, None, None] * np.eye(3)
            m[at] = np.einsum("nij,nj->ni", tangent[at], h[at]) + m0
        return m, tangent

    return law
