// Module definition: multi-phase initialisation with a create and an exec
// step. The module is created and initialised once per process; a failed
// initialisation leaves nothing behind, and a later import starts again.
#include <Python.h>

#include "module/globals.hpp"
#include "module/init.hpp"

namespace c_sdk {
namespace {

// The interpreter that first created the module; the module keeps process-wide
// state, so it cannot serve a second one.
int64_t owner_interpreter = -1;

int check_single_interpreter() {
    int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (owner_interpreter == -1) {
        owner_interpreter = current;
    } else if (owner_interpreter != current) {
        PyErr_SetString(PyExc_ImportError, "Interpreter change detected - this module can only be "
                                           "loaded into one interpreter per process.");
        return -1;
    }
    return 0;
}

// Copies spec.<from> to module.__dict__[<to>]; a missing attribute is skipped,
// and so is None unless `allow_none`.
int copy_spec_attr(PyObject* spec, PyObject* dict, const char* from, const char* to, bool allow_none) {
    PyObject* value = PyObject_GetAttrString(spec, from);
    if (value == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    int rc = 0;
    if (allow_none || value != Py_None) rc = PyDict_SetItemString(dict, to, value);
    Py_DECREF(value);
    return rc;
}

PyObject* create(PyObject* spec, PyModuleDef*) {
    if (check_single_interpreter() < 0) return nullptr;
    if (state.module != nullptr) return Py_NewRef(state.module);
    PyObject* name = PyObject_GetAttrString(spec, "name");
    if (name == nullptr) return nullptr;
    PyObject* module = PyModule_NewObject(name);
    Py_DECREF(name);
    if (module == nullptr) return nullptr;
    PyObject* dict = PyModule_GetDict(module);
    if (copy_spec_attr(spec, dict, "loader", "__loader__", true) < 0 ||
        copy_spec_attr(spec, dict, "origin", "__file__", true) < 0 ||
        copy_spec_attr(spec, dict, "parent", "__package__", true) < 0 ||
        copy_spec_attr(spec, dict, "submodule_search_locations", "__path__", false) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}

int exec(PyObject* module) {
    if (state.module != nullptr) {
        if (state.module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'c_sdk' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    state.module = Py_NewRef(module);
    state.globals = PyModule_GetDict(module);
    if (initialise(module) == 0) return 0;
    add_traceback("init c_sdk");
    state.globals = nullptr;
    Py_CLEAR(state.module);
    return -1;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create)},
    {Py_mod_exec, reinterpret_cast<void*>(exec)},
#if PY_VERSION_HEX >= 0x030D0000
    // Core calls are kept one at a time by the interpreter lock alone (it is
    // held across every call and the whole run loop): a free-threaded
    // interpreter must turn its lock back on when it imports this module.
    {Py_mod_gil, Py_MOD_GIL_USED},
#endif
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "c_sdk",
    nullptr, // no docstring
    0,
    nullptr, // no functions: initialisation binds everything
    slots,
    nullptr,
    nullptr,
    nullptr,
};

} // namespace
} // namespace c_sdk

PyMODINIT_FUNC PyInit_c_sdk() { return PyModuleDef_Init(&c_sdk::definition); }
