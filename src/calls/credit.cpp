// Credit (margin) trading.
#include <qvcsdk.h>

#include "module/registry.hpp"
#include "module/shapes.hpp"

namespace c_sdk {
namespace {

using namespace source;

constexpr Wrapper rows[] = {
    {"py_qvi_repay_cash_directly_pb", w, request_response<qvi_repay_cash_directly_pb>},
    {"py_qvi_get_collateral_instruments_pb", w, request_response<qvi_get_collateral_instruments_pb>},
    {"py_qvi_get_borrowable_instruments_pb", w, request_response<qvi_get_borrowable_instruments_pb>},
    {"py_qvi_get_borrowable_instruments_positions_pb", w,
     request_response<qvi_get_borrowable_instruments_positions_pb>},
    {"py_qvi_get_credit_contracts_pb", w, request_response<qvi_get_credit_contracts_pb>},
    {"py_qvi_get_credit_cash_pb", w, request_response<qvi_get_credit_cash_pb>},
};

} // namespace

constinit const Family family::credit{rows};

} // namespace c_sdk
