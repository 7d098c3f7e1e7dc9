#include "module/globals.hpp"

namespace c_sdk {

Names names{};
ModuleState state{};

int init_names() {
    struct Entry {
        PyObject*& slot;
        const char* text;
    };
    const Entry entries[] = {
        {names.CSDK_OPERATE_SUCCESS, "CSDK_OPERATE_SUCCESS"},
        {names.qvsdklogger, "qvsdklogger"},
        {names.IS_PY2, "IS_PY2"},
        {names.f, "f"},
        {names.py_qvi_strerror, "py_qvi_strerror"},
        {names.platform, "platform"},
        {names.data, "data"},
    };
    for (const Entry& e : entries) {
        if (e.slot != nullptr) continue; // kept for the life of the process
        e.slot = PyUnicode_InternFromString(e.text);
        if (e.slot == nullptr) return -1;
    }
    return 0;
}

PyObject* lookup_global(PyObject* globals, PyObject* name) {
    PyObject* v = PyDict_GetItemWithError(globals, name);
    if (v != nullptr || PyErr_Occurred()) return v;
    if (state.builtins != nullptr) {
        v = PyDict_GetItemWithError(state.builtins, name);
        if (v != nullptr || PyErr_Occurred()) return v;
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return nullptr;
}

int compare_success(PyObject* globals, PyObject* status, int op) {
    PyObject* success = lookup_global(globals, names.CSDK_OPERATE_SUCCESS);
    if (success == nullptr) return -1;
    // Two exact ints compare by value; that is all `==` would do for them.
    if (PyLong_CheckExact(status) && PyLong_CheckExact(success)) {
        int eq = status == success;
        if (!eq) {
            long a = PyLong_AsLong(status);
            long b = PyLong_AsLong(success);
            if ((a == -1 || b == -1) && PyErr_Occurred()) {
                PyErr_Clear();
                eq = PyObject_RichCompareBool(status, success, Py_EQ);
                if (eq < 0) return -1;
            } else {
                eq = a == b;
            }
        }
        return op == Py_EQ ? eq : !eq;
    }
    PyObject* r = PyObject_RichCompare(status, success, op);
    if (r == nullptr) return -1;
    int t = r == Py_True ? 1 : r == Py_False ? 0 : PyObject_IsTrue(r);
    Py_DECREF(r);
    return t;
}

} // namespace c_sdk
