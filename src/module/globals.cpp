#include "module/globals.hpp"

namespace c_sdk {

Names names{};
ModuleState state{};

int init_names() {
    struct Entry {
        PyObject*& slot;
        const char* text;
    };
    const Entry entries[] = {
        {names.CSDK_OPERATE_SUCCESS, "CSDK_OPERATE_SUCCESS"},
        {names.qvsdklogger, "qvsdklogger"},
        {names.IS_PY2, "IS_PY2"},
        {names.f, "f"},
        {names.py_qvi_strerror, "py_qvi_strerror"},
        {names.platform, "platform"},
        {names.data, "data"},
    };
    for (const Entry& e : entries) {
        if (e.slot != nullptr) continue; // kept for the life of the process
        e.slot = PyUnicode_InternFromString(e.text);
        if (e.slot == nullptr) return -1;
    }
    return 0;
}

PyObject* lookup_global(PyObject* globals, PyObject* name) {
    PyObject* v = PyDict_GetItemWithError(globals, name);
    if (v != nullptr || PyErr_Occurred()) return v;
    if (state.builtins != nullptr) {
        v = PyDict_GetItemWithError(state.builtins, name);
        if (v != nullptr || PyErr_Occurred()) return v;
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return nullptr;
}

#if PY_VERSION_HEX < 0x030C0000
// Every change to a dict gives it a new version, unique across all dicts.
std::uint64_t CachedGlobal::version_of(PyObject* globals) {
    return reinterpret_cast<PyDictObject*>(globals)->ma_version_tag;
}
bool watch(PyObject*) { return true; }
#else
// Newer interpreters tell about changes through a dict watcher instead: any
// change to a watched namespace starts a new generation.
namespace {
std::uint64_t generation = 1;
int watcher_id = -1;
int on_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    ++generation;
    return 0;
}
} // namespace
std::uint64_t CachedGlobal::version_of(PyObject*) { return generation; }
bool watch(PyObject* globals) {
    if (watcher_id < 0) {
        watcher_id = PyDict_AddWatcher(on_change);
        if (watcher_id < 0) {
            PyErr_Clear();
            return false;
        }
    }
    if (PyDict_Watch(watcher_id, globals) < 0) {
        PyErr_Clear();
        return false;
    }
    return true;
}
#endif

PyObject* CachedGlobal::refresh(PyObject* globals) {
    dict_ = nullptr;
    PyObject* v = PyDict_GetItemWithError(globals, name_);
    if (v != nullptr) {
        if (watch(globals)) {
            dict_ = globals;
            version_ = version_of(globals);
            value_ = v;
        }
        return v;
    }
    if (PyErr_Occurred()) return nullptr;
    return lookup_global(globals, name_);
}

namespace cached {
CachedGlobal CSDK_OPERATE_SUCCESS{names.CSDK_OPERATE_SUCCESS};
CachedGlobal IS_PY2{names.IS_PY2};
CachedGlobal f{names.f};
} // namespace cached

} // namespace c_sdk
