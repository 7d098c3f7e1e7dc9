/*
 * qvcsdk.h - the C interface of the core library zadiv3-e, as c_sdk uses it.
 *
 * Every function has C linkage. Shapes:
 *   request-response  int f(void* req, int req_len, void** res, int* res_len)
 *   command           int f(void* req, int req_len)
 * Requests are lent for the duration of one call; responses and returned
 * texts stay owned by the core library and must be copied at once.
 *
 * One declaration per line, in the form "ret name(params);": the stand-in
 * core's generator reads this file.
 */
#ifndef QVCSDK_H
#define QVCSDK_H

#include <stdbool.h>

#ifdef __cplusplus
extern "C" {
#endif

/* One declaration per line, however long: the stand-in core is generated from them. */
/* clang-format off */
typedef void (*EventCallback)(const char* msg_type, void* data, int data_len);

/* event bridge and run loop */
void qvi_set_event_callback_pb(EventCallback cb);
int qvi_run(void);
int qvi_stop(void);
int qvi_get_stop_error_code(void);

/* timers and schedules */
void qvi_set_timer(int interval);
int qvi_schedule(const char* date_rule, const char* time_rule);
int qvi_user_timer(int period, int start_delay);
void qvi_user_timer_stop(int timer_id);

/* connection, identity and mode settings */
void qvi_set_serv_addr(const char* addr);
void qvi_set_serv_addr_v5(const char* addr, const char* orgcode, const char* site_id);
int qvi_get_serv_addr(const char* serv_id, char** addr);
int qvi_set_token(const char* token);
void qvi_set_apitoken(const char* token);
const char* qvi_get_encrypted_token(void);
const char* qvi_get_orgcode(void);
void qvi_set_mfp(const char* mfp);
void qvi_set_strategy_id(const char* strategy_id);
void qvi_set_account_id(const char* account_ids);
void qvi_set_version(const char* sdk_version, const char* sdk_lang, const char* reserved1, const char* reserved2);
void qvi_set_ctp_md_info(const char* front_addresses, const char* user_name, const char* password);
void qvi_set_mode_consistency(bool mode);
void qvi_set_max_wait_time(int max_wait_time);
void qvi_set_simtrade_only(void);
int qvi_use_dsproxy(void);
const char* qvi_strerror(int errorno);
const char* qvi_get_ext_errormsg(void);

/* backtest settings, strategy parameters and logging */
int qvi_set_backtest_config(const char* start_time, const char* end_time, double initial_cash, double transaction_ratio, double commission_ratio, double commission_unit, double slippage_ratio, double option_float_margin_ratio1, double option_float_margin_ratio2, int adjust, int match_mode, int check_cache);
void qvi_set_backtest_intraday(int req);
void qvi_set_backtest_threadnum(int n);
int qvi_get_parameters_pb(void* req, int req_len, void** res, int* res_len);
int qvi_add_parameters_pb(void* req, int req_len);
int qvi_set_parameters_pb(void* req, int req_len);
int qvi_log_pb(void* req, int req_len);

/* message bus */
void qvi_set_bus_info(const char* server_addr, const char* user_name, const char* password);
void qvi_set_bus_secure(int in_mode, const char* tlsca, const char* tlscert, const char* tlskey, bool skip_verify);
void qvi_add_bus_topic(const char* topic);
int qvi_send_msg_to_bus(const char* topic, const char* msg);

/* subscription and live quotes */
int qvi_subscribe(const char* symbols, const char* frequency, bool unsubscribe_previous);
int qvi_unsubscribe(const char* symbols, const char* frequency);
int qvi_current_pb(const char* symbols, bool include_call_auction, const char* fields, void** res, int* res_len);
int qvi_current_price_pb(void* req, int req_len, void** res, int* res_len);
int qvi_last_tick_pb(void* req, int req_len, void** res, int* res_len);
int qvi_get_open_call_auction(void* req, int req_len, void** res, int* res_len);

/* historical market data */
int qvi_history_ticks_l2_pb(void* req, int req_len, void** res, int* res_len);
int qvi_history_bars_l2_pb(void* req, int req_len, void** res, int* res_len);
int qvi_history_transaction_l2_pb(void* req, int req_len, void** res, int* res_len);
int qvi_history_order_l2_pb(void* req, int req_len, void** res, int* res_len);
int qvi_history_order_queue_l2_pb(void* req, int req_len, void** res, int* res_len);
int qvi_history_ticks_pb(void* req, int req_len, void** res, int* res_len);
int qvi_history_bars_pb(void* req, int req_len, void** res, int* res_len);
int qvi_history_ticks_n_pb(void* req, int req_len, void** res, int* res_len);
int qvi_history_bars_n_pb(void* req, int req_len, void** res, int* res_len);

/* orders and execution reports */
int qvi_place_order_pb(void* req, int req_len, void** res, int* res_len);
int qvi_get_unfinished_orders_pb(void* req, int req_len, void** res, int* res_len);
int qvi_get_orders_pb(void* req, int req_len, void** res, int* res_len);
int qvi_cancel_all_orders_pb(void* req, int req_len);
int qvi_close_all_positions_pb(void* req, int req_len, void** res, int* res_len);
int qvi_get_execution_reports_pb(void* req, int req_len, void** res, int* res_len);
int qvi_cancel_orders_pb(void* req, int req_len);
int qvi_raw_func_pb(void* req, int req_len, void** res, int* res_len);

/* cash, positions and accounts */
int qvi_get_cash_pb(void* req, int req_len, void** res, int* res_len);
int qvi_get_positions_pb(void* req, int req_len, void** res, int* res_len);
int qvi_get_account_info_pb(void** res, int* res_len);
int qvi_get_account_status_pb(void* req, int req_len, void** res, int* res_len);
int qvi_get_entrustable_volume_by_symbol_pb(void* req, int req_len, void** res, int* res_len);
int qvi_get_cash_pb_v2(void* req, int req_len, void** res, int* res_len);
int qvi_get_positions_pb_v2(void* req, int req_len, void** res, int* res_len);

/* algorithmic orders and smart re-ordering */
int qvi_place_algo_orders_pb(void* req, int req_len, void** res, int* res_len);
int qvi_algo_order_batch_pb(void* req, int req_len, const char* algo_name, const char* algo_params, void** res, int* res_len);
int qvi_cancel_algo_orders_pb(void* req, int req_len);
int qvi_pause_algo_orders_pb(void* req, int req_len);
int qvi_get_algo_orders_pb(void* req, int req_len, void** res, int* res_len);
int qvi_get_child_orders_pb(const char* account_id, const char* algo_id, void** res, int* res_len);
int qvi_smart_reorder(const char* symbol, double price, int volume, int side, int order_type, int position_effect, int repeat_n, int max_price_offset, int time_out, int time_wait, const char* account);
int qvi_smart_reorder_cancel(int reorder_id);

/* credit (margin) trading */
int qvi_repay_cash_directly_pb(void* req, int req_len, void** res, int* res_len);
int qvi_get_collateral_instruments_pb(void* req, int req_len, void** res, int* res_len);
int qvi_get_borrowable_instruments_pb(void* req, int req_len, void** res, int* res_len);
int qvi_get_borrowable_instruments_positions_pb(void* req, int req_len, void** res, int* res_len);
int qvi_get_credit_contracts_pb(void* req, int req_len, void** res, int* res_len);
int qvi_get_credit_cash_pb(void* req, int req_len, void** res, int* res_len);

/* IPO subscription and option strategies */
int qvi_get_ipo_quota_pb(void* req, int req_len, void** res, int* res_len);
int qvi_get_ipo_instruments_pb(void* req, int req_len, void** res, int* res_len);
int qvi_get_ipo_match_number_pb(void* req, int req_len, void** res, int* res_len);
int qvi_get_ipo_lot_info_pb(void* req, int req_len, void** res, int* res_len);
int qvi_option_comb_entrust_pb(void* req, int req_len, void** res, int* res_len);
int qvi_option_sep_entrust_pb(void* req, int req_len, void** res, int* res_len);
int qvi_get_option_combinable_pb(void* req, int req_len, void** res, int* res_len);
int qvi_get_option_comb_position_pb(void* req, int req_len, void** res, int* res_len);

/* instruments, calendar and sessions */
int qvi_get_symbol_infos(void* req, int req_len, void** res, int* res_len);
int qvi_get_symbols_v2(void* req, int req_len, void** res, int* res_len);
int qvi_get_history_symbol(void* req, int req_len, void** res, int* res_len);
int qvi_get_trading_session(void* req, int req_len, void** res, int* res_len);
int qvi_get_contract_expire_rest_days(void* req, int req_len, void** res, int* res_len);
int qvi_get_trading_dates_by_year(void* req, int req_len, void** res, int* res_len);
int qvi_get_fundamentals(void* req, int req_len, void** res, int* res_len);
int qvi_get_fundamentals_n(void* req, int req_len, void** res, int* res_len);
int qvi_get_instrumentInfos(void* req, int req_len, void** res, int* res_len);
int qvi_get_fuzzy_match_instrumentInfos(void* req, int req_len, void** res, int* res_len);
int qvi_get_history_instruments(void* req, int req_len, void** res, int* res_len);
int qvi_get_constituents(void* req, int req_len, void** res, int* res_len);
int qvi_get_sector(void* req, int req_len, void** res, int* res_len);
int qvi_get_industry(void* req, int req_len, void** res, int* res_len);
int qvi_get_concept(void* req, int req_len, void** res, int* res_len);
int qvi_get_trading_dates(void* req, int req_len, void** res, int* res_len);
int qvi_get_previous_trading_date(void* req, int req_len, void** res, int* res_len);
int qvi_get_next_trading_date(void* req, int req_len, void** res, int* res_len);
int qvi_get_dividends(void* req, int req_len, void** res, int* res_len);
int qvi_get_dividends_snapshot(void* req, int req_len, void** res, int* res_len);
int qvi_get_continuous_contracts(void* req, int req_len, void** res, int* res_len);
int qvi_get_varietyinfos(void* req, int req_len, void** res, int* res_len);
int qvi_get_trading_time(void* req, int req_len, void** res, int* res_len);
int qvi_get_instruments(void* req, int req_len, void** res, int* res_len);
int qvi_get_trading_times_ext(void* req, int req_len, void** res, int* res_len);
int qvi_get_convertible_bond_call_info(void* req, int req_len, void** res, int* res_len);
int qvi_get_previous_n_trading_dates(void* req, int req_len, void** res, int* res_len);
int qvi_get_next_n_trading_dates(void* req, int req_len, void** res, int* res_len);

/* stock fundamentals and corporate data */
int qvi_stk_get_industry_category(void* req, int req_len, void** res, int* res_len);
int qvi_stk_get_industry_constituents(void* req, int req_len, void** res, int* res_len);
int qvi_stk_get_symbol_industry(void* req, int req_len, void** res, int* res_len);
int qvi_stk_get_sector_category(void* req, int req_len, void** res, int* res_len);
int qvi_stk_get_sector_constituents(void* req, int req_len, void** res, int* res_len);
int qvi_stk_get_symbol_sector(void* req, int req_len, void** res, int* res_len);
int qvi_stk_get_index_constituents(void* req, int req_len, void** res, int* res_len);
int qvi_stk_get_index_history_constituents(void* req, int req_len, void** res, int* res_len);
int qvi_stk_get_dividend(void* req, int req_len, void** res, int* res_len);
int stk_get_ration(void* req, int req_len, void** res, int* res_len);
int qvi_stk_get_adj_factor(void* req, int req_len, void** res, int* res_len);
int qvi_stk_get_shareholder_num(void* req, int req_len, void** res, int* res_len);
int qvi_stk_get_top_shareholder(void* req, int req_len, void** res, int* res_len);
int qvi_stk_get_share_change(void* req, int req_len, void** res, int* res_len);
int qvi_stk_get_fundamentals_balance(void* req, int req_len, void** res, int* res_len);
int qvi_stk_get_fundamentals_balance_pt(void* req, int req_len, void** res, int* res_len);
int qvi_stk_get_fundamentals_cashflow(void* req, int req_len, void** res, int* res_len);
int qvi_stk_get_fundamentals_cashflow_pt(void* req, int req_len, void** res, int* res_len);
int qvi_stk_get_fundamentals_income(void* req, int req_len, void** res, int* res_len);
int qvi_stk_get_fundamentals_income_pt(void* req, int req_len, void** res, int* res_len);
int qvi_stk_get_finance_prime(void* req, int req_len, void** res, int* res_len);
int qvi_stk_get_finance_prime_pt(void* req, int req_len, void** res, int* res_len);
int qvi_stk_get_finance_deriv(void* req, int req_len, void** res, int* res_len);
int qvi_stk_get_finance_deriv_pt(void* req, int req_len, void** res, int* res_len);
int qvi_stk_get_daily_valuation(void* req, int req_len, void** res, int* res_len);
int qvi_stk_get_daily_valuation_pt(void* req, int req_len, void** res, int* res_len);
int qvi_stk_get_daily_mktvalue(void* req, int req_len, void** res, int* res_len);
int qvi_stk_get_daily_mktvalue_pt(void* req, int req_len, void** res, int* res_len);
int qvi_stk_get_daily_basic(void* req, int req_len, void** res, int* res_len);
int qvi_stk_get_daily_basic_pt(void* req, int req_len, void** res, int* res_len);
int qvi_stk_abnor_change_stocks(void* req, int req_len, void** res, int* res_len);
int qvi_stk_abnor_change_detail(void* req, int req_len, void** res, int* res_len);
int qvi_stk_quota_shszhk_infos(void* req, int req_len, void** res, int* res_len);
int qvi_stk_hk_inst_holding_detail_info(void* req, int req_len, void** res, int* res_len);
int qvi_stk_hk_inst_holding_info(void* req, int req_len, void** res, int* res_len);
int qvi_stk_active_stock_top10_shszhk_info(void* req, int req_len, void** res, int* res_len);
int qvi_stk_get_money_flow(void* req, int req_len, void** res, int* res_len);
int qvi_stk_get_finance_audit(void* req, int req_len, void** res, int* res_len);
int qvi_stk_get_finance_forecast(void* req, int req_len, void** res, int* res_len);

/* futures, fund, bond and option reference data */
int qvi_fut_get_continuous_contracts(void* req, int req_len, void** res, int* res_len);
int qvi_fut_get_contract_info(void* req, int req_len, void** res, int* res_len);
int qvi_fut_get_transaction_ranking(void* req, int req_len, void** res, int* res_len);
int qvi_fut_get_transaction_rankings(void* req, int req_len, void** res, int* res_len);
int qvi_fut_get_warehouse_receipt(void* req, int req_len, void** res, int* res_len);
int qvi_fnd_get_etf_components(void* req, int req_len, void** res, int* res_len);
int qvi_fnd_get_portfolio(void* req, int req_len, void** res, int* res_len);
int qvi_fnd_get_net_value(void* req, int req_len, void** res, int* res_len);
int qvi_fnd_get_adj_factor(void* req, int req_len, void** res, int* res_len);
int qvi_fnd_get_dividend(void* req, int req_len, void** res, int* res_len);
int qvi_fnd_get_split(void* req, int req_len, void** res, int* res_len);
int qvi_bnd_get_conversion_price(void* req, int req_len, void** res, int* res_len);
int qvi_bnd_get_call_info(void* req, int req_len, void** res, int* res_len);
int qvi_bnd_get_put_info(void* req, int req_len, void** res, int* res_len);
int qvi_bnd_get_amount_change(void* req, int req_len, void** res, int* res_len);
int qvi_option_get_symbols_by_exchange(void* req, int req_len, void** res, int* res_len);
int qvi_option_get_symbols_by_in_at_out(void* req, int req_len, void** res, int* res_len);
int qvi_option_get_delisted_dates(void* req, int req_len, void** res, int* res_len);
int qvi_option_get_exercise_prices(void* req, int req_len, void** res, int* res_len);
int qvi_fnd_get_share(void* req, int req_len, void** res, int* res_len);
int qvi_bnd_get_analysis(void* req, int req_len, void** res, int* res_len);

/* instrument pools */
int qvi_get_instrument_pool_by_name_pb(void* req, int req_len, void** res, int* res_len);
int qvi_get_instrument_pools_pb(void* req, int req_len, void** res, int* res_len);
int qvi_set_instrument_pool_symbols_pb(void* req, int req_len);
int qvi_del_instrument_pool_by_name_pb(void* req, int req_len);

/* reached only through the direct callables */
int qvi_init(void);
int qvi_poll(void);
long long qvi_now(void);
double qvi_now_plus(void);
const char* qvi_get_c_version(void);
void qvi_set_mode(int mode);

/* clang-format on */

#ifdef __cplusplus
}
#endif

#endif /* QVCSDK_H */
