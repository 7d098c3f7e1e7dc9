// Module attributes that behaviour depends on are read by name at the moment
// of use, module namespace first and builtins second, so that rebinding one
// takes effect at the next call.
#pragma once

#include <Python.h>

#include <cstdint>

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
    PyObject* globals = nullptr; // the module's namespace, borrowed from `module`
    PyObject* builtins = nullptr;
};
extern ModuleState state;

int init_names();

// Borrowed value of `name` in `globals` or the builtins; null with
// NameError "name '...' is not defined" (or a lookup error) set otherwise.
PyObject* lookup_global(PyObject* globals, PyObject* name);

// A module attribute read on a hot path (per call or per event). The value
// found in the namespace is remembered together with the namespace's version,
// so that while nothing in the namespace changes a read is one comparison;
// any change to the namespace (rebinding, deleting, adding a name) makes the
// next read look the name up again. Values found in the builtins are not
// remembered.
class CachedGlobal {
public:
    explicit CachedGlobal(PyObject* const& name) : name_(name) {}
    PyObject* get(PyObject* globals) {
        if (globals == dict_ && version_of(globals) == version_) return value_;
        return refresh(globals);
    }

private:
    static std::uint64_t version_of(PyObject* globals);
    PyObject* refresh(PyObject* globals);

    PyObject* const& name_;
    PyObject* dict_ = nullptr; // not owned: only compared
    std::uint64_t version_ = 0;
    PyObject* value_ = nullptr; // borrowed from dict_, alive while its version holds
};

namespace cached {
extern CachedGlobal CSDK_OPERATE_SUCCESS, IS_PY2, f;
}

// Truth of `status == CSDK_OPERATE_SUCCESS` (or `!=`, when `op` is Py_NE):
// 1, 0, or -1 with an exception set.
inline int compare_success(PyObject* globals, PyObject* status, int op) {
    PyObject* success = cached::CSDK_OPERATE_SUCCESS.get(globals);
    if (success == nullptr) return -1;
    // Two small ints are the same object when equal; two exact ints compare
    // by value, which is all `==` would do for them.
    if (status == success) return op == Py_EQ;
    if (PyLong_CheckExact(status) && PyLong_CheckExact(success)) {
        int eq = PyObject_RichCompareBool(status, success, Py_EQ);
        if (eq < 0) return -1;
        return op == Py_EQ ? eq : !eq;
    }
    PyObject* r = PyObject_RichCompare(status, success, op);
    if (r == nullptr) return -1;
    int t = r == Py_True ? 1 : r == Py_False ? 0 : PyObject_IsTrue(r);
    Py_DECREF(r);
    return t;
}

} // namespace c_sdk
