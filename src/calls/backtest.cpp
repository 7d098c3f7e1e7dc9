// Backtest settings, strategy parameters and logging.
#include <qvcsdk.h>

#include "module/registry.hpp"
#include "module/shapes.hpp"

namespace c_sdk {
namespace {

using namespace source;

constexpr Wrapper rows[] = {
    {"py_qvi_set_backtest_config", w,
     scalar<qvi_set_backtest_config, "start_time", "end_time", "initial_cash", "transaction_ratio",
            "commission_ratio", "commission_unit", "slippage_ratio", "option_float_margin_ratio1",
            "option_float_margin_ratio2", "adjust", "match_mode", "check_cache">},
    {"py_qvi_set_backtest_intraday", w, scalar<qvi_set_backtest_intraday, "req">},
    {"py_qvi_get_parameters", plain, request_response<qvi_get_parameters_pb>},
    {"py_qvi_add_parameters", plain, command<qvi_add_parameters_pb>},
    {"py_qvi_set_parameters", plain, command<qvi_set_parameters_pb>},
    {"py_qvi_log", plain, command<qvi_log_pb>},
    {"py_qvi_set_backtest_threadnum", plain, scalar<qvi_set_backtest_threadnum, "n">},
};

} // namespace

constinit const Family family::backtest{rows};

} // namespace c_sdk
