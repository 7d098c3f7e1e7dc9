// The one function-object type behind every callable of the module: wrappers,
// helpers, direct callables, the adapter's wrapper and the record classes'
// methods. Each object carries its own entry point (vectorcall), so a call
// goes straight from the interpreter into the code generated for that
// function, and it binds as a method when placed in a class.
#pragma once

#include <Python.h>

namespace c_sdk {

struct Params; // module/binding.hpp

// What a callable over a core function passes on, for tools and docs: its
// parameters with their kinds, the shape of the call, its result kind and the
// core function it calls. Exposed read-only as `__core__`.
struct CallMeta {
    const char* const* params;
    const char* const* kinds; // "bytes", "request", "int", "float", "flag", "any"
    int count;
    const char* shape;     // "request-response", "command", "setter", "getter", "text-out"
    const char* result;    // "pair", "int", "float", "none", "bytes", "bytes-or-none"
    const void* (*core)(); // the core function's address
};

// An entry point with its description.
struct Call {
    vectorcallfunc fn;
    const CallMeta* meta;
};

// What is fixed about a callable at build time. `name` is also the name that
// argument errors report, whatever `__name__` is later set to. The parameters
// that tools see (`__text_signature__`) are those the entry point binds:
// `params` where given, else those of `meta`; with neither, the callable takes
// `(*args, **kwargs)`.
struct Definition {
    const char* name = nullptr;
    vectorcallfunc call = nullptr;
    const char* doc = nullptr;      // nullptr: `__doc__` is None
    const char* qualname = nullptr; // nullptr: same as `name`
    const CallMeta* meta = nullptr; // null for the helpers and record members
    const Params* params = nullptr; // the helpers' and record members' parameter lists
};

struct Function {
    PyObject_HEAD vectorcallfunc vectorcall;
    const Definition* def;
    PyObject* globals; // the module's namespace: module attributes are read here at call time
    PyObject* closure; // the callable an adapter wrapper forwards to; else null
    PyObject* name;
    PyObject* qualname;
    PyObject* doc;
    PyObject* module;
    PyObject* defaults;
    PyObject* annotations; // made on first use, as a Python function's
#if PY_VERSION_HEX >= 0x030E0000
    PyObject* annotate; // what makes `annotations` when asked, from 3.14 on; else null
#endif
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
