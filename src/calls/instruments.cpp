// Instruments, calendar and sessions.
#include <qvcsdk.h>

#include "module/registry.hpp"
#include "module/shapes.hpp"

namespace c_sdk {
namespace {

using namespace source;

constexpr Wrapper rows[] = {
    {"py_qvi_get_symbol_infos", plain, request_response<qvi_get_symbol_infos>},
    {"py_qvi_get_symbols_v2", plain, request_response<qvi_get_symbols_v2>},
    {"py_qvi_get_history_symbol", plain, request_response<qvi_get_history_symbol>},
    {"py_qvi_get_trading_session", plain, request_response<qvi_get_trading_session>},
    {"py_qvi_get_contract_expire_rest_days", plain, request_response<qvi_get_contract_expire_rest_days>},
    {"py_get_trading_dates_by_year", plain, request_response<qvi_get_trading_dates_by_year>},
    {"py_qvi_get_fundamentals", plain, request_response<qvi_get_fundamentals>},
    {"py_qvi_get_fundamentals_n", plain, request_response<qvi_get_fundamentals_n>},
    {"py_qvi_get_instrumentInfos", plain, request_response<qvi_get_instrumentInfos>},
    {"py_qvi_get_fuzzy_match_instrumentInfos", plain, request_response<qvi_get_fuzzy_match_instrumentInfos>},
    {"py_qvi_get_history_instruments", plain, request_response<qvi_get_history_instruments>},
    {"py_qvi_get_constituents", plain, request_response<qvi_get_constituents>},
    {"py_qvi_get_sector", plain, request_response<qvi_get_sector>},
    {"py_qvi_get_industry", plain, request_response<qvi_get_industry>},
    {"py_qvi_get_concept", plain, request_response<qvi_get_concept>},
    {"py_qvi_get_trading_dates", plain, request_response<qvi_get_trading_dates>},
    {"py_qvi_get_previous_trading_date", plain, request_response<qvi_get_previous_trading_date>},
    {"py_qvi_get_next_trading_date", plain, request_response<qvi_get_next_trading_date>},
    {"py_qvi_get_dividends", plain, request_response<qvi_get_dividends>},
    {"py_qvi_get_dividends_snapshot", plain, request_response<qvi_get_dividends_snapshot>},
    {"py_qvi_get_continuous_contracts", plain, request_response<qvi_get_continuous_contracts>},
    {"py_qvi_get_varietyinfos", plain, request_response<qvi_get_varietyinfos>},
    {"py_qvi_get_trading_time", plain, request_response<qvi_get_trading_time>},
    {"py_qvi_get_instruments", plain, request_response<qvi_get_instruments>},
    {"py_qvi_get_trading_times_ext", plain, request_response<qvi_get_trading_times_ext>},
    {"py_qvi_get_convertible_bond_call_info", plain, request_response<qvi_get_convertible_bond_call_info>},
    {"py_qvi_get_previous_n_trading_dates", plain, request_response<qvi_get_previous_n_trading_dates>},
    {"py_qvi_get_next_n_trading_dates", plain, request_response<qvi_get_next_n_trading_dates>},
};

} // namespace

constinit const Family family::instruments{rows};

} // namespace c_sdk
