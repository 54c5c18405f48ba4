"""Materials of a model's regions: one object per region, holding its law and its data per element.

A magnetic material maps the field H at its elements' centroids to a
linearised law M = χ H + M0 there (`linearized`). The laws here are linear, so
the linearisation does not depend on H and a model needs one solve; a
nonlinear B-H curve would return its secant or tangent law at the given H and
set `linear = False`, and the model would repeat the solve until M and H agree.
"""
import numpy as np

MU0 = 4e-7 * np.pi


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
