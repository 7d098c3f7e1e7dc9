// The benchmark's operations written the usual nanobind way: typed lambdas,
// module attributes read where c_sdk reads them (CSDK_OPERATE_SUCCESS,
// IS_PY2, f) through interned names, str arguments encoded to ASCII in C++,
// the records as a bound class whose fields are properties.
#include <nanobind/nanobind.h>

#include <climits>
#include <cstring>

#include "qvcsdk.h"

namespace nb = nanobind;
using namespace nb::literals;

namespace {

// Borrowed for the life of the process: the module and the names it reads.
nb::handle module_;
nb::handle s_success, s_is_py2, s_f, s_get, s_price;

nb::handle intern(const char* s) { return nb::handle(PyUnicode_InternFromString(s)); }

bool truth(nb::handle o) {
    int t = PyObject_IsTrue(o.ptr());
    if (t < 0) throw nb::python_error();
    return t != 0;
}

bool py2() { return truth(module_.attr(s_is_py2)); }

// An adapted text argument: str becomes ASCII bytes, bytes stay as they are.
nb::bytes text(nb::handle o, bool convert) {
    if (convert && nb::isinstance<nb::str>(o)) {
        nb::object b = PyUnicode_CheckExact(o.ptr()) ? nb::steal(PyUnicode_AsASCIIString(o.ptr()))
                                                     : o.attr("encode")("ascii");
        if (!b.is_valid()) throw nb::python_error();
        if (!nb::isinstance<nb::bytes>(b)) throw nb::type_error("encode() did not return bytes");
        return nb::borrow<nb::bytes>(b);
    }
    if (!nb::isinstance<nb::bytes>(o)) throw nb::type_error("expected bytes");
    return nb::borrow<nb::bytes>(o);
}

int length(const nb::bytes& b) {
    if (b.size() > static_cast<size_t>(INT_MAX)) throw nb::value_error("request too long");
    return static_cast<int>(b.size());
}

nb::object pair(int status, void* res, int res_len) {
    nb::int_ st(status);
    if (st.equal(module_.attr(s_success))) {
        nb::bytes payload = res ? nb::bytes(res, static_cast<size_t>(res_len)) : nb::bytes("", 0);
        return nb::make_tuple(st, payload);
    }
    return nb::make_tuple(st, nb::none());
}

void callback_wrapper(const char* msg_type, void* data, int data_len) {
    nb::gil_scoped_acquire gil;
    try {
        nb::object t = py2() ? nb::object(nb::bytes(msg_type)) : nb::object(nb::str(msg_type));
        nb::object f = module_.attr(s_f);
        f(t, nb::bytes(data, static_cast<size_t>(data_len)));
    } catch (nb::python_error& e) {
        e.discard_as_unraisable("nb_sdk.callback_wrapper");
    }
}

struct Tick {
    nb::object data;
};
struct Bar {
    nb::object data;
};

} // namespace

NB_MODULE(nb_sdk, m) {
    module_ = m;
    s_success = intern("CSDK_OPERATE_SUCCESS");
    s_is_py2 = intern("IS_PY2");
    s_f = intern("f");
    s_get = intern("get");
    s_price = intern("price");
    m.attr("CSDK_OPERATE_SUCCESS") = nb::module_::import_("qv.constant").attr("CSDK_OPERATE_SUCCESS");
    m.attr("IS_PY2") = false;
    m.attr("f") = nb::none();

    m.def(
        "py_qvi_history_ticks_pb",
        [](nb::bytes req) {
            void* res = nullptr;
            int res_len = 0;
            int st = qvi_history_ticks_pb(const_cast<char*>(req.c_str()), length(req), &res, &res_len);
            return pair(st, res, res_len);
        },
        "req"_a);

    m.def(
        "py_qvi_place_order",
        [](nb::handle req) {
            nb::bytes b = text(req, !py2());
            void* res = nullptr;
            int res_len = 0;
            int st = qvi_place_order_pb(const_cast<char*>(b.c_str()), length(b), &res, &res_len);
            return pair(st, res, res_len);
        },
        "req"_a);

    m.def(
        "py_qvi_set_backtest_config",
        [](nb::handle start_time, nb::handle end_time, double initial_cash, double transaction_ratio,
           double commission_ratio, double commission_unit, double slippage_ratio,
           double option_float_margin_ratio1, double option_float_margin_ratio2, int adjust, int match_mode,
           int check_cache) {
            bool convert = !py2();
            nb::bytes start = text(start_time, convert), end = text(end_time, convert);
            return qvi_set_backtest_config(start.c_str(), end.c_str(), initial_cash, transaction_ratio,
                                           commission_ratio, commission_unit, slippage_ratio,
                                           option_float_margin_ratio1, option_float_margin_ratio2, adjust,
                                           match_mode, check_cache);
        },
        "start_time"_a, "end_time"_a, "initial_cash"_a, "transaction_ratio"_a, "commission_ratio"_a,
        "commission_unit"_a, "slippage_ratio"_a, "option_float_margin_ratio1"_a,
        "option_float_margin_ratio2"_a, "adjust"_a, "match_mode"_a, "check_cache"_a);

    m.def(
        "py_qvi_subscribe",
        [](nb::handle symbols, nb::handle frequency, bool unsubscribe_previous) {
            bool convert = !py2();
            nb::bytes s = text(symbols, convert), fr = text(frequency, convert);
            return qvi_subscribe(s.c_str(), fr.c_str(), unsubscribe_previous);
        },
        "symbols"_a, "frequency"_a, "unsubscribe_previous"_a);

    m.def("qvi_now", [] { return qvi_now(); });

    m.def(
        "py_qvi_set_data_callback",
        [](nb::handle pythonf) {
            module_.attr(s_f) = pythonf;
            qvi_set_event_callback_pb(callback_wrapper);
        },
        "pythonf"_a);

    auto get = [](nb::handle data, nb::handle key) { return data.attr(s_get)(key); };
    nb::class_<Tick>(m, "TickLikeDict2")
        .def("__init__", [](Tick* r, nb::object data) { new (r) Tick{std::move(data)}; })
        .def_prop_rw(
            "price", [get](Tick& r) { return get(r.data, s_price); },
            [](Tick& r, nb::handle v) { r.data[s_price] = v; });
    nb::class_<Bar>(m, "BarLikeDict2")
        .def("__init__", [](Bar* r, nb::object data) { new (r) Bar{std::move(data)}; })
        .def("__contains__", [](Bar& r, nb::handle key) {
            int found = PySequence_Contains(r.data.ptr(), key.ptr());
            if (found < 0) throw nb::python_error();
            return found != 0;
        });
}
