// The benchmark's operations written the usual pybind11 way: typed lambdas,
// module attributes read where c_sdk reads them (CSDK_OPERATE_SUCCESS,
// IS_PY2, f) through interned names, str arguments encoded to ASCII in C++,
// the records as a bound class whose fields are properties.
#include <pybind11/pybind11.h>

#include <climits>
#include <cstring>

#include "qvcsdk.h"

namespace py = pybind11;
using namespace py::literals;

namespace {

// Borrowed for the life of the process: the module and the names it reads.
py::handle module_;
py::handle s_success, s_is_py2, s_f, s_get, s_price;

py::handle intern(const char* s) { return py::handle(PyUnicode_InternFromString(s)); }

bool truth(py::handle o) {
    int t = PyObject_IsTrue(o.ptr());
    if (t < 0) throw py::error_already_set();
    return t != 0;
}

bool py2() { return truth(module_.attr(s_is_py2)); }

// An adapted text argument: str becomes ASCII bytes, bytes stay as they are.
py::bytes text(py::handle o, bool convert) {
    if (convert && py::isinstance<py::str>(o)) {
        py::object b = PyUnicode_CheckExact(o.ptr())
                           ? py::reinterpret_steal<py::object>(PyUnicode_AsASCIIString(o.ptr()))
                           : o.attr("encode")("ascii");
        if (!b) throw py::error_already_set();
        if (!py::isinstance<py::bytes>(b)) throw py::type_error("encode() did not return bytes");
        return py::reinterpret_borrow<py::bytes>(b);
    }
    if (!py::isinstance<py::bytes>(o)) throw py::type_error("expected bytes");
    return py::reinterpret_borrow<py::bytes>(o);
}

int length(py::handle b) {
    Py_ssize_t n = PyBytes_GET_SIZE(b.ptr());
    if (n > INT_MAX) throw py::value_error("request too long");
    return static_cast<int>(n);
}

char* data_of(py::handle b) { return PyBytes_AS_STRING(b.ptr()); }

py::object pair(int status, void* res, int res_len) {
    py::int_ st(status);
    if (st.equal(module_.attr(s_success))) {
        py::bytes payload =
            res ? py::bytes(static_cast<const char*>(res), static_cast<size_t>(res_len)) : py::bytes("", 0);
        return py::make_tuple(st, payload);
    }
    return py::make_tuple(st, py::none());
}

void callback_wrapper(const char* msg_type, void* data, int data_len) {
    py::gil_scoped_acquire gil;
    try {
        py::object t = py2() ? py::object(py::bytes(msg_type)) : py::object(py::str(msg_type));
        py::object f = module_.attr(s_f);
        f(t, py::bytes(static_cast<const char*>(data), static_cast<size_t>(data_len)));
    } catch (py::error_already_set& e) {
        e.discard_as_unraisable("pb_sdk.callback_wrapper");
    }
}

struct Tick {
    py::object data;
};
struct Bar {
    py::object data;
};

} // namespace

PYBIND11_MODULE(pb_sdk, m) {
    module_ = m;
    s_success = intern("CSDK_OPERATE_SUCCESS");
    s_is_py2 = intern("IS_PY2");
    s_f = intern("f");
    s_get = intern("get");
    s_price = intern("price");
    m.attr("CSDK_OPERATE_SUCCESS") = py::module_::import("qv.constant").attr("CSDK_OPERATE_SUCCESS");
    m.attr("IS_PY2") = false;
    m.attr("f") = py::none();

    m.def(
        "py_qvi_history_ticks_pb",
        [](py::bytes req) {
            void* res = nullptr;
            int res_len = 0;
            int st = qvi_history_ticks_pb(data_of(req), length(req), &res, &res_len);
            return pair(st, res, res_len);
        },
        "req"_a);

    m.def(
        "py_qvi_place_order",
        [](py::handle req) {
            py::bytes b = text(req, !py2());
            void* res = nullptr;
            int res_len = 0;
            int st = qvi_place_order_pb(data_of(b), length(b), &res, &res_len);
            return pair(st, res, res_len);
        },
        "req"_a);

    m.def(
        "py_qvi_set_backtest_config",
        [](py::handle start_time, py::handle end_time, double initial_cash, double transaction_ratio,
           double commission_ratio, double commission_unit, double slippage_ratio,
           double option_float_margin_ratio1, double option_float_margin_ratio2, int adjust, int match_mode,
           int check_cache) {
            bool convert = !py2();
            py::bytes start = text(start_time, convert), end = text(end_time, convert);
            return qvi_set_backtest_config(data_of(start), data_of(end), initial_cash, transaction_ratio,
                                           commission_ratio, commission_unit, slippage_ratio,
                                           option_float_margin_ratio1, option_float_margin_ratio2, adjust,
                                           match_mode, check_cache);
        },
        "start_time"_a, "end_time"_a, "initial_cash"_a, "transaction_ratio"_a, "commission_ratio"_a,
        "commission_unit"_a, "slippage_ratio"_a, "option_float_margin_ratio1"_a,
        "option_float_margin_ratio2"_a, "adjust"_a, "match_mode"_a, "check_cache"_a);

    m.def(
        "py_qvi_subscribe",
        [](py::handle symbols, py::handle frequency, bool unsubscribe_previous) {
            bool convert = !py2();
            py::bytes s = text(symbols, convert), fr = text(frequency, convert);
            return qvi_subscribe(data_of(s), data_of(fr), unsubscribe_previous);
        },
        "symbols"_a, "frequency"_a, "unsubscribe_previous"_a);

    m.def("qvi_now", [] { return qvi_now(); });

    m.def(
        "py_qvi_set_data_callback",
        [](py::handle pythonf) {
            module_.attr(s_f) = pythonf;
            qvi_set_event_callback_pb(callback_wrapper);
        },
        "pythonf"_a);

    py::class_<Tick>(m, "TickLikeDict2")
        .def(py::init([](py::object data) { return Tick{std::move(data)}; }))
        .def_property(
            "price", [](Tick& r) { return r.data.attr(s_get)(s_price); },
            [](Tick& r, py::handle v) { r.data[s_price] = v; });
    py::class_<Bar>(m, "BarLikeDict2")
        .def(py::init([](py::object data) { return Bar{std::move(data)}; }))
        .def("__contains__", [](Bar& r, py::handle key) {
            int found = PySequence_Contains(r.data.ptr(), key.ptr());
            if (found < 0) throw py::error_already_set();
            return found != 0;
        });
}
