// Orders and execution reports.
#include <qvcsdk.h>

#include "module/registry.hpp"
#include "module/shapes.hpp"

namespace c_sdk {
namespace {

using namespace source;

constexpr Wrapper rows[] = {
    {"py_qvi_place_order", w, request_response<qvi_place_order_pb>},
    {"py_qvi_get_unfinished_orders", w, request_response<qvi_get_unfinished_orders_pb>},
    {"py_qvi_get_orders", w, request_response<qvi_get_orders_pb>},
    {"py_qvi_cancel_all_orders", w, command<qvi_cancel_all_orders_pb>},
    {"py_qvi_close_all_positions", w, request_response<qvi_close_all_positions_pb>},
    {"py_qvi_get_execution_reports", w, request_response<qvi_get_execution_reports_pb>},
    {"py_qvi_cancel_order", w, command<qvi_cancel_orders_pb>}, // the core names it in the plural
    {"py_qvi_raw_func", w, request_response<qvi_raw_func_pb>},
};

} // namespace

constinit const Family family::orders{rows};

} // namespace c_sdk
