// Argument binding shared by every callable of the module: positional and
// keyword arguments are matched to the parameter list, with the messages
// callers of this module have always seen. A call that passes exactly the
// parameters by position binds without copying anything.
#pragma once

#include <Python.h>

#include <algorithm>
#include <cstddef>

namespace c_sdk {

// A parameter list: names, how many of them are required (the rest are
// optional and stay null when not given), and their interned name objects,
// made on first use by keyword.
struct Params {
    const char* const* names;
    Py_ssize_t count;
    Py_ssize_t required;
    PyObject** interned;
};

// A name usable as a template argument, so that a parameter list is written
// once, in the row of the function that has it.
template <std::size_t N>
struct Name {
    char text[N]{};
    // Implicit on purpose: a string literal written as a template argument
    // becomes a Name.
    // cppcheck-suppress noExplicitConstructor
    constexpr Name(const char (&s)[N]) { std::copy_n(s, N, text); }
};

template <Name... Ns>
struct Py {
    static constexpr std::size_t count = sizeof...(Ns);
    static constexpr const char* names[count ? count : 1] = {Ns.text...};
    static inline PyObject* interned[count ? count : 1] = {};
    static constexpr Params params{names, count, count, interned};
};

// Binds a vectorcall to `p`. Returns the bound arguments in parameter order:
// `args` itself on the positional fast path, else `slots` (count entries,
// borrowed references, null for an optional parameter not given). Returns null
// with TypeError set when the arguments do not fit. `self` names the function
// in messages.
PyObject* const* bind_slow(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                           const Params& p, PyObject** slots);

inline PyObject* const* bind(PyObject* self, PyObject* const* args, std::size_t nargsf, PyObject* kwnames,
                             const Params& p, PyObject** slots) {
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    // A call without arguments may come with a null vector; the result must
    // still be non-null.
    static PyObject* const none[1] = {nullptr};
    if (kwnames == nullptr && nargs == p.count) return p.count ? args : none;
    return bind_slow(self, args, nargs, kwnames, p, slots);
}

} // namespace c_sdk
