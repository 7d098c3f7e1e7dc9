// Historical market data.
#include <qvcsdk.h>

#include "module/registry.hpp"
#include "module/shapes.hpp"

namespace c_sdk {
namespace {

using namespace source;

constexpr Wrapper rows[] = {
    {"py_qvi_history_ticks_l2", w, request_response<qvi_history_ticks_l2_pb>},
    {"py_qvi_history_bars_l2", w, request_response<qvi_history_bars_l2_pb>},
    {"py_qvi_history_transaction_l2", w, request_response<qvi_history_transaction_l2_pb>},
    {"py_qvi_history_order_l2", w, request_response<qvi_history_order_l2_pb>},
    {"py_qvi_history_order_queue_l2", w, request_response<qvi_history_order_queue_l2_pb>},
    {"py_qvi_history_ticks_pb", plain, request_response<qvi_history_ticks_pb>},
    {"py_qvi_history_bars_pb", plain, request_response<qvi_history_bars_pb>},
    {"py_qvi_history_ticks_n_pb", plain, request_response<qvi_history_ticks_n_pb>},
    {"py_qvi_history_bars_n_pb", plain, request_response<qvi_history_bars_n_pb>},
};

} // namespace

constinit const Family family::history{rows};

} // namespace c_sdk
