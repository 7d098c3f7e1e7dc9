// Futures, fund, bond and option reference data.
#include <qvcsdk.h>

#include "module/registry.hpp"
#include "module/shapes.hpp"

namespace c_sdk {
namespace {

using namespace source;

constexpr Wrapper rows[] = {
    {"py_qvi_fut_get_continuous_contracts", plain, request_response<qvi_fut_get_continuous_contracts>},
    {"py_qvi_fut_get_contract_info", plain, request_response<qvi_fut_get_contract_info>},
    {"py_qvi_fut_get_transaction_ranking", plain, request_response<qvi_fut_get_transaction_ranking>},
    {"py_qvi_fut_get_transaction_rankings", plain, request_response<qvi_fut_get_transaction_rankings>},
    {"py_qvi_fut_get_warehouse_receipt", plain, request_response<qvi_fut_get_warehouse_receipt>},
    {"py_qvi_fnd_get_etf_constituents", plain, request_response<qvi_fnd_get_etf_components>},
    {"py_qvi_fnd_get_portfolio", plain, request_response<qvi_fnd_get_portfolio>},
    {"py_qvi_fnd_get_net_value", plain, request_response<qvi_fnd_get_net_value>},
    {"py_qvi_fnd_get_adj_factor", plain, request_response<qvi_fnd_get_adj_factor>},
    {"py_qvi_fnd_get_dividend", plain, request_response<qvi_fnd_get_dividend>},
    {"py_qvi_fnd_get_split", plain, request_response<qvi_fnd_get_split>},
    {"py_qvi_bnd_get_conversion_price", plain, request_response<qvi_bnd_get_conversion_price>},
    {"py_qvi_bnd_get_call_info", plain, request_response<qvi_bnd_get_call_info>},
    {"py_qvi_bnd_get_put_info", plain, request_response<qvi_bnd_get_put_info>},
    {"py_qvi_bnd_get_amount_change", plain, request_response<qvi_bnd_get_amount_change>},
    {"py_qvi_option_get_symbols_by_exchange", plain, request_response<qvi_option_get_symbols_by_exchange>},
    {"py_qvi_option_get_symbols_by_in_at_out", plain, request_response<qvi_option_get_symbols_by_in_at_out>},
    {"py_qvi_option_get_delisted_dates", plain, request_response<qvi_option_get_delisted_dates>},
    {"py_qvi_option_get_exercise_prices", plain, request_response<qvi_option_get_exercise_prices>},
    {"py_qvi_fnd_get_share", plain, request_response<qvi_fnd_get_share>},
    {"py_qvi_bnd_get_analysis", plain, request_response<qvi_bnd_get_analysis>},
};

} // namespace

constinit const Family family::reference{rows};

} // namespace c_sdk
