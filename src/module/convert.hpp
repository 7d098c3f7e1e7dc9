// The four parameter kinds and the result kinds of the module: how a Python
// value becomes a C argument of the core library, and how a C result comes
// back. Every wrapper converts through these, so a message is fixed here once.
#pragma once

#include <Python.h>

#include <climits>

namespace c_sdk {

bool to_int_slow(PyObject* o, int& out);

// Integer parameter: a 32-bit C int from an int (or anything with __int__).
// An exact int of one digit (|v| < 2**30) is read in place.
inline bool to_int(PyObject* o, int& out) {
#if PY_VERSION_HEX < 0x030C0000
    if (PyLong_CheckExact(o)) {
        Py_ssize_t size = Py_SIZE(o);
        if (size >= -1 && size <= 1) {
            out = static_cast<int>(size *
                                   static_cast<Py_ssize_t>(reinterpret_cast<PyLongObject*>(o)->ob_digit[0]));
            return true;
        }
    }
#else
    if (PyLong_CheckExact(o) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(o))) {
        Py_ssize_t v = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(o));
        if (v >= INT_MIN && v <= INT_MAX) {
            out = static_cast<int>(v);
            return true;
        }
    }
#endif
    return to_int_slow(o, out);
}

// Float parameter: a C double by the interpreter's float conversion.
inline bool to_double(PyObject* o, double& out) {
    if (PyFloat_CheckExact(o)) {
        out = PyFloat_AS_DOUBLE(o);
        return true;
    }
    out = PyFloat_AsDouble(o);
    return !(out == -1.0 && PyErr_Occurred());
}

// Flag parameter: a C bool by truth value.
inline bool to_flag(PyObject* o, bool& out) {
    if (o == Py_True || o == Py_False || o == Py_None) {
        out = o == Py_True;
        return true;
    }
    int t = PyObject_IsTrue(o);
    out = t > 0;
    return t >= 0;
}

// Byte-string parameter, in two steps: the type is checked while the
// arguments are converted in order; the pointer into the object's own buffer
// is taken only once every conversion has run, because a conversion may run
// Python code that resizes a bytearray passed earlier.
inline bool is_byte_string(PyObject* o) {
    if (PyBytes_Check(o) || PyByteArray_Check(o)) return true;
    (void)PyBytes_AsString(o); // raises the interpreter's own "expected bytes" TypeError
    return false;
}
// Only for objects that passed is_byte_string: bytes is told by a type flag,
// so it is tested first; anything else is a bytearray.
inline char* byte_string_data(PyObject* o) {
    return PyBytes_Check(o) ? PyBytes_AS_STRING(o) : PyByteArray_AS_STRING(o);
}
inline Py_ssize_t byte_string_size(PyObject* o) {
    // Both macros read the same field today; each type is still asked by its own.
    // NOLINTNEXTLINE(bugprone-branch-clone)
    return PyBytes_Check(o) ? PyBytes_GET_SIZE(o) : PyByteArray_GET_SIZE(o);
}

bool request_length_slow(PyObject* o, Py_ssize_t& out);
bool request_size_mismatch(PyObject* o, Py_ssize_t len, Py_ssize_t size);

// `len(req)` of a request, taken before its type is looked at; refuses a
// length that the core's C int cannot carry.
inline bool request_length(PyObject* o, Py_ssize_t& out) {
    if (PyBytes_CheckExact(o) && Py_SIZE(o) <= INT_MAX) {
        out = Py_SIZE(o);
        return true;
    }
    return request_length_slow(o, out);
}

// The request's buffer; refuses one whose size is not the length taken
// before (a lying __len__, or a bytearray resized since), so that the core
// never reads past the buffer.
inline bool request_data(PyObject* o, Py_ssize_t len, void*& out) {
    Py_ssize_t size = byte_string_size(o);
    if (size != len) return request_size_mismatch(o, len, size);
    out = byte_string_data(o);
    return true;
}

// Results. A null text or response raises a RuntimeError naming the core
// function, instead of being read.
PyObject* text_result(const char* text, const void* core_fn);
PyObject* written_text_result(const char* text, const void* core_fn);
PyObject* response_result(const void* res, int len, const void* core_fn);

// Name of a core function, from the symbol table (for messages only).
const char* core_name(const void* core_fn);

} // namespace c_sdk
