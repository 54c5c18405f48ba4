// Module definition of _corvane: the function table, the execution step that
// registers the functions and fills __all__, and the initialisation entry.
#include <Python.h>

#include <array>
#include <string>

#include "python/functions.hpp"
#include "types/py_errors.hpp"

namespace corvane::py {
namespace {

struct FunctionRow {
    const Signature* signature;
    PyObject* (*entry)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
};

// Registration order is part of the interface (it is the order of __all__).
constexpr std::array<FunctionRow, 10> FUNCTION_TABLE = {{
    {&CALCULATE_FIELDS, calculate_fields},
    {&MAGNETIZATION_SOLVE, magnetization_solve},
    {&MESH_CENTROIDS, mesh_centroids},
    {&MESH_VOLUMES, mesh_volumes},
    {&MESH_SURFACE_FACES, mesh_surface_faces},
    {&MESH_SURFACE_FACE_PROPERTIES, mesh_surface_face_properties},
    {&MESH_SURFACE_FORCES, mesh_surface_forces},
    {&MESH_SURFACE_TETS, mesh_surface_tets},
    {&MESH_KELVIN_FORCE_DENSITY, mesh_kelvin_force_density},
    {&ATAN2, atan2},
}};

// Method definitions with their text-signature docstrings; built once and
// kept for the life of the process, as the function objects point into them.
PyMethodDef* method_defs() {
    static std::array<std::string, FUNCTION_TABLE.size()> docs;
    static std::array<PyMethodDef, FUNCTION_TABLE.size()> defs;
    static bool ready = false;
    if (!ready) {
        for (std::size_t i = 0; i < FUNCTION_TABLE.size(); ++i) {
            docs[i] = text_signature(*FUNCTION_TABLE[i].signature);
            defs[i] = PyMethodDef{FUNCTION_TABLE[i].signature->name,
                                  reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(FUNCTION_TABLE[i].entry)),
                                  METH_FASTCALL | METH_KEYWORDS, docs[i].c_str()};
        }
        ready = true;
    }
    return defs.data();
}

int add_function(PyObject* module, PyObject* module_name, PyMethodDef* def) {
    Ref function(PyCFunction_NewEx(def, module, module_name));
    if (!function) return -1;
    Ref name(PyObject_GetAttrString(function.get(), "__name__"));
    if (!name) return -1;
    Ref all(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        all = Ref(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
    } else if (!PyList_Check(all.get())) {
        PyErr_SetString(PyExc_TypeError, "__all__ must be a list");
        return -1;
    }
    if (PyList_Append(all.get(), name.get()) < 0) return -1;
    return PyObject_SetAttr(module, name.get(), function.get());
}

int corvane_exec(PyObject* module) {
    if (!PyModule_Check(module)) {
        PyErr_SetString(PyExc_TypeError, "_corvane can only be executed as a module");
        return -1;
    }
    Ref module_name(PyModule_GetNameObject(module));
    if (!module_name) return -1;
    PyMethodDef* defs = method_defs();
    for (std::size_t i = 0; i < FUNCTION_TABLE.size(); ++i)
        if (add_function(module, module_name.get(), &defs[i]) < 0) return -1;
    return 0;
}

PyModuleDef_Slot corvane_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(corvane_exec)},
    {0, nullptr},  // sentinel
};

PyModuleDef corvane_module = {
    PyModuleDef_HEAD_INIT,
    "_corvane",
    "",
    0,        // no per-module state
    nullptr,  // functions are added by the execution step
    corvane_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace corvane::py

PyMODINIT_FUNC PyInit__corvane(void) { return PyModuleDef_Init(&corvane::py::corvane_module); }
