// The one function-object type behind every callable of the module: wrappers,
// helpers, direct callables, the adapter's wrapper and the record classes'
// methods. Each object carries its own entry point (vectorcall), so a call
// goes straight from the interpreter into the code generated for that
// function, and it binds as a method when placed in a class.
#pragma once

#include <Python.h>

namespace c_sdk {

// What is fixed about a callable at build time. `name` is also the name that
// argument errors report, whatever `__name__` is later set to.
struct Definition {
    const char* name;
    vectorcallfunc call;
    const char* doc = nullptr;      // nullptr: `__doc__` is None
    const char* qualname = nullptr; // nullptr: same as `name`
};

struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const Definition* def;
    PyObject* globals; // the module's namespace: module attributes are read here at call time
    PyObject* closure; // the callable an adapter wrapper forwards to; else null
    PyObject* name;
    PyObject* qualname;
    PyObject* doc;
    PyObject* module;
    PyObject* defaults;
    PyObject* dict;
    PyObject* weakrefs;
};

extern PyTypeObject FunctionType;

inline const Function* as_function(PyObject* self) noexcept {
    return reinterpret_cast<const Function*>(self);
}

// Readies the type once per process; -1 with an exception set on failure.
int ready_function_type();

// A new function object (new reference, or null with an exception set).
// `closure` and `defaults` may be null; both are borrowed.
PyObject* make_function(const Definition& def, PyObject* globals, PyObject* closure = nullptr,
                        PyObject* defaults = nullptr);

} // namespace c_sdk
