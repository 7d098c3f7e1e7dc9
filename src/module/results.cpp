#include "module/shapes.hpp"

#include "module/ref.hpp"

namespace c_sdk {

PyObject* pair_result(PyObject* self, int status, const void* res, int len, const void* core_fn) {
    Ref st(PyLong_FromLong(status));
    if (!st) return nullptr;
    int ok = compare_success(as_function(self)->globals, st.get(), Py_EQ);
    if (ok < 0) return nullptr;
    Ref payload(ok ? response_result(res, len, core_fn) : Py_NewRef(Py_None));
    if (!payload) return nullptr;
    PyObject* pair = PyTuple_New(2);
    if (pair == nullptr) return nullptr;
    PyTuple_SET_ITEM(pair, 0, st.release());
    PyTuple_SET_ITEM(pair, 1, payload.release());
    return pair;
}

PyObject* text_out_result(PyObject* self, int status, const char* addr, const void* core_fn) {
    Ref st(PyLong_FromLong(status));
    if (!st) return nullptr;
    int failed = compare_success(as_function(self)->globals, st.get(), Py_NE);
    if (failed < 0) return nullptr;
    if (failed) Py_RETURN_NONE;
    return written_text_result(addr, core_fn);
}

} // namespace c_sdk
