// Mesh utilities: argument intake; the bodies are not built yet.
#include "python/boundary.hpp"
#include "python/functions.hpp"
#include "types/conversions.hpp"

namespace corvane::py {

PyObject* mesh_centroids(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> Ref {
        const auto a = match_arguments<2>(MESH_CENTROIDS, args, nargs, kwnames);
        to_float64_matrix(a[0], "nodes");
        to_index_matrix(a[1], "connectivity");
        throw NotImplemented("mesh_centroids is not available yet");
    });
}

PyObject* mesh_volumes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> Ref {
        const auto a = match_arguments<2>(MESH_VOLUMES, args, nargs, kwnames);
        to_float64_matrix(a[0], "nodes");
        to_index_matrix(a[1], "connectivity");
        throw NotImplemented("mesh_volumes is not available yet");
    });
}

PyObject* mesh_surface_faces(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> Ref {
        const auto a = match_arguments<1>(MESH_SURFACE_FACES, args, nargs, kwnames);
        to_index_matrix(a[0], "connectivity");
        throw NotImplemented("mesh_surface_faces is not available yet");
    });
}

PyObject* mesh_surface_face_properties(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> Ref {
        const auto a = match_arguments<2>(MESH_SURFACE_FACE_PROPERTIES, args, nargs, kwnames);
        to_float64_matrix(a[0], "nodes");
        to_index_matrix(a[1], "faces");
        throw NotImplemented("mesh_surface_face_properties is not available yet");
    });
}

PyObject* mesh_surface_forces(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> Ref {
        const auto a = match_arguments<3>(MESH_SURFACE_FORCES, args, nargs, kwnames);
        to_float64_vector(a[0], "face_areas");
        to_float64_matrix(a[1], "face_normals");
        to_float64_matrix(a[2], "b_field");
        throw NotImplemented("mesh_surface_forces is not available yet");
    });
}

PyObject* mesh_surface_tets(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> Ref {
        const auto a = match_arguments<4>(MESH_SURFACE_TETS, args, nargs, kwnames);
        to_float64_vector(a[0], "nodes");
        to_index_vector(a[1], "faces");
        to_float64_vector(a[2], "centroids");
        to_float64_vector(a[3], "normals");
        throw NotImplemented("_mesh_surface_tets is not available yet");
    });
}

PyObject* mesh_kelvin_force_density(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> Ref {
        const auto a = match_arguments<4>(MESH_KELVIN_FORCE_DENSITY, args, nargs, kwnames);
        to_float64_matrix(a[0], "nodes");
        to_index_matrix(a[1], "connectivity");
        to_float64_matrix(a[2], "m_field_centroids");
        to_float64_matrix(a[3], "h_field_nodes");
        throw NotImplemented("mesh_kelvin_force_density is not available yet");
    });
}

}  // namespace corvane::py
