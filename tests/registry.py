"""What every wrapper of c_sdk is, as its users know it: the oracle that the
parametrized tests check the module against.

A parameter kind is one of
  bytes  a byte-string read by the core as const char*
  req    a byte-string handed over as pointer and len()
  int    a 32-bit C int
  float  a C double
  flag   a C bool by truth value
  any    any object (the event callable)
A C argument is a parameter name, OUT (the response out-parameters, or the
char** of py_qvi_get_serv_addr), or NULL (a const char* always passed null).
"""

from dataclasses import dataclass
from typing import Tuple

OUT = "<out>"
NULL = "<null>"


@dataclass(frozen=True)
class Row:
    name: str
    adapted: bool
    params: Tuple[Tuple[str, str], ...]
    core: str
    cargs: Tuple[str, ...]
    result: str  # pair | int | none | bytes | text_or_none

    @property
    def kinds(self):
        return dict(self.params)


def rr(name, adapted, core):
    return Row(name, adapted, (("req", "req"),), core, ("req", OUT), "pair")


def cmd(name, adapted, core):
    return Row(name, adapted, (("req", "req"),), core, ("req",), "int")


def scalar(name, adapted, core, params, result):
    return Row(name, adapted, tuple(params), core, tuple(p for p, _ in params), result)


def B(*names):
    return [(n, "bytes") for n in names]


def I(*names):
    return [(n, "int") for n in names]


W, P = True, False

EVENTS = [
    Row("py_qvi_set_data_callback", P, (("pythonf", "any"),), "qvi_set_event_callback_pb", ("<callback>",), "none"),
    scalar("py_qvi_run", P, "qvi_run", [], "int"),
    scalar("py_qvi_stop", P, "qvi_stop", [], "int"),
    scalar("py_qvi_get_stop_error_code", P, "qvi_get_stop_error_code", [], "int"),
]
TIMERS = [
    scalar("py_qvi_schedule", W, "qvi_schedule", B("date_rule", "time_rule"), "int"),
    scalar("py_qvi_set_timer", P, "qvi_set_timer", I("interval"), "none"),
    scalar("py_qvi_user_timer", W, "qvi_user_timer", I("period", "start_delay"), "int"),
    scalar("py_qvi_user_timer_stop", W, "qvi_user_timer_stop", I("timer_id"), "none"),
]
SETTINGS = [
    Row("py_qvi_set_mode_consistency", W, (("mode", "int"),), "qvi_set_mode_consistency", ("mode",), "none"),
    Row("py_qvi_get_serv_addr", W, (("serv_id", "bytes"),), "qvi_get_serv_addr", ("serv_id", OUT), "text_or_none"),
    scalar("py_qvi_set_strategy_id", W, "qvi_set_strategy_id", B("strategy_id"), "none"),
    scalar("py_qvi_set_token", W, "qvi_set_token", B("token"), "int"),
    scalar("py_qvi_get_encrypted_token", W, "qvi_get_encrypted_token", [], "bytes"),
    scalar("py_qvi_get_orgcode", W, "qvi_get_orgcode", [], "bytes"),
    scalar("py_qvi_set_mfp", W, "qvi_set_mfp", B("mfp"), "none"),
    scalar("py_qvi_set_apitoken", W, "qvi_set_apitoken", B("token"), "none"),
    scalar("py_qvi_set_serv_addr", W, "qvi_set_serv_addr", B("addr"), "none"),
    scalar("py_qvi_set_ctp_md_info", W, "qvi_set_ctp_md_info", B("front_addresses", "user_name", "password"), "none"),
    scalar("py_qvi_strerror", P, "qvi_strerror", I("errorno"), "bytes"),
    scalar("py_qvi_get_ext_errormsg", P, "qvi_get_ext_errormsg", [], "bytes"),
    Row("py_qvi_set_version", W, tuple(B("sdk_version", "sdk_lang")), "qvi_set_version",
        ("sdk_version", "sdk_lang", NULL, NULL), "none"),
    scalar("py_qvi_set_serv_addr_v5", P, "qvi_set_serv_addr_v5", B("addr", "orgcode", "site_id"), "none"),
    scalar("py_qvi_set_account_id", P, "qvi_set_account_id", B("account_ids"), "none"),
    scalar("py_qvi_set_simtrade_only", P, "qvi_set_simtrade_only", [], "none"),
    scalar("py_qvi_set_max_wait_time", P, "qvi_set_max_wait_time", I("max_wait_time"), "none"),
    scalar("py_qvi_use_dsproxy", P, "qvi_use_dsproxy", [], "int"),
]
BACKTEST = [
    scalar("py_qvi_set_backtest_config", W, "qvi_set_backtest_config",
           B("start_time", "end_time")
           + [(n, "float") for n in ("initial_cash", "transaction_ratio", "commission_ratio", "commission_unit",
                                     "slippage_ratio", "option_float_margin_ratio1", "option_float_margin_ratio2")]
           + I("adjust", "match_mode", "check_cache"), "int"),
    scalar("py_qvi_set_backtest_intraday", W, "qvi_set_backtest_intraday", I("req"), "none"),
    rr("py_qvi_get_parameters", P, "qvi_get_parameters_pb"),
    cmd("py_qvi_add_parameters", P, "qvi_add_parameters_pb"),
    cmd("py_qvi_set_parameters", P, "qvi_set_parameters_pb"),
    cmd("py_qvi_log", P, "qvi_log_pb"),
    scalar("py_qvi_set_backtest_threadnum", P, "qvi_set_backtest_threadnum", I("n"), "none"),
]
BUS = [
    scalar("py_qvi_set_bus_info", W, "qvi_set_bus_info", B("server_addr", "user_name", "password"), "none"),
    scalar("py_qvi_set_bus_secure", W, "qvi_set_bus_secure",
           I("in_mode") + B("tlsca", "tlscert", "tlskey") + [("skip_verify", "flag")], "none"),
    scalar("py_qvi_add_bus_topic", W, "qvi_add_bus_topic", B("topic"), "none"),
    scalar("py_qvi_send_msg_to_bus", W, "qvi_send_msg_to_bus", B("topic", "msg"), "int"),
]
QUOTES = [
    Row("py_qvi_current", W, tuple(B("symbols", "fields") + [("include_call_auction", "flag")]), "qvi_current_pb",
        ("symbols", "include_call_auction", "fields", OUT), "pair"),
    rr("py_qvi_current_price", W, "qvi_current_price_pb"),
    rr("py_qvi_last_tick", W, "qvi_last_tick_pb"),
    scalar("py_qvi_subscribe", W, "qvi_subscribe", B("symbols", "frequency") + [("unsubscribe_previous", "flag")], "int"),
    scalar("py_qvi_unsubscribe", W, "qvi_unsubscribe", B("symbols", "frequency"), "int"),
    rr("py_qvi_get_open_call_auction", P, "qvi_get_open_call_auction"),
]
HISTORY = [rr(f"py_qvi_history_{n}_l2", W, f"qvi_history_{n}_l2_pb")
           for n in ("ticks", "bars", "transaction", "order", "order_queue")] + [
    rr(f"py_qvi_history_{n}_pb", P, f"qvi_history_{n}_pb") for n in ("ticks", "bars", "ticks_n", "bars_n")]
ORDERS = [
    rr("py_qvi_place_order", W, "qvi_place_order_pb"),
    rr("py_qvi_get_unfinished_orders", W, "qvi_get_unfinished_orders_pb"),
    rr("py_qvi_get_orders", W, "qvi_get_orders_pb"),
    cmd("py_qvi_cancel_all_orders", W, "qvi_cancel_all_orders_pb"),
    rr("py_qvi_close_all_positions", W, "qvi_close_all_positions_pb"),
    rr("py_qvi_get_execution_reports", W, "qvi_get_execution_reports_pb"),
    cmd("py_qvi_cancel_order", W, "qvi_cancel_orders_pb"),
    rr("py_qvi_raw_func", W, "qvi_raw_func_pb"),
]
ACCOUNTS = [
    rr("py_qvi_get_cash", W, "qvi_get_cash_pb"),
    rr("py_qvi_get_positions", W, "qvi_get_positions_pb"),
    Row("py_qvi_get_accounts", P, (), "qvi_get_account_info_pb", (OUT,), "pair"),
    rr("py_qvi_get_account_status", W, "qvi_get_account_status_pb"),
    rr("py_qvi_get_entrustable_volume_by_symbol_pb", W, "qvi_get_entrustable_volume_by_symbol_pb"),
    rr("py_qvi_get_cash_pb_v2", P, "qvi_get_cash_pb_v2"),
    rr("py_qvi_get_positions_pb_v2", P, "qvi_get_positions_pb_v2"),
]
ALGO = [
    rr("py_qvi_place_algo_orders", W, "qvi_place_algo_orders_pb"),
    Row("py_qvi_algo_order_batch", W, (("req", "req"), ("algo_name", "bytes"), ("algo_params", "bytes")),
        "qvi_algo_order_batch_pb", ("req", "algo_name", "algo_params", OUT), "pair"),
    cmd("py_qvi_cancel_algo_orders", W, "qvi_cancel_algo_orders_pb"),
    cmd("py_qvi_pause_algo_orders", W, "qvi_pause_algo_orders_pb"),
    rr("py_qvi_get_algo_orders", W, "qvi_get_algo_orders_pb"),
    Row("py_qvi_get_child_orders", W, tuple(B("account_id", "algo_id")), "qvi_get_child_orders_pb",
        ("account_id", "algo_id", OUT), "pair"),
    scalar("py_qvi_smart_reorder", W, "qvi_smart_reorder",
           B("symbol") + [("price", "float")]
           + I("volume", "side", "order_type", "position_effect", "repeat_n", "max_price_offset", "time_out",
               "time_wait") + B("account"), "int"),
    scalar("py_qvi_smart_reorder_cancel", W, "qvi_smart_reorder_cancel", I("reorder_id"), "int"),
]
CREDIT = [rr(f"py_{n}", W, n) for n in (
    "qvi_repay_cash_directly_pb", "qvi_get_collateral_instruments_pb", "qvi_get_borrowable_instruments_pb",
    "qvi_get_borrowable_instruments_positions_pb", "qvi_get_credit_contracts_pb", "qvi_get_credit_cash_pb")]
IPO_OPTIONS = [rr(f"py_{n}", W, n) for n in (
    "qvi_get_ipo_quota_pb", "qvi_get_ipo_instruments_pb", "qvi_get_ipo_match_number_pb", "qvi_get_ipo_lot_info_pb")] + [
    rr(f"py_{n}", P, n) for n in (
    "qvi_option_comb_entrust_pb", "qvi_option_sep_entrust_pb", "qvi_get_option_combinable_pb",
    "qvi_get_option_comb_position_pb")]
INSTRUMENTS = [rr(f"py_{n}" if n != "qvi_get_trading_dates_by_year" else "py_get_trading_dates_by_year", P, n) for n in (
    "qvi_get_symbol_infos", "qvi_get_symbols_v2", "qvi_get_history_symbol", "qvi_get_trading_session",
    "qvi_get_contract_expire_rest_days", "qvi_get_trading_dates_by_year", "qvi_get_fundamentals",
    "qvi_get_fundamentals_n", "qvi_get_instrumentInfos", "qvi_get_fuzzy_match_instrumentInfos",
    "qvi_get_history_instruments", "qvi_get_constituents", "qvi_get_sector", "qvi_get_industry", "qvi_get_concept",
    "qvi_get_trading_dates", "qvi_get_previous_trading_date", "qvi_get_next_trading_date", "qvi_get_dividends",
    "qvi_get_dividends_snapshot", "qvi_get_continuous_contracts", "qvi_get_varietyinfos", "qvi_get_trading_time",
    "qvi_get_instruments", "qvi_get_trading_times_ext", "qvi_get_convertible_bond_call_info",
    "qvi_get_previous_n_trading_dates", "qvi_get_next_n_trading_dates")]
STOCKS = [rr(f"py_{n}", P, n) for n in (
    "qvi_stk_get_industry_category", "qvi_stk_get_industry_constituents", "qvi_stk_get_symbol_industry",
    "qvi_stk_get_sector_category", "qvi_stk_get_sector_constituents", "qvi_stk_get_symbol_sector",
    "qvi_stk_get_index_constituents", "qvi_stk_get_index_history_constituents", "qvi_stk_get_dividend",
    "stk_get_ration", "qvi_stk_get_adj_factor", "qvi_stk_get_shareholder_num", "qvi_stk_get_top_shareholder",
    "qvi_stk_get_share_change", "qvi_stk_get_fundamentals_balance", "qvi_stk_get_fundamentals_balance_pt",
    "qvi_stk_get_fundamentals_cashflow", "qvi_stk_get_fundamentals_cashflow_pt", "qvi_stk_get_fundamentals_income",
    "qvi_stk_get_fundamentals_income_pt", "qvi_stk_get_finance_prime", "qvi_stk_get_finance_prime_pt",
    "qvi_stk_get_finance_deriv", "qvi_stk_get_finance_deriv_pt", "qvi_stk_get_daily_valuation",
    "qvi_stk_get_daily_valuation_pt", "qvi_stk_get_daily_mktvalue", "qvi_stk_get_daily_mktvalue_pt",
    "qvi_stk_get_daily_basic", "qvi_stk_get_daily_basic_pt", "qvi_stk_abnor_change_stocks",
    "qvi_stk_abnor_change_detail", "qvi_stk_quota_shszhk_infos", "qvi_stk_hk_inst_holding_detail_info",
    "qvi_stk_hk_inst_holding_info", "qvi_stk_active_stock_top10_shszhk_info", "qvi_stk_get_money_flow",
    "qvi_stk_get_finance_audit", "qvi_stk_get_finance_forecast")]
REFERENCE = [rr(f"py_{n}" if n != "qvi_fnd_get_etf_components" else "py_qvi_fnd_get_etf_constituents", P, n) for n in (
    "qvi_fut_get_continuous_contracts", "qvi_fut_get_contract_info", "qvi_fut_get_transaction_ranking",
    "qvi_fut_get_transaction_rankings", "qvi_fut_get_warehouse_receipt", "qvi_fnd_get_etf_components",
    "qvi_fnd_get_portfolio", "qvi_fnd_get_net_value", "qvi_fnd_get_adj_factor", "qvi_fnd_get_dividend",
    "qvi_fnd_get_split", "qvi_bnd_get_conversion_price", "qvi_bnd_get_call_info", "qvi_bnd_get_put_info",
    "qvi_bnd_get_amount_change", "qvi_option_get_symbols_by_exchange", "qvi_option_get_symbols_by_in_at_out",
    "qvi_option_get_delisted_dates", "qvi_option_get_exercise_prices", "qvi_fnd_get_share", "qvi_bnd_get_analysis")]
POOLS = [
    rr("py_qvi_get_instrument_pool_by_name_pb", P, "qvi_get_instrument_pool_by_name_pb"),
    rr("py_qvi_get_instrument_pools_pb", P, "qvi_get_instrument_pools_pb"),
    cmd("py_qvi_set_instrument_pool_symbols_pb", P, "qvi_set_instrument_pool_symbols_pb"),
    cmd("py_qvi_del_instrument_pool_by_name_pb", P, "qvi_del_instrument_pool_by_name_pb"),
]

FAMILIES = [EVENTS, TIMERS, SETTINGS, BACKTEST, BUS, QUOTES, HISTORY, ORDERS, ACCOUNTS, ALGO, CREDIT, IPO_OPTIONS,
            INSTRUMENTS, STOCKS, REFERENCE, POOLS]
WRAPPERS = [row for fam in FAMILIES for row in fam]
BY_NAME = {row.name: row for row in WRAPPERS}

# The direct callables: attribute, parameters, result, docstring.
DIRECT = [
    ("qvi_add_bus_topic", B("topic"), "none", "wrap(topic: 'const char *') -> 'void'"),
    ("qvi_get_c_version", [], "bytes", "wrap() -> 'const char *'"),
    ("qvi_get_encrypted_token", [], "bytes", "wrap() -> 'const char *'"),
    ("qvi_get_ext_errormsg", [], "bytes", "wrap() -> 'const char *'"),
    ("qvi_get_orgcode", [], "bytes", "wrap() -> 'const char *'"),
    ("qvi_init", [], "int", "wrap() -> 'int'"),
    ("qvi_now", [], "int", "wrap() -> 'long long'"),
    ("qvi_now_plus", [], "float", "wrap() -> float"),
    ("qvi_poll", [], "int", "wrap() -> 'int'"),
    ("qvi_send_msg_to_bus", B("topic", "msg"), "int", "wrap(topic: 'const char *', msg: 'const char *') -> 'int'"),
    ("qvi_set_bus_info", B("server_addr", "user_name", "password"), "none",
     "wrap(server_addr: 'const char *', user_name: 'const char *', password: 'const char *') -> 'void'"),
    ("qvi_set_bus_secure", I("in_mode") + B("tlsca", "tlscert", "tlskey") + [("skip_verify", "flag")], "none",
     "wrap(in_mode: 'int', tlsca: 'const char *', tlscert: 'const char *', tlskey: 'const char *', "
     "skip_verify: 'bool') -> 'void'"),
    ("qvi_set_mode", I("mode"), "none", "wrap(mode: 'int') -> 'void'"),
    ("qvi_strerror", I("errorno"), "bytes", "wrap(errorno: 'int') -> 'const char *'"),
]

HELPERS = ["is_windows", "is_linux", "adapt_to_python3", "c_status_ok", "c_status_fail"]
RECORDS = ["QuoteItemLikeDict2", "TickLikeDict2", "BarLikeDict2", "ObjectLikeDict2"]
NAMESPACE = (["functools", "platform", "CSDK_OPERATE_SUCCESS", "qvsdklogger", "IS_PY2", "IS_PY3"] + RECORDS + HELPERS
             + [row.name for row in WRAPPERS] + [d[0] for d in DIRECT])
