// Module attributes that behaviour depends on are read by name at the moment
// of use, module namespace first and builtins second, so that rebinding one
// takes effect at the next call.
#pragma once

#include <Python.h>

namespace c_sdk {

// Names read at call time, interned once at initialisation so that a lookup
// is one hash probe with a cached hash.
struct Names {
    PyObject* CSDK_OPERATE_SUCCESS;
    PyObject* qvsdklogger;
    PyObject* IS_PY2;
    PyObject* f;
    PyObject* py_qvi_strerror;
    PyObject* platform;
    PyObject* data;
};
extern Names names;

// The one module object of this process once its initialisation has started,
// and the builtins its lookups fall back to.
struct ModuleState {
    PyObject* module = nullptr;
    PyObject* builtins = nullptr;
};
extern ModuleState state;

int init_names();

// Borrowed value of `name` in `globals` or the builtins; null with
// NameError "name '...' is not defined" (or a lookup error) set otherwise.
PyObject* lookup_global(PyObject* globals, PyObject* name);

// Truth of `status == CSDK_OPERATE_SUCCESS` (or `!=`, when `op` is Py_NE):
// 1, 0, or -1 with an exception set.
int compare_success(PyObject* globals, PyObject* status, int op);

} // namespace c_sdk
