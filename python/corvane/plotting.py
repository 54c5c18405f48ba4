"""Pictures of a solution: a plane section of a field with field lines and the regions' outlines."""
import numpy as np

import _corvane
from corvane import _validation

_PLANES = {"x": (0, 1, 2), "y": (1, 0, 2), "z": (2, 0, 1)}   # normal axis, horizontal axis, vertical axis
_QUANTITIES = ("|B|", "Bx", "By", "Bz", "|H|", "Hx", "Hy", "Hz")


def section(solution, *, plane="y", quantity="|B|", at=0.0, extent=None, resolution=160, field_lines=True,
            log=False, smooth=True, ax=None, progress=None):
    """A matplotlib Figure of a quantity on the plane x, y or z = at.

    quantity: "|B|", "Bx", "By", "Bz" (T) or "|H|", "Hx", "Hy", "Hz" (A/m);
    field lines follow the in-plane part of B (or of H). extent:
    (horizontal min, max, vertical min, max) in metres; by default the
    magnetised and current-carrying elements with a margin of a third of
    their size. resolution: grid points along the longer side. log: a
    logarithmic colour scale (magnitudes only). smooth: B inside the
    magnetised parts with their magnetisation interpolated linearly between
    the nodes (volume-weighted means of each part's elements) instead of
    each element's constant value, whose mosaic would hide the field's
    course on a coarse mesh; False shows `Solution.B` as it is. ax: a
    matplotlib Axes to draw into (default: a new Figure). The outlines are
    those of the regions with a material.
    """
    import matplotlib.pyplot as plt
    from matplotlib.collections import LineCollection

    if not isinstance(plane, str) or plane not in _PLANES:
        raise ValueError(f"plane must be 'x', 'y' or 'z', got {plane!r}")
    if not isinstance(quantity, str) or quantity not in _QUANTITIES:
        raise ValueError(f"quantity must be one of {', '.join(_QUANTITIES)}, got {quantity!r}")
    log, field_lines = _validation.flag("log", log), _validation.flag("field_lines", field_lines)
    smooth = _validation.flag("smooth", smooth)
    if log and not quantity.startswith("|"):
        raise ValueError(f"log needs a magnitude, |B| or |H|, got {quantity!r}")
    at = _validation.real("at", at)
    if not np.isfinite(at):
        raise ValueError(f"at must be finite, got {at}")
    resolution = _validation.count("resolution", resolution, minimum=4, maximum=100_000)
    normal, across, up = _PLANES[plane]
    mesh = solution.mesh
    if extent is None:
        extent = _default_extent(solution, across, up)
    u0, u1, v0, v1 = _extent(extent)
    scale = resolution / max(u1 - u0, v1 - v0)
    nu, nv = max(4, round((u1 - u0) * scale)), max(4, round((v1 - v0) * scale))
    # Cell centres: the grid never meets the section's edges.
    u = u0 + (np.arange(nu) + 0.5) * (u1 - u0) / nu
    v = v0 + (np.arange(nv) + 0.5) * (v1 - v0) / nv
    gu, gv = np.meshgrid(u, v, indexing="xy")
    points = np.zeros((gu.size, 3))
    points[:, across], points[:, up], points[:, normal] = gu.ravel(), gv.ravel(), at
    if "B" in quantity and smooth:
        show = solution._show(progress)
        # A section through the plane of mesh faces has points on them: placed as B places them.
        points, _ = solution._placed(points)
        field = solution._flux_at(points, show, smooth=True)
    else:
        field = (solution.B if "B" in quantity else solution.H_at)(points, progress=progress)
    field = field.reshape(nv, nu, 3)
    if quantity.startswith("|"):
        values = np.linalg.norm(field, axis=2)
    else:
        values = field[:, :, "xyz".index(quantity[1])]
    unit = "T" if "B" in quantity else "A/m"

    if ax is None:
        fig, ax = plt.subplots(figsize=(8, min(12.0, 6.5 * (v1 - v0) / (u1 - u0) + 1.2)), layout="constrained")
    else:
        fig = ax.figure
    largest = float(np.abs(values).max())
    if log and not largest > 0.0:
        raise ValueError(f"log: {quantity} is zero everywhere on the section ({plane} = {at:g} m), and a "
                         "logarithmic scale needs positive values; plot it with log=False")
    if log:
        from matplotlib.colors import LogNorm

        top = np.percentile(values, 99.8)
        # Three decades at most, one at least: a nearly uniform field (far
        # from the parts) in one colour, with decade ticks that differ.
        scale = {"norm": LogNorm(vmin=min(max(top * 1e-3, values.min()), top / 10.0), vmax=top)}
    elif quantity.startswith("|"):
        scale = {"vmin": 0.0, "vmax": np.percentile(values, 99.5) if largest > 0.0 else 1.0}
    else:
        # A colour range of at least a hundredth of the largest value, so
        # that the colour bar's ticks differ in their first digits.
        low, high = float(values.min()), float(values.max())
        spread = max(high - low, 0.01 * largest) if largest > 0.0 else 2.0
        middle = 0.5 * (low + high)
        scale = {"vmin": middle - 0.5 * spread, "vmax": middle + 0.5 * spread}
    image = ax.imshow(values, origin="lower", extent=(u0, u1, v0, v1), cmap="magma" if log else "viridis", **scale)
    if field_lines and np.any(field[:, :, [across, up]]):
        ax.streamplot(u, v, field[:, :, across], field[:, :, up], color="w", linewidth=0.6, density=1.2,
                      arrowsize=0.7)
    colours = plt.rcParams["axes.prop_cycle"].by_key()["color"]
    outlined = 0
    for k, name in enumerate(solution.materials):
        segments = _outline(mesh.nodes, mesh.connectivity[mesh.regions[name]], normal, at, (across, up))
        if len(segments):
            ax.add_collection(LineCollection(segments, colors=colours[(k + 1) % len(colours)], linewidths=1.3,
                                             label=str(name)))
            outlined += 1
    names = "xyz"
    ax.set(xlim=(u0, u1), ylim=(v0, v1), xlabel=f"{names[across]} (m)", ylabel=f"{names[up]} (m)",
           title=f"{quantity} on the plane {plane} = {at:g} m")
    ax.set_aspect("equal")
    if outlined:
        # Below the section, off the parts.
        ax.legend(loc="upper center", bbox_to_anchor=(0.5, -0.1), ncol=min(outlined, 4), fontsize=8, frameon=False)
    bar = fig.colorbar(image, ax=ax, label=f"{quantity} ({unit})", shrink=0.85)
    if not log:
        bar.formatter.set_useOffset(False)
    return fig


def _extent(extent):
    """(u0, u1, v0, v1) from four finite numbers with u1 > u0 and v1 > v0."""
    message = "extent must be four numbers (horizontal min, max, vertical min, max) in metres with max > min"
    try:
        values = [_validation.real("extent", e) for e in extent]
    except TypeError:
        raise ValueError(f"{message}, got {extent!r}") from None
    if len(values) != 4:
        raise ValueError(f"{message}, got {len(values)} values: {extent!r}")
    u0, u1, v0, v1 = values
    if not (np.isfinite(values).all() and u1 > u0 and v1 > v0):
        raise ValueError(f"{message}, got {extent!r}")
    return u0, u1, v0, v1


def _default_extent(solution, across, up):
    mesh = solution.mesh
    active = solution.M.any(axis=1) | solution.J.any(axis=1)
    corners = mesh.nodes[mesh.connectivity[active] if active.any() else mesh.connectivity].reshape(-1, 3)
    low, high = corners.min(axis=0), corners.max(axis=0)
    margin = (high - low).max() / 3
    return low[across] - margin, high[across] + margin, low[up] - margin, high[up] + margin


def _outline(nodes, connectivity, normal, at, axes):
    """Segments (k, 2, 2) where the boundary of the elements crosses the plane."""
    faces = _corvane.mesh_surface_faces(np.ascontiguousarray(connectivity))
    corners = nodes[faces]                                   # (F, 3, 3)
    d = corners[:, :, normal] - at
    d = np.where(d == 0.0, 1e-300, d)
    crossing = ((0, 1), (1, 2), (2, 0))
    cut = np.stack([d[:, i] * d[:, j] < 0 for i, j in crossing], axis=1)
    faces_cut = cut.sum(axis=1) == 2
    corners, d, cut = corners[faces_cut], d[faces_cut], cut[faces_cut]
    points = []
    for k, (i, j) in enumerate(crossing):
        t = np.where(cut[:, k], d[:, i] / np.where(cut[:, k], d[:, i] - d[:, j], 1.0), 0.0)
        points.append(corners[:, i] + t[:, None] * (corners[:, j] - corners[:, i]))
    chosen = np.stack(points, axis=1)[cut].reshape(-1, 2, 3)
    return chosen[:, :, list(axes)]
