// Stock fundamentals and corporate data.
#include <qvcsdk.h>

#include "module/registry.hpp"
#include "module/shapes.hpp"

namespace c_sdk {
namespace {

using namespace source;

constexpr Wrapper rows[] = {
    {"py_qvi_stk_get_industry_category", plain, request_response<qvi_stk_get_industry_category>},
    {"py_qvi_stk_get_industry_constituents", plain, request_response<qvi_stk_get_industry_constituents>},
    {"py_qvi_stk_get_symbol_industry", plain, request_response<qvi_stk_get_symbol_industry>},
    {"py_qvi_stk_get_sector_category", plain, request_response<qvi_stk_get_sector_category>},
    {"py_qvi_stk_get_sector_constituents", plain, request_response<qvi_stk_get_sector_constituents>},
    {"py_qvi_stk_get_symbol_sector", plain, request_response<qvi_stk_get_symbol_sector>},
    {"py_qvi_stk_get_index_constituents", plain, request_response<qvi_stk_get_index_constituents>},
    {"py_qvi_stk_get_index_history_constituents", plain,
     request_response<qvi_stk_get_index_history_constituents>},
    {"py_qvi_stk_get_dividend", plain, request_response<qvi_stk_get_dividend>},
    {"py_stk_get_ration", plain, request_response<stk_get_ration>},
    {"py_qvi_stk_get_adj_factor", plain, request_response<qvi_stk_get_adj_factor>},
    {"py_qvi_stk_get_shareholder_num", plain, request_response<qvi_stk_get_shareholder_num>},
    {"py_qvi_stk_get_top_shareholder", plain, request_response<qvi_stk_get_top_shareholder>},
    {"py_qvi_stk_get_share_change", plain, request_response<qvi_stk_get_share_change>},
    {"py_qvi_stk_get_fundamentals_balance", plain, request_response<qvi_stk_get_fundamentals_balance>},
    {"py_qvi_stk_get_fundamentals_balance_pt", plain, request_response<qvi_stk_get_fundamentals_balance_pt>},
    {"py_qvi_stk_get_fundamentals_cashflow", plain, request_response<qvi_stk_get_fundamentals_cashflow>},
    {"py_qvi_stk_get_fundamentals_cashflow_pt", plain,
     request_response<qvi_stk_get_fundamentals_cashflow_pt>},
    {"py_qvi_stk_get_fundamentals_income", plain, request_response<qvi_stk_get_fundamentals_income>},
    {"py_qvi_stk_get_fundamentals_income_pt", plain, request_response<qvi_stk_get_fundamentals_income_pt>},
    {"py_qvi_stk_get_finance_prime", plain, request_response<qvi_stk_get_finance_prime>},
    {"py_qvi_stk_get_finance_prime_pt", plain, request_response<qvi_stk_get_finance_prime_pt>},
    {"py_qvi_stk_get_finance_deriv", plain, request_response<qvi_stk_get_finance_deriv>},
    {"py_qvi_stk_get_finance_deriv_pt", plain, request_response<qvi_stk_get_finance_deriv_pt>},
    {"py_qvi_stk_get_daily_valuation", plain, request_response<qvi_stk_get_daily_valuation>},
    {"py_qvi_stk_get_daily_valuation_pt", plain, request_response<qvi_stk_get_daily_valuation_pt>},
    {"py_qvi_stk_get_daily_mktvalue", plain, request_response<qvi_stk_get_daily_mktvalue>},
    {"py_qvi_stk_get_daily_mktvalue_pt", plain, request_response<qvi_stk_get_daily_mktvalue_pt>},
    {"py_qvi_stk_get_daily_basic", plain, request_response<qvi_stk_get_daily_basic>},
    {"py_qvi_stk_get_daily_basic_pt", plain, request_response<qvi_stk_get_daily_basic_pt>},
    {"py_qvi_stk_abnor_change_stocks", plain, request_response<qvi_stk_abnor_change_stocks>},
    {"py_qvi_stk_abnor_change_detail", plain, request_response<qvi_stk_abnor_change_detail>},
    {"py_qvi_stk_quota_shszhk_infos", plain, request_response<qvi_stk_quota_shszhk_infos>},
    {"py_qvi_stk_hk_inst_holding_detail_info", plain, request_response<qvi_stk_hk_inst_holding_detail_info>},
    {"py_qvi_stk_hk_inst_holding_info", plain, request_response<qvi_stk_hk_inst_holding_info>},
    {"py_qvi_stk_active_stock_top10_shszhk_info", plain,
     request_response<qvi_stk_active_stock_top10_shszhk_info>},
    {"py_qvi_stk_get_money_flow", plain, request_response<qvi_stk_get_money_flow>},
    {"py_qvi_stk_get_finance_audit", plain, request_response<qvi_stk_get_finance_audit>},
    {"py_qvi_stk_get_finance_forecast", plain, request_response<qvi_stk_get_finance_forecast>},
};

} // namespace

constinit const Family family::stocks{rows};

} // namespace c_sdk
