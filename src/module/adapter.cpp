// adapt_to_python3 and the `wrapper` it returns: str arguments become ASCII
// bytes before the wrapped function sees them. When no argument is a str, the
// argument vector is passed through untouched: no tuple, no dict, no copy.
#include <array>
#include <memory>

#include "module/binding.hpp"
#include "module/function.hpp"
#include "module/globals.hpp"
#include "module/helpers.hpp"
#include "module/ref.hpp"

namespace c_sdk {
namespace {

PyObject* ascii_of(PyObject* s) {
    if (PyUnicode_CheckExact(s)) return PyUnicode_AsASCIIString(s);
    return PyObject_CallMethod(s, "encode", "s", "ascii"); // a subclass may override encode
}

// A function of this module is entered directly; the interpreter checks the
// wrapper's result on the way out.
PyObject* forward(PyObject* func, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    if (Py_IS_TYPE(func, &FunctionType)) return as_function(func)->vectorcall(func, args, nargsf, kwnames);
    return PyObject_Vectorcall(func, args, nargsf, kwnames);
}

PyObject* wrapper_call(PyObject* self, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    const Function* fn = as_function(self);
    PyObject* is_py2 = cached::IS_PY2.get(fn->globals);
    if (is_py2 == nullptr) return nullptr;
    int py2 = is_py2 == Py_False ? 0 : is_py2 == Py_True ? 1 : PyObject_IsTrue(is_py2);
    if (py2 < 0) return nullptr;

    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    Py_ssize_t total = nargs + (kwnames ? PyTuple_GET_SIZE(kwnames) : 0);
    Py_ssize_t first = 0;
    if (!py2) {
        while (first < total && !PyUnicode_Check(args[first])) ++first;
    }
    if (py2 || first == total) return forward(fn->closure, args, nargsf, kwnames);

    // Positional arguments first, then keyword values, each in order, so the
    // first non-ASCII text reported is the first one a caller would expect.
    // Slot 0 is spare, so the callee may use it (PY_VECTORCALL_ARGUMENTS_OFFSET).
    constexpr Py_ssize_t on_stack = 16;
    // Filled below, as far as used: not worth clearing on every call.
    std::array<PyObject*, on_stack + 1> small; // NOLINT(cppcoreguidelines-pro-type-member-init)
    std::unique_ptr<PyObject*[]> big;
    PyObject** vec = small.data();
    if (total > on_stack) {
        big.reset(new (std::nothrow) PyObject*[total + 1]);
        if (!big) return PyErr_NoMemory();
        vec = big.get();
    }
    PyObject** out = vec + 1;
    Py_ssize_t made = 0; // out[first, made) hold new references
    PyObject* result = nullptr;
    for (Py_ssize_t i = 0; i < first; ++i) out[i] = args[i];
    for (made = first; made < total; ++made) {
        PyObject* a = args[made];
        out[made] = PyUnicode_Check(a) ? ascii_of(a) : Py_NewRef(a);
        if (out[made] == nullptr) break;
    }
    if (made == total) {
        result = forward(fn->closure, out, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames);
    }
    for (Py_ssize_t i = first; i < made; ++i) Py_DECREF(out[i]);
    return result;
}

// No parameter list: the wrapper takes (*args, **kwargs).
constexpr Definition wrapper_def{"wrapper", wrapper_call, nullptr, "adapt_to_python3.<locals>.wrapper"};

using FuncParams = Py<"func">;

PyObject* adapt_call(PyObject* self, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    PyObject* slots[FuncParams::count];
    PyObject* const* a = bind(self, args, nargsf, kwnames, FuncParams::params, slots);
    if (a == nullptr) return nullptr;
    return make_function(wrapper_def, as_function(self)->globals, a[0]);
}

} // namespace

const Definition adapt_to_python3_def{.name = "adapt_to_python3",
                                      .call = adapt_call,
                                      .doc = "\n     同时提供对 Python 3 和 Python 2 的支持\n     ",
                                      .params = &FuncParams::params};

} // namespace c_sdk
