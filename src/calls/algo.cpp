// Algorithmic orders and smart re-ordering.
#include <qvcsdk.h>

#include "module/registry.hpp"
#include "module/shapes.hpp"

namespace c_sdk {
namespace {

using namespace source;

constexpr Wrapper rows[] = {
    {"py_qvi_place_algo_orders", w, request_response<qvi_place_algo_orders_pb>},
    {"py_qvi_algo_order_batch", w,
     custom<qvi_algo_order_batch_pb, Py<"req", "algo_name", "algo_params">, Request<0>, Text<1>, Text<2>,
            Response>},
    {"py_qvi_cancel_algo_orders", w, command<qvi_cancel_algo_orders_pb>},
    {"py_qvi_pause_algo_orders", w, command<qvi_pause_algo_orders_pb>},
    {"py_qvi_get_algo_orders", w, request_response<qvi_get_algo_orders_pb>},
    {"py_qvi_get_child_orders", w,
     custom<qvi_get_child_orders_pb, Py<"account_id", "algo_id">, Text<0>, Text<1>, Response>},
    {"py_qvi_smart_reorder", w,
     scalar<qvi_smart_reorder, "symbol", "price", "volume", "side", "order_type", "position_effect",
            "repeat_n", "max_price_offset", "time_out", "time_wait", "account">},
    {"py_qvi_smart_reorder_cancel", w, scalar<qvi_smart_reorder_cancel, "reorder_id">},
};

} // namespace

constinit const Family family::algo{rows};

} // namespace c_sdk
