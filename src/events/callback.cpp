// Every event of the core library arrives here and goes to the Python
// callable registered as the module attribute `f`, as f(message_type, payload).
#include "events/callback.hpp"

#include <Python.h>

#include <cstring>

#include "module/globals.hpp"
#include "module/ref.hpp"

namespace c_sdk {
namespace {

PyObject* message_type(PyObject* globals, const char* msg_type) {
    PyObject* is_py2 = cached::IS_PY2.get(globals);
    if (is_py2 == nullptr) return nullptr;
    int py2 = is_py2 == Py_False ? 0 : is_py2 == Py_True ? 1 : PyObject_IsTrue(is_py2);
    if (py2 < 0) return nullptr;
    // Neither text nor bytes can be made of nothing; a null is the core's
    // fault, reported like any other failure of the entry point.
    if (msg_type == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "the core library raised an event without a message type");
        return nullptr;
    }
    if (py2) return PyBytes_FromString(msg_type);
    std::size_t len = std::strlen(msg_type);
    if (len == 0) return PyUnicode_FromStringAndSize(nullptr, 0);
    return PyUnicode_DecodeUTF8(msg_type, static_cast<Py_ssize_t>(len), "strict");
}

PyObject* payload(const void* data, int data_len) {
    // A negative length is refused by bytes itself (SystemError); a null
    // pointer with a length is never read; a null pointer without one, or
    // any pointer with length 0, is the empty payload.
    if (data == nullptr && data_len > 0) {
        PyErr_Format(PyExc_RuntimeError, "the core library raised an event of %d bytes without data",
                     data_len);
        return nullptr;
    }
    return PyBytes_FromStringAndSize(static_cast<const char*>(data), data_len);
}

// f(type, payload), entered through its own vectorcall slot when it has one;
// the result's consistency is checked here only when the call failed.
Ref call(PyObject* f, PyObject** args) {
    constexpr std::size_t nargsf = 2 | PY_VECTORCALL_ARGUMENTS_OFFSET;
    vectorcallfunc vc = PyVectorcall_Function(f);
    if (vc == nullptr) return Ref(PyObject_Vectorcall(f, args, nargsf, nullptr));
    Ref result(vc(f, args, nargsf, nullptr));
    if (!result && !PyErr_Occurred())
        PyErr_Format(PyExc_SystemError, "%R returned NULL without setting an exception", f);
    return result;
}

int deliver(PyObject* globals, const char* msg_type, void* data, int data_len) {
    Ref type(message_type(globals, msg_type));
    if (!type) return -1;
    PyObject* f = cached::f.get(globals);
    if (f == nullptr) return -1;
    Ref f_held = Ref::borrow(f); // the callable may rebind `f` while it runs
    Ref body(payload(data, data_len));
    if (!body) return -1;
    // Slot 0 is spare, so that a bound method can prepend its self in place.
    PyObject* args[] = {nullptr, type.get(), body.get()};
    return call(f, args + 1) ? 0 : -1;
}

// Reported twice, then dropped: printed like an uncaught exception, then
// passed to the unraisable hook with this entry point as context. A
// SystemExit ends the process in the first report, as at top level.
void report(PyObject* context) {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    Py_XINCREF(type);
    Py_XINCREF(value);
    Py_XINCREF(tb);
    PyErr_Restore(type, value, tb);
    PyErr_PrintEx(0);
    PyErr_Restore(type, value, tb);
    PyErr_WriteUnraisable(context ? context : Py_None);
}

} // namespace

extern "C" void callback_wrapper(const char* msg_type, void* data, int data_len) {
    // The core may raise an event from a thread of its own: take the
    // interpreter lock (a counter bump on the thread that holds it already).
    PyGILState_STATE gil = PyGILState_Ensure();
    if (state.globals != nullptr) {
        if (deliver(state.globals, msg_type, data, data_len) < 0) {
            static PyObject* context = PyUnicode_InternFromString("c_sdk.callback_wrapper");
            report(context);
        }
    }
    PyGILState_Release(gil);
}

} // namespace c_sdk
