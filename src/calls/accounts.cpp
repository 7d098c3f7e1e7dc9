// Cash, positions and accounts.
#include <qvcsdk.h>

#include "module/registry.hpp"
#include "module/shapes.hpp"

namespace c_sdk {
namespace {

using namespace source;

constexpr Wrapper rows[] = {
    {"py_qvi_get_cash", w, request_response<qvi_get_cash_pb>},
    {"py_qvi_get_positions", w, request_response<qvi_get_positions_pb>},
    {"py_qvi_get_accounts", plain, custom<qvi_get_account_info_pb, Py<>, Response>}, // no request
    {"py_qvi_get_account_status", w, request_response<qvi_get_account_status_pb>},
    {"py_qvi_get_entrustable_volume_by_symbol_pb", w,
     request_response<qvi_get_entrustable_volume_by_symbol_pb>},
    {"py_qvi_get_cash_pb_v2", plain, request_response<qvi_get_cash_pb_v2>},
    {"py_qvi_get_positions_pb_v2", plain, request_response<qvi_get_positions_pb_v2>},
};

} // namespace

constinit const Family family::accounts{rows};

} // namespace c_sdk
