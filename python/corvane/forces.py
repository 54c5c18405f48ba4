"""Force and torque on a region of a solved model, without its own field.

Two ways, which agree where both apply:
- Maxwell stress over a closed surface in air around the region: the boundary
  of the region grown by the elements that share a node with it, when those
  and the elements across the surface from them are air (no material). Only
  the cross terms of the stress between the region's own field B_s and the
  field of everything else B_o are summed, T(B_s + B_o) - T(B_s) - T(B_o):
  the other two integrate to zero exactly over a closed surface, and dropping
  them removes their quadrature error. The surface faces are split into
  4^SURFACE_LEVELS triangles, one point each.
- Volume forces: the Kelvin force density μ0 (M·∇)H_o with the couple
  μ0 M × H_o for the torque, on the region's magnetised elements, and the
  Lorentz force J × B_o on its current-carrying ones. H_o is evaluated at the
  four points of the degree-2 Gauss rule of every element, never on an
  element face, so that bodies in contact stay finite; the Kelvin density is
  the gradient of its linear fit there.
"""
import numpy as np

import _corvane
from corvane.materials import MU0

_GAUSS_CORNER, _GAUSS_REST = 0.5854101966249685, 0.1381966011250105
SURFACE_LEVELS = 2
METHODS = ("auto", "maxwell", "kelvin")


def force_and_torque(mesh, sources, air, elements, method="auto", progress=False):
    """(force (3,) N, torque about the origin (3,) N·m, method used) on the given elements.

    sources: the model's `field_sources.Sources`; air: mask of the elements
    without material; method: "auto" (Maxwell stress when the region is
    surrounded by air, else volume forces), "maxwell" or "kelvin".
    """
    own, other = sources.split(elements)
    faces = None if method == "kelvin" else maxwell_surface(mesh, elements, air)
    if faces is None:
        if method == "maxwell":
            raise ValueError("the Maxwell stress needs the region surrounded by air: every element that shares "
                             "a node with it, and every element across the surface they make, without material")
        return (*_volume_forces(mesh, own, other, elements, progress), "kelvin")
    return (*_maxwell_stress(mesh.nodes, faces, own, other, progress), "maxwell")


def maxwell_surface(mesh, elements, air):
    """Outward faces (F, 3) of a closed surface in air around the elements, or None where there is none.

    The surface bounds the elements grown by those that share a node with
    them; it lies in air when those added elements are air and so is every
    element on the other side of a surface face.
    """
    connectivity = mesh.connectivity
    inside = np.zeros(len(connectivity), dtype=bool)
    inside[elements] = True
    region_nodes = np.zeros(len(mesh.nodes), dtype=bool)
    region_nodes[connectivity[inside]] = True
    grown = inside | region_nodes[connectivity].any(axis=1)
    layer = grown & ~inside
    if not layer.any() or not air[layer].all():
        return None
    faces = _corvane.mesh_surface_faces(np.ascontiguousarray(connectivity[grown]))
    # A face with all its nodes on the region is the region's own boundary
    # reaching the mesh's outer surface.
    if region_nodes[faces].all(axis=1).any():
        return None
    surface_nodes = np.zeros(len(mesh.nodes), dtype=bool)
    surface_nodes[faces] = True
    beyond = ~grown & ~air & (surface_nodes[connectivity].sum(axis=1) >= 3)
    if beyond.any():
        element_faces = connectivity[beyond][:, [[0, 1, 2], [0, 1, 3], [0, 2, 3], [1, 2, 3]]].reshape(-1, 3)
        if np.isin(_face_keys(element_faces), _face_keys(faces)).any():
            return None
    return faces


def _face_keys(faces):
    """One comparable value per face, whatever the order of its nodes."""
    return np.ascontiguousarray(np.sort(faces, axis=1).astype(np.uint32)).view(np.dtype((np.void, 12))).ravel()


def _maxwell_stress(nodes, faces, own, other, progress):
    triangles = _subdivide(nodes[faces], SURFACE_LEVELS)
    flat = np.ascontiguousarray(triangles.reshape(-1, 3))
    areas, centroids, normals = _corvane.mesh_surface_face_properties(
        flat, np.arange(len(flat), dtype=np.uint32).reshape(-1, 3))
    b_own, b_other = MU0 * own.H(centroids, progress), MU0 * other.H(centroids, progress)
    traction = _corvane.mesh_surface_forces

    def stress(b):
        return traction(areas, normals, np.ascontiguousarray(b))

    forces = stress(b_own + b_other) - stress(b_own) - stress(b_other)
    return forces.sum(axis=0), np.cross(centroids, forces).sum(axis=0)


def _subdivide(triangles, levels):
    """Each triangle (F, 3, 3) split into 4^levels of the same orientation, by its edge midpoints."""
    for _ in range(levels):
        a, b, c = triangles[:, 0], triangles[:, 1], triangles[:, 2]
        ab, bc, ca = (a + b) / 2, (b + c) / 2, (c + a) / 2
        triangles = np.stack([np.stack(t, axis=1) for t in ((a, ab, ca), (ab, b, bc), (ca, bc, c), (ab, bc, ca))],
                             axis=1).reshape(-1, 3, 3)
    return triangles


def _volume_forces(mesh, own, other, elements, progress):
    elements = np.asarray(elements)
    magnetized = elements[own.magnetization[elements].any(axis=1)]
    carrying = elements[own.current[elements].any(axis=1)]
    points = [_gauss_points(mesh.nodes[mesh.connectivity[e]]) for e in (magnetized, carrying)]
    h = other.H(np.concatenate([p.reshape(-1, 3) for p in points]), progress)
    h_m, h_j = h[:4 * len(magnetized)], h[4 * len(magnetized):].reshape(-1, 4, 3)
    volumes = mesh.volumes

    force, torque = np.zeros(3), np.zeros(3)
    if len(magnetized):
        m = own.magnetization[magnetized]
        gauss = np.ascontiguousarray(points[0].reshape(-1, 3))
        tets = np.arange(len(gauss), dtype=np.uint32).reshape(-1, 4)
        density = MU0 * _corvane.mesh_kelvin_force_density(gauss, tets, np.ascontiguousarray(m), h_m)
        per_element = volumes[magnetized, None] * density
        couple = volumes[magnetized, None] * MU0 * np.cross(m, h_m.reshape(-1, 4, 3).mean(axis=1))
        force += per_element.sum(axis=0)
        torque += (np.cross(mesh.centroids[magnetized], per_element) + couple).sum(axis=0)
    if len(carrying):
        j = own.current[carrying]
        per_point = (volumes[carrying, None, None] / 4) * np.cross(j[:, None, :], MU0 * h_j)
        force += per_point.sum(axis=(0, 1))
        torque += np.cross(points[1], per_point).sum(axis=(0, 1))
    return force, torque


def _gauss_points(corners):
    """The four points of the degree-2 Gauss rule in each tetrahedron (m, 4, 3)."""
    return _GAUSS_REST * corners.sum(axis=1, keepdims=True) + (_GAUSS_CORNER - _GAUSS_REST) * corners
