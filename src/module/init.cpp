#include "module/init.hpp"

#include <frameobject.h>

#include <cstdio>

#include "module/function.hpp"
#include "module/globals.hpp"
#include "module/helpers.hpp"
#include "module/ref.hpp"
#include "module/registry.hpp"

namespace c_sdk {
namespace {

int set_attr(PyObject* module, const char* name, PyObject* value /* stolen */) {
    if (value == nullptr) return -1;
    int rc = PyObject_SetAttrString(module, name, value);
    Py_DECREF(value);
    return rc;
}

// Warns when the running interpreter is not the one the module was built for.
int check_version() {
    int major = 0, minor = 0;
    if (std::sscanf(Py_GetVersion(), "%d.%d", &major, &minor) != 2) return 0;
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return 0;
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                            PY_MAJOR_VERSION, PY_MINOR_VERSION, "c_sdk", "does not match", major, minor);
}

int register_in_sys_modules(PyObject* module) {
    PyObject* modules = PyImport_GetModuleDict(); // borrowed
    PyObject* name = PyModule_GetNameObject(module);
    if (name == nullptr) return -1;
    int rc = PyDict_Contains(modules, name);
    if (rc == 0) rc = PyDict_SetItem(modules, name, module);
    Py_DECREF(name);
    return rc < 0 ? -1 : 0;
}

// import <name>; bind it under its own name.
int import_module(PyObject* module, const char* name) {
    PyObject* m = PyImport_ImportModuleLevel(name, PyModule_GetDict(module), nullptr, nullptr, 0);
    return set_attr(module, name, m);
}

// from <package> import <name>; bind it.
int import_from(PyObject* module, const char* package, const char* name) {
    Ref attr(PyUnicode_InternFromString(name));
    if (!attr) return -1;
    Ref fromlist(PyTuple_Pack(1, attr.get()));
    if (!fromlist) return -1;
    Ref from(PyImport_ImportModuleLevel(package, PyModule_GetDict(module), nullptr, fromlist.get(), 0));
    if (!from) return -1;
    PyObject* value = PyObject_GetAttr(from.get(), attr.get());
    if (value == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "cannot import name %S", attr.get());
        return -1;
    }
    return set_attr(module, name, value);
}

int bind_wrappers(PyObject* module) {
    PyObject* globals = PyModule_GetDict(module);
    const Family* families[] = {
        &family::events,      &family::timers, &family::settings,  &family::backtest,
        &family::bus,         &family::quotes, &family::history,   &family::orders,
        &family::accounts,    &family::algo,   &family::credit,    &family::ipo_options,
        &family::instruments, &family::stocks, &family::reference, &family::pools,
    };
    for (const Family* fam : families) {
        for (const Wrapper& row : *fam) {
            Ref fn(make_function(row.def, globals));
            if (!fn) return -1;
            if (row.adapt == Adapt::yes) {
                // Looked up now, as the module attribute it is at this moment.
                Ref adapt(PyObject_GetAttrString(module, "adapt_to_python3"));
                if (!adapt) return -1;
                fn = Ref(PyObject_CallOneArg(adapt.get(), fn.get()));
                if (!fn) return -1;
            }
            if (set_attr(module, row.def.name, fn.release()) < 0) return -1;
        }
    }
    return 0;
}

int bind_direct_callables(PyObject* module) {
    PyObject* globals = PyModule_GetDict(module);
    for (const DirectCallable& d : direct_callables) {
        if (set_attr(module, d.attribute, make_function(d.def, globals)) < 0) return -1;
    }
    return 0;
}

} // namespace

int bind_helpers(PyObject* module) {
    PyObject* globals = PyModule_GetDict(module);
    for (const Definition* d : {&is_windows_def, &is_linux_def, &adapt_to_python3_def, &c_status_ok_def}) {
        if (set_attr(module, d->name, make_function(*d, globals)) < 0) return -1;
    }
    Ref defaults(Py_BuildValue("(s)", ""));
    if (!defaults) return -1;
    return set_attr(module, c_status_fail_def.name,
                    make_function(c_status_fail_def, globals, nullptr, defaults.get()));
}

int initialise(PyObject* module) {
    if (check_version() < 0) return -1;
    if (init_names() < 0 || ready_function_type() < 0) return -1;
    if (state.builtins == nullptr) {
        PyObject* builtins = PyImport_ImportModule("builtins");
        if (builtins == nullptr) return -1;
        state.builtins = Py_NewRef(PyModule_GetDict(builtins));
        Py_DECREF(builtins);
    }
    if (register_in_sys_modules(module) < 0) return -1;
    if (import_module(module, "functools") < 0) return -1;
    if (import_module(module, "platform") < 0) return -1;
    if (import_from(module, "qv.constant", "CSDK_OPERATE_SUCCESS") < 0) return -1;
    if (import_from(module, "qv.utils", "qvsdklogger") < 0) return -1;
    if (set_attr(module, "IS_PY2", Py_NewRef(Py_False)) < 0) return -1;
    if (set_attr(module, "IS_PY3", Py_NewRef(Py_True)) < 0) return -1;
    if (bind_records(module) < 0) return -1;
    if (bind_helpers(module) < 0) return -1;
    if (bind_wrappers(module) < 0) return -1;
    return bind_direct_callables(module);
}

void add_traceback(const char* where) {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    PyCodeObject* code = PyCode_NewEmpty("c_sdk", where, 1);
    PyObject* globals = PyDict_New();
    PyFrameObject* frame =
        code && globals ? PyFrame_New(PyThreadState_Get(), code, globals, nullptr) : nullptr;
    PyErr_Clear(); // a failure to decorate the traceback must not replace the error
    PyErr_Restore(type, value, tb);
    if (frame != nullptr) PyTraceBack_Here(frame);
    Py_XDECREF(frame);
    Py_XDECREF(globals);
    Py_XDECREF(reinterpret_cast<PyObject*>(code));
}

} // namespace c_sdk
