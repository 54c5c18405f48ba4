// The ten exported functions: their parameter lists and entry points.
#pragma once

#include <Python.h>

#include "python/arguments.hpp"

namespace corvane::py {

inline constexpr const char* CALCULATE_FIELDS_PARAMS[] = {
    "src_nodes", "src_connectivity", "src_vectors", "src_vector_type", "requested_field",
    "targets", "element_integration", "n_threads_requested", "use_octree", "theta",
    "multipole_order", "max_leaf_size", "batch_size"};
inline constexpr const char* MAGNETIZATION_SOLVE_PARAMS[] = {
    "nodes", "connectivity", "centroids", "chi", "h_ext", "element_integration",
    "n_threads_requested", "atol", "max_iterations", "under_relaxation_factor", "use_octree",
    "theta", "multipole_order", "max_leaf_size", "batch_size", "verbose"};
inline constexpr const char* MESH_CENTROIDS_PARAMS[] = {"nodes", "connectivity"};
inline constexpr const char* MESH_VOLUMES_PARAMS[] = {"nodes", "connectivity"};
inline constexpr const char* MESH_SURFACE_FACES_PARAMS[] = {"connectivity"};
inline constexpr const char* MESH_SURFACE_FACE_PROPERTIES_PARAMS[] = {"nodes", "faces"};
inline constexpr const char* MESH_SURFACE_FORCES_PARAMS[] = {"face_areas", "face_normals", "b_field"};
inline constexpr const char* MESH_SURFACE_TETS_PARAMS[] = {"nodes", "faces", "centroids", "normals"};
inline constexpr const char* MESH_KELVIN_FORCE_DENSITY_PARAMS[] = {
    "nodes", "connectivity", "m_field_centroids", "h_field_nodes"};
inline constexpr const char* ATAN2_PARAMS[] = {"yvals", "xvals"};

inline constexpr Signature CALCULATE_FIELDS{"calculate_fields", CALCULATE_FIELDS_PARAMS};
inline constexpr Signature MAGNETIZATION_SOLVE{"magnetization_solve", MAGNETIZATION_SOLVE_PARAMS};
inline constexpr Signature MESH_CENTROIDS{"mesh_centroids", MESH_CENTROIDS_PARAMS};
inline constexpr Signature MESH_VOLUMES{"mesh_volumes", MESH_VOLUMES_PARAMS};
inline constexpr Signature MESH_SURFACE_FACES{"mesh_surface_faces", MESH_SURFACE_FACES_PARAMS};
inline constexpr Signature MESH_SURFACE_FACE_PROPERTIES{"mesh_surface_face_properties",
                                                        MESH_SURFACE_FACE_PROPERTIES_PARAMS};
inline constexpr Signature MESH_SURFACE_FORCES{"mesh_surface_forces", MESH_SURFACE_FORCES_PARAMS};
inline constexpr Signature MESH_SURFACE_TETS{"_mesh_surface_tets", MESH_SURFACE_TETS_PARAMS};
inline constexpr Signature MESH_KELVIN_FORCE_DENSITY{"mesh_kelvin_force_density",
                                                     MESH_KELVIN_FORCE_DENSITY_PARAMS};
inline constexpr Signature ATAN2{"atan2", ATAN2_PARAMS};

// Entry points (fast calling convention with keyword names).
#define CORVANE_ENTRY(name) \
    PyObject* name(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
CORVANE_ENTRY(calculate_fields);
CORVANE_ENTRY(magnetization_solve);
CORVANE_ENTRY(mesh_centroids);
CORVANE_ENTRY(mesh_volumes);
CORVANE_ENTRY(mesh_surface_faces);
CORVANE_ENTRY(mesh_surface_face_properties);
CORVANE_ENTRY(mesh_surface_forces);
CORVANE_ENTRY(mesh_surface_tets);
CORVANE_ENTRY(mesh_kelvin_force_density);
CORVANE_ENTRY(atan2);

}  // namespace corvane::py
