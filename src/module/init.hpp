// The initialisation run by the module's exec step.
#pragma once

#include <Python.h>

namespace c_sdk {

// Fills the module namespace, in order; -1 with an exception set on failure.
int initialise(PyObject* module);

// Adds a traceback entry named `where` to the exception being raised.
void add_traceback(const char* where);

} // namespace c_sdk
