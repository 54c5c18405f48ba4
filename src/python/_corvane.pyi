"""Type stubs of the native module _corvane.

SI units throughout (m, A/m, A/m², T·m, T); μ0 = 4π·10⁻⁷. Arrays are never
cast: coordinates and vectors are float64, node and face indices uint32.
Argument problems raise TypeError or OverflowError; a violated condition in the
numerical code raises PanicException, which derives from BaseException.
"""
from typing import SupportsFloat, SupportsIndex, TypeAlias

import numpy as np
import numpy.typing as npt

_Float64Array: TypeAlias = npt.NDArray[np.float64]
_UInt32Array: TypeAlias = npt.NDArray[np.uint32]
# Flags are exactly a Python bool or a NumPy bool scalar, never an int.
_Flag: TypeAlias = bool | np.bool_
# Anything float() accepts.
_Real: TypeAlias = SupportsFloat | SupportsIndex
# Anything usable as an index, 0 to 2**32 - 1.
_Count: TypeAlias = SupportsIndex

__all__ = [
    "calculate_fields",
    "magnetization_solve",
    "mesh_centroids",
    "mesh_volumes",
    "mesh_surface_faces",
    "mesh_surface_face_properties",
    "mesh_surface_forces",
    "_mesh_surface_tets",
    "mesh_kelvin_force_density",
    "atan2",
]

def calculate_fields(
    src_nodes: _Float64Array,
    src_connectivity: _UInt32Array,
    src_vectors: _Float64Array,
    src_vector_type: _Count,
    requested_field: _Count,
    targets: _Float64Array,
    element_integration: _Flag,
    n_threads_requested: _Count,
    use_octree: _Flag,
    theta: _Real,
    multipole_order: _Count,
    max_leaf_size: _Count,
    batch_size: _Count,
) -> _Float64Array:
    """A (T·m, requested_field 0) or H (A/m, 1) at the targets of tetrahedra carrying J (src_vector_type 0) or M (1); (n_targets, 3)."""

def magnetization_solve(
    nodes: _Float64Array,
    connectivity: _UInt32Array,
    centroids: _Float64Array,
    chi: _Real,
    h_ext: _Float64Array,
    element_integration: _Flag,
    n_threads_requested: _Count,
    atol: _Real,
    max_iterations: _Count,
    under_relaxation_factor: _Real,
    use_octree: _Flag,
    theta: _Real,
    multipole_order: _Count,
    max_leaf_size: _Count,
    batch_size: _Count,
    verbose: _Flag,
) -> tuple[_Float64Array, _Float64Array]:
    """Self-consistent magnetisation M = chi·H of a linear body in the applied field h_ext; returns (M, total H at the centroids), each (n_elements, 3)."""

def mesh_centroids(nodes: _Float64Array, connectivity: _UInt32Array) -> _Float64Array:
    """Centroid of every tetrahedron; (n_elements, 3)."""

def mesh_volumes(nodes: _Float64Array, connectivity: _UInt32Array) -> _Float64Array:
    """Volume of every tetrahedron; (n_elements,)."""

def mesh_surface_faces(connectivity: _UInt32Array) -> _UInt32Array:
    """Boundary faces, outward for positively oriented elements, rows in no defined order; uint32 (n_faces, 3)."""

def mesh_surface_face_properties(
    nodes: _Float64Array, faces: _UInt32Array
) -> tuple[_Float64Array, _Float64Array, _Float64Array]:
    """Areas (n_faces,), centroids (n_faces, 3) and unit right-hand normals (n_faces, 3) of the faces."""

def mesh_surface_forces(
    face_areas: _Float64Array, face_normals: _Float64Array, b_field: _Float64Array
) -> _Float64Array:
    """Maxwell-stress force (N) on each face from B (T) at the face, its area and unit normal; (n_faces, 3)."""

def _mesh_surface_tets(
    nodes: _Float64Array,
    faces: _UInt32Array,
    centroids: _Float64Array,
    normals: _Float64Array,
) -> tuple[_Float64Array, _UInt32Array]:
    """Small probe tetrahedra straddling each face from flat inputs: (points (12 n_faces,), point indices (4 n_faces,))."""

def mesh_kelvin_force_density(
    nodes: _Float64Array,
    connectivity: _UInt32Array,
    m_field_centroids: _Float64Array,
    h_field_nodes: _Float64Array,
) -> _Float64Array:
    """Kelvin force density (m·∇)H per element from M at the elements and H at the nodes; (n_elements, 3)."""

def atan2(yvals: _Float64Array, xvals: _Float64Array) -> _Float64Array:
    """Elementwise fast arctangent of yvals/xvals in radians, within about 1.7e-6 of the exact angle; (n,)."""
