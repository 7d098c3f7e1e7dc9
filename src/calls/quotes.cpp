// Subscription and live quotes.
#include <qvcsdk.h>

#include "module/registry.hpp"
#include "module/shapes.hpp"

namespace c_sdk {
namespace {

using namespace source;

constexpr Wrapper rows[] = {
    // takes (symbols, fields, include_call_auction), passes the flag second
    {"py_qvi_current", w,
     custom<qvi_current_pb, Py<"symbols", "fields", "include_call_auction">, Text<0>, Flag<2>, Text<1>,
            Response>},
    {"py_qvi_current_price", w, request_response<qvi_current_price_pb>},
    {"py_qvi_last_tick", w, request_response<qvi_last_tick_pb>},
    {"py_qvi_subscribe", w, scalar<qvi_subscribe, "symbols", "frequency", "unsubscribe_previous">},
    {"py_qvi_unsubscribe", w, scalar<qvi_unsubscribe, "symbols", "frequency">},
    {"py_qvi_get_open_call_auction", plain, request_response<qvi_get_open_call_auction>},
};

} // namespace

constinit const Family family::quotes{rows};

} // namespace c_sdk
