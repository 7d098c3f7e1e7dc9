// Registration of the event callable and the core library's run loop.
#include <qvcsdk.h>

#include "events/callback.hpp"
#include "module/registry.hpp"
#include "module/shapes.hpp"

namespace c_sdk {
namespace {

PyObject* set_data_callback(PyObject* self, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    using P = Py<"pythonf">;
    PyObject* slots[P::count];
    PyObject* const* a = bind(self, args, nargsf, kwnames, P::params, slots);
    if (a == nullptr) return nullptr;
    if (PyDict_SetItem(as_function(self)->globals, names.f, a[0]) < 0) return nullptr;
    qvi_set_event_callback_pb(callback_wrapper);
    Py_RETURN_NONE;
}

constexpr const char* callback_kinds[] = {"any"};
constexpr CallMeta set_data_callback_meta{
    Py<"pythonf">::names, callback_kinds, 1, "setter", "none", &core_address<qvi_set_event_callback_pb>};

constexpr Wrapper rows[] = {
    {"py_qvi_set_data_callback", plain, Call{set_data_callback, &set_data_callback_meta}},
    {"py_qvi_run", plain, scalar<qvi_run>},
    {"py_qvi_stop", plain, scalar<qvi_stop>},
    {"py_qvi_get_stop_error_code", plain, scalar<qvi_get_stop_error_code>},
};

} // namespace

constinit const Family family::events{rows};

} // namespace c_sdk
