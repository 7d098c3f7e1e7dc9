#include "module/binding.hpp"

#include "module/function.hpp"

namespace c_sdk {
namespace {

const char* name_of(PyObject* self) { return as_function(self)->def->name; }

void raise_count(PyObject* self, const Params& p, Py_ssize_t given) {
    const bool exact = p.required == p.count;
    const bool fewer = given < p.required;
    const char* how = exact ? "exactly" : fewer ? "at least" : "at most";
    Py_ssize_t expected = fewer ? p.required : p.count;
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 name_of(self), how, expected, expected == 1 ? "" : "s", given);
}

int intern_names(const Params& p) {
    for (Py_ssize_t i = 0; i < p.count; ++i) {
        if (p.interned[i] != nullptr) continue;
        p.interned[i] = PyUnicode_InternFromString(p.names[i]);
        if (p.interned[i] == nullptr) return -1;
    }
    return 0;
}

// -1 on error, 0 when different, 1 when equal.
int same_name(PyObject* key, PyObject* name) {
    if (key == name) return 1;
    if (PyUnicode_GET_LENGTH(key) != PyUnicode_GET_LENGTH(name)) return 0;
    int cmp = PyUnicode_Compare(key, name);
    if (cmp == -1 && PyErr_Occurred()) return -1;
    return cmp == 0;
}

// Index of `key` among the parameters [from, to), -1 when absent, -2 on error.
Py_ssize_t find_param(PyObject* key, const Params& p, Py_ssize_t from, Py_ssize_t to) {
    for (Py_ssize_t i = from; i < to; ++i)
        if (p.interned[i] == key) return i;
    for (Py_ssize_t i = from; i < to; ++i) {
        int eq = same_name(key, p.interned[i]);
        if (eq < 0) return -2;
        if (eq) return i;
    }
    return -1;
}

// The keyword value for parameter i, or null when not given (or on error).
PyObject* keyword_value(PyObject* kwnames, PyObject* const* kwvalues, PyObject* name) {
    Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t j = 0; j < n; ++j)
        if (PyTuple_GET_ITEM(kwnames, j) == name) return kwvalues[j];
    for (Py_ssize_t j = 0; j < n; ++j) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, j);
        if (!PyUnicode_Check(key)) continue;
        int eq = same_name(key, name);
        if (eq < 0) return nullptr;
        if (eq) return kwvalues[j];
    }
    return nullptr;
}

} // namespace

PyObject* const* bind_slow(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                           const Params& p, PyObject** slots) {
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (p.count == 0) {
        if (nkw != 0) {
            PyErr_Format(PyExc_TypeError, "%.200s() %s", name_of(self), "takes no keyword arguments");
        } else {
            PyErr_Format(PyExc_TypeError, "%.200s() %s (%zd given)", name_of(self), "takes no arguments",
                         nargs);
        }
        return nullptr;
    }
    if (nargs > p.count || (nkw == 0 && nargs < p.required)) {
        raise_count(self, p, nargs);
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < p.count; ++i) slots[i] = i < nargs ? args[i] : nullptr;
    if (nkw == 0) return slots;

    if (intern_names(p) < 0) return nullptr;
    PyObject* const* kwvalues = args + nargs;
    // Parameters after the positional ones are taken from the keywords in
    // parameter order; the first required one missing is reported at once.
    Py_ssize_t matched = 0;
    for (Py_ssize_t i = nargs; i < p.count; ++i) {
        slots[i] = keyword_value(kwnames, kwvalues, p.interned[i]);
        if (slots[i] != nullptr) {
            ++matched;
        } else if (PyErr_Occurred()) {
            return nullptr;
        } else if (i < p.required) {
            raise_count(self, p, i);
            return nullptr;
        }
    }
    if (matched == nkw) return slots;
    // Some keyword named no remaining parameter: say which, in keyword order.
    for (Py_ssize_t j = 0; j < nkw; ++j) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, j);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", name_of(self));
            return nullptr;
        }
        Py_ssize_t at = find_param(key, p, nargs, p.count);
        if (at == -2) return nullptr;
        if (at >= 0) continue;
        at = find_param(key, p, 0, nargs);
        if (at == -2) return nullptr;
        if (at >= 0) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", name_of(self),
                         key);
        } else {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", name_of(self), key);
        }
        return nullptr;
    }
    return slots;
}

} // namespace c_sdk
