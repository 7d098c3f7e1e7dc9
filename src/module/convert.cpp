#include "module/convert.hpp"

#include <dlfcn.h>

#include <climits>

namespace c_sdk {
namespace {

bool int_from_long(PyObject* v, int& out) {
    long x = PyLong_AsLong(v);
    if (x == -1 && PyErr_Occurred()) return false;
    if (x < INT_MIN || x > INT_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return false;
    }
    out = static_cast<int>(x);
    return true;
}

} // namespace

bool to_int_slow(PyObject* o, int& out) {
    if (PyLong_Check(o)) return int_from_long(o, out);
    PyNumberMethods* nb = Py_TYPE(o)->tp_as_number;
    if (nb == nullptr || nb->nb_int == nullptr) {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        return false;
    }
    PyObject* v = nb->nb_int(o);
    if (v == nullptr) return false;
    if (!PyLong_CheckExact(v)) {
        if (!PyLong_Check(v)) {
            PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)", Py_TYPE(v)->tp_name);
            Py_DECREF(v);
            return false;
        }
        if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                             "__int__ returned non-int (type %.200s).  The ability to return an "
                             "instance of a strict subclass of int is deprecated, and may be "
                             "removed in a future version of Python.",
                             Py_TYPE(v)->tp_name) < 0) {
            Py_DECREF(v);
            return false;
        }
    }
    bool ok = int_from_long(v, out);
    Py_DECREF(v);
    return ok;
}

bool request_length_slow(PyObject* o, Py_ssize_t& out) {
    out = (PyBytes_CheckExact(o) || PyByteArray_CheckExact(o)) ? Py_SIZE(o) : PyObject_Size(o);
    if (out < 0) return false;
    if (!is_byte_string(o)) return false;
    if (out > INT_MAX) {
        PyErr_Format(PyExc_OverflowError,
                     "request of %zd bytes is too long for the core library (at most %d bytes)", out,
                     INT_MAX);
        return false;
    }
    return true;
}

bool request_size_mismatch(PyObject* o, Py_ssize_t len, Py_ssize_t size) {
    PyErr_Format(PyExc_ValueError,
                 "request length %zd does not match its buffer of %zd bytes (a %.200s whose "
                 "__len__ disagrees with its contents, or one resized during the call)",
                 len, size, Py_TYPE(o)->tp_name);
    return false;
}

const char* core_name(const void* core_fn) {
    Dl_info info{};
    if (dladdr(core_fn, &info) != 0 && info.dli_sname != nullptr) return info.dli_sname;
    return "the core library";
}

PyObject* text_result(const char* text, const void* core_fn) {
    if (text != nullptr) return PyBytes_FromString(text);
    PyErr_Format(PyExc_RuntimeError, "%s() returned a null text", core_name(core_fn));
    return nullptr;
}

PyObject* written_text_result(const char* text, const void* core_fn) {
    if (text != nullptr) return PyBytes_FromString(text);
    PyErr_Format(PyExc_RuntimeError, "%s() reported success with a null text", core_name(core_fn));
    return nullptr;
}

// Only read on success. `len` is 0 unless the core wrote it (the caller
// sets it so), and `res` null: a core that wrote neither gives b''.
PyObject* response_result(const void* res, int len, const void* core_fn) {
    if (len < 0) {
        PyErr_Format(PyExc_RuntimeError, "%s() reported success with a negative response length (%d)",
                     core_name(core_fn), len);
        return nullptr;
    }
    if (len == 0) return PyBytes_FromStringAndSize(nullptr, 0);
    // A length without a pointer: the response the core announced is not
    // there, and b'' would pass for an empty one.
    if (res == nullptr) {
        PyErr_Format(PyExc_RuntimeError, "%s() reported success with a null response of %d bytes",
                     core_name(core_fn), len);
        return nullptr;
    }
    return PyBytes_FromStringAndSize(static_cast<const char*>(res), len);
}

} // namespace c_sdk
