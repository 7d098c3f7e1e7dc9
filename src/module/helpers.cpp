// Status helpers and platform probes, for the SDK above the module.
#include "module/helpers.hpp"

#include "module/binding.hpp"
#include "module/globals.hpp"
#include "module/ref.hpp"
#include "module/registry.hpp"

namespace c_sdk {
namespace {

PyObject* globals_of(PyObject* self) { return as_function(self)->globals; }

using NoParams = Py<>;
using StatusParams = Py<"status">;

// platform.uname()[0].lower() == expected
PyObject* system_is(PyObject* self, PyObject* const* args, std::size_t nargsf, PyObject* kwnames,
                    const char* expected) {
    if (bind(self, args, nargsf, kwnames, NoParams::params, nullptr) == nullptr) return nullptr;
    PyObject* platform = lookup_global(globals_of(self), names.platform);
    if (platform == nullptr) return nullptr;
    Ref uname(PyObject_CallMethod(platform, "uname", nullptr));
    if (!uname) return nullptr;
    Ref system(PySequence_GetItem(uname.get(), 0));
    if (!system) return nullptr;
    Ref lower(PyObject_CallMethod(system.get(), "lower", nullptr));
    if (!lower) return nullptr;
    Ref want(PyUnicode_FromString(expected));
    if (!want) return nullptr;
    return PyObject_RichCompare(lower.get(), want.get(), Py_EQ);
}

PyObject* is_windows_call(PyObject* self, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    return system_is(self, args, nargsf, kwnames, "windows");
}

PyObject* is_linux_call(PyObject* self, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    return system_is(self, args, nargsf, kwnames, "linux");
}

PyObject* compare_with_success(PyObject* self, PyObject* status, int op) {
    PyObject* success = lookup_global(globals_of(self), names.CSDK_OPERATE_SUCCESS);
    if (success == nullptr) return nullptr;
    return PyObject_RichCompare(status, success, op);
}

PyObject* c_status_ok_call(PyObject* self, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    PyObject* slots[StatusParams::count];
    PyObject* const* a = bind(self, args, nargsf, kwnames, StatusParams::params, slots);
    if (a == nullptr) return nullptr;
    return compare_with_success(self, a[0], Py_EQ);
}

constexpr const char* status_fail_names[] = {"status", "cfunname"};
PyObject* status_fail_interned[2] = {};
constexpr Params status_fail_params{status_fail_names, 2, 1, status_fail_interned};

// Logs a failing status at debug level, with the core library's text for it.
int log_failure(PyObject* self, PyObject* status, PyObject* cfunname) {
    PyObject* strerror = lookup_global(globals_of(self), names.py_qvi_strerror);
    if (strerror == nullptr) return -1;
    Ref raw(PyObject_CallOneArg(strerror, status));
    if (!raw) return -1;
    Ref info(PyObject_CallMethod(raw.get(), "decode", "s", "utf8"));
    if (!info) return -1;
    int named = PyObject_IsTrue(cfunname);
    if (named < 0) return -1;
    PyObject* logger = lookup_global(globals_of(self), names.qvsdklogger);
    if (logger == nullptr) return -1;
    Ref debug(PyObject_GetAttrString(logger, "debug"));
    if (!debug) return -1;
    Ref text(named ? PyUnicode_FromString("invoke c fun={} error code={}, error info={}")
                   : PyUnicode_FromString("invoke c fun error code={}, error info={}"));
    if (!text) return -1;
    Ref line(named ? PyObject_CallMethod(text.get(), "format", "OOO", cfunname, status, info.get())
                   : PyObject_CallMethod(text.get(), "format", "OO", status, info.get()));
    if (!line) return -1;
    Ref ignored(PyObject_CallOneArg(debug.get(), line.get()));
    return ignored ? 0 : -1;
}

PyObject* c_status_fail_call(PyObject* self, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    PyObject* slots[2];
    PyObject* const* a = bind(self, args, nargsf, kwnames, status_fail_params, slots);
    if (a == nullptr) return nullptr;
    PyObject* status = a[0];
    // The default lives in __defaults__, as for a Python function.
    PyObject* cfunname = a[1];
    if (cfunname == nullptr) {
        PyObject* defaults = as_function(self)->defaults;
        if (!PyTuple_Check(defaults) || PyTuple_GET_SIZE(defaults) < 1) {
            PyErr_SetString(PyExc_TypeError,
                            "c_status_fail() missing 1 required positional argument: 'cfunname'");
            return nullptr;
        }
        cfunname = PyTuple_GET_ITEM(defaults, PyTuple_GET_SIZE(defaults) - 1);
    }
    Ref isfail(compare_with_success(self, status, Py_NE));
    if (!isfail) return nullptr;
    int fail = PyObject_IsTrue(isfail.get());
    if (fail < 0) return nullptr;
    if (fail && log_failure(self, status, cfunname) < 0) return nullptr;
    return isfail.release();
}

} // namespace

const Definition is_windows_def{.name = "is_windows", .call = is_windows_call, .params = &NoParams::params};
const Definition is_linux_def{.name = "is_linux", .call = is_linux_call, .params = &NoParams::params};
const Definition c_status_ok_def{.name = "c_status_ok",
                                 .call = c_status_ok_call,
                                 .doc = "\n    c api 调用返回值status是否ok\n    ",
                                 .params = &StatusParams::params};
const Definition c_status_fail_def{.name = "c_status_fail",
                                   .call = c_status_fail_call,
                                   .doc = "\n    c api 调用返回值status是否fail\n    ",
                                   .params = &status_fail_params};

} // namespace c_sdk
