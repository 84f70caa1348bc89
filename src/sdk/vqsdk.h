/*
 * vqsdk: the C interface of the platform's native SDK, as c_sdk calls it.
 *
 * Ownership: strings and request buffers passed in belong to the caller and
 * are valid only during the call.  Response buffers, address out-parameters
 * and returned texts belong to the library and are never freed by the caller.
 * Threads: every function is called with the Python interpreter lock held;
 * the event callback may be invoked only on the thread that is inside
 * vqi_run or vqi_poll.
 */
#ifndef VQSDK_API_H
#define VQSDK_API_H

#ifdef __cplusplus
extern "C" {
#else
#include <stdbool.h>
#endif

#if defined(_WIN32)
#define VQSDK_API __declspec(dllimport)
#elif defined(VQSDK_BUILDING)
#define VQSDK_API __attribute__((visibility("default")))
#else
#define VQSDK_API
#endif

/* Event callback: text is NUL-terminated, data holds len payload bytes. */
typedef void (*vqi_event_callback_t)(const char* text, const char* data, int len);

/* ---- Request/response family: int f(req, req_len, &res, &res_len) ---- */

/* Market and reference data */
VQSDK_API int vqi_history_ticks_pb(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_history_bars_pb(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_history_ticks_n_pb(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_history_bars_n_pb(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_history_ticks_l2_pb(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_history_bars_l2_pb(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_history_transaction_l2_pb(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_history_order_l2_pb(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_history_order_queue_l2_pb(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_last_tick_pb(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_current_price_pb(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_get_open_call_auction(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_get_trading_dates(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_get_trading_dates_by_year(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_get_previous_trading_date(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_get_next_trading_date(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_get_previous_n_trading_dates(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_get_next_n_trading_dates(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_get_trading_session(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_get_trading_time(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_get_trading_times_ext(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_get_contract_expire_rest_days(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_get_instruments(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_get_history_instruments(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_get_instrumentInfos(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_get_fuzzy_match_instrumentInfos(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_get_symbol_infos(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_get_symbols_v2(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_get_history_symbol(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_get_varietyinfos(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_get_continuous_contracts(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_get_convertible_bond_call_info(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_option_get_symbols_by_exchange(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_option_get_symbols_by_in_at_out(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_option_get_delisted_dates(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_option_get_exercise_prices(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_get_sector(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_get_industry(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_get_concept(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_get_constituents(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_get_dividends(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_get_dividends_snapshot(char* req, int req_len, char** res, int* res_len);

/* Fundamental data */
VQSDK_API int vqi_get_fundamentals(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_get_fundamentals_n(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_stk_get_fundamentals_balance(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_stk_get_fundamentals_balance_pt(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_stk_get_fundamentals_cashflow(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_stk_get_fundamentals_cashflow_pt(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_stk_get_fundamentals_income(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_stk_get_fundamentals_income_pt(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_stk_get_finance_prime(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_stk_get_finance_prime_pt(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_stk_get_finance_deriv(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_stk_get_finance_deriv_pt(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_stk_get_finance_forecast(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_stk_get_finance_audit(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_stk_get_daily_valuation(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_stk_get_daily_valuation_pt(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_stk_get_daily_mktvalue(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_stk_get_daily_mktvalue_pt(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_stk_get_daily_basic(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_stk_get_daily_basic_pt(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_stk_get_share_change(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_stk_get_top_shareholder(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_stk_get_shareholder_num(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_stk_get_adj_factor(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_stk_get_dividend(char* req, int req_len, char** res, int* res_len);
VQSDK_API int stk_get_ration(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_stk_get_index_constituents(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_stk_get_index_history_constituents(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_stk_get_symbol_sector(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_stk_get_sector_constituents(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_stk_get_sector_category(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_stk_get_symbol_industry(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_stk_get_industry_constituents(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_stk_get_industry_category(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_stk_get_money_flow(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_stk_active_stock_top10_shszhk_info(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_stk_hk_inst_holding_info(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_stk_hk_inst_holding_detail_info(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_stk_quota_shszhk_infos(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_stk_abnor_change_detail(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_stk_abnor_change_stocks(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_fnd_get_share(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_fnd_get_split(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_fnd_get_dividend(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_fnd_get_adj_factor(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_fnd_get_net_value(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_fnd_get_portfolio(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_fnd_get_etf_components(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_bnd_get_analysis(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_bnd_get_amount_change(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_bnd_get_put_info(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_bnd_get_call_info(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_bnd_get_conversion_price(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_fut_get_contract_info(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_fut_get_continuous_contracts(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_fut_get_transaction_ranking(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_fut_get_transaction_rankings(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_fut_get_warehouse_receipt(char* req, int req_len, char** res, int* res_len);

/* Trading and account data */
VQSDK_API int vqi_place_order_pb(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_get_orders_pb(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_get_unfinished_orders_pb(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_get_execution_reports_pb(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_close_all_positions_pb(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_get_entrustable_volume_by_symbol_pb(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_get_cash_pb(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_get_cash_pb_v2(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_get_positions_pb(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_get_positions_pb_v2(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_get_account_status_pb(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_place_algo_orders_pb(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_get_algo_orders_pb(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_option_sep_entrust_pb(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_option_comb_entrust_pb(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_get_option_combinable_pb(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_get_option_comb_position_pb(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_get_credit_cash_pb(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_get_credit_contracts_pb(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_get_borrowable_instruments_pb(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_get_borrowable_instruments_positions_pb(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_get_collateral_instruments_pb(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_repay_cash_directly_pb(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_get_ipo_quota_pb(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_get_ipo_instruments_pb(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_get_ipo_match_number_pb(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_get_ipo_lot_info_pb(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_get_instrument_pools_pb(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_get_instrument_pool_by_name_pb(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_get_parameters_pb(char* req, int req_len, char** res, int* res_len);
VQSDK_API int vqi_raw_func_pb(char* req, int req_len, char** res, int* res_len);

/* ---- Request/response variants ---- */
VQSDK_API int vqi_current_pb(char* symbols, bool include_call_auction, char* fields, char** res, int* res_len);
VQSDK_API int vqi_get_child_orders_pb(char* account_id, char* algo_id, char** res, int* res_len);
VQSDK_API int vqi_algo_order_batch_pb(char* req, int req_len, char* algo_name, char* algo_params, char** res, int* res_len);
VQSDK_API int vqi_get_account_info_pb(char** res, int* res_len);
VQSDK_API int vqi_get_serv_addr(char* serv_id, char** addr);

/* ---- Request-to-status family: int f(req, req_len) ---- */
VQSDK_API int vqi_cancel_orders_pb(char* req, int req_len);
VQSDK_API int vqi_cancel_all_orders_pb(char* req, int req_len);
VQSDK_API int vqi_pause_algo_orders_pb(char* req, int req_len);
VQSDK_API int vqi_cancel_algo_orders_pb(char* req, int req_len);
VQSDK_API int vqi_set_instrument_pool_symbols_pb(char* req, int req_len);
VQSDK_API int vqi_del_instrument_pool_by_name_pb(char* req, int req_len);
VQSDK_API int vqi_set_parameters_pb(char* req, int req_len);
VQSDK_API int vqi_add_parameters_pb(char* req, int req_len);
VQSDK_API int vqi_log_pb(char* req, int req_len);

/* ---- Smart re-ordering ---- */
VQSDK_API int vqi_smart_reorder(const char* symbol, double price, int volume, int side, int order_type,
                                int position_effect, int repeat_n, int max_price_offset, int time_out,
                                int time_wait, const char* account);
VQSDK_API int vqi_smart_reorder_cancel(int reorder_id);

/* ---- Session configuration ---- */
VQSDK_API int vqi_set_token(const char* token);
VQSDK_API void vqi_set_apitoken(const char* token);
VQSDK_API void vqi_set_serv_addr(const char* addr);
VQSDK_API void vqi_set_serv_addr_v5(const char* addr, const char* orgcode, const char* site_id);
VQSDK_API void vqi_set_strategy_id(const char* strategy_id);
VQSDK_API void vqi_set_account_id(const char* account_ids);
VQSDK_API void vqi_set_mfp(const char* mfp);
VQSDK_API void vqi_set_ctp_md_info(const char* front_addresses, const char* user_name, const char* password);
VQSDK_API void vqi_set_version(const char* sdk_version, const char* sdk_lang, void* reserved1, void* reserved2);

/* ---- Events ---- */
VQSDK_API void vqi_set_event_callback_pb(vqi_event_callback_t callback);

/* ---- Run loop, switches and texts ---- */
VQSDK_API int vqi_run(void);
VQSDK_API int vqi_stop(void);
VQSDK_API int vqi_get_stop_error_code(void);
VQSDK_API int vqi_use_dsproxy(void);
VQSDK_API void vqi_set_simtrade_only(void);
VQSDK_API const char* vqi_strerror(int errorno);
VQSDK_API const char* vqi_get_ext_errormsg(void);
VQSDK_API const char* vqi_get_orgcode(void);
VQSDK_API const char* vqi_get_encrypted_token(void);

/* ---- Subscription, scheduling and timers ---- */
VQSDK_API int vqi_subscribe(const char* symbols, const char* frequency, bool unsubscribe_previous);
VQSDK_API int vqi_unsubscribe(const char* symbols, const char* frequency);
VQSDK_API int vqi_schedule(const char* date_rule, const char* time_rule);
VQSDK_API void vqi_set_timer(int interval);
VQSDK_API int vqi_user_timer(int period, int start_delay);
VQSDK_API void vqi_user_timer_stop(int timer_id);

/* ---- Backtest configuration ---- */
VQSDK_API int vqi_set_backtest_config(const char* start_time, const char* end_time, double initial_cash,
                                      double transaction_ratio, double commission_ratio, double commission_unit,
                                      double slippage_ratio, double option_float_margin_ratio1,
                                      double option_float_margin_ratio2, int adjust, int match_mode,
                                      int check_cache);
VQSDK_API void vqi_set_backtest_intraday(int req);
VQSDK_API void vqi_set_backtest_threadnum(int n);
VQSDK_API void vqi_set_max_wait_time(int max_wait_time);
VQSDK_API void vqi_set_mode_consistency(bool mode);

/* ---- Message bus ---- */
VQSDK_API void vqi_set_bus_info(const char* server_addr, const char* user_name, const char* password);
VQSDK_API void vqi_set_bus_secure(int in_mode, const char* tlsca, const char* tlscert, const char* tlskey,
                                  bool skip_verify);
VQSDK_API void vqi_add_bus_topic(const char* topic);
VQSDK_API int vqi_send_msg_to_bus(const char* topic, const char* msg);

/* ---- Library, clock and polling ---- */
VQSDK_API const char* vqi_get_c_version(void);
VQSDK_API int vqi_init(void);
VQSDK_API long long vqi_now(void);
VQSDK_API double vqi_now_plus(void);
VQSDK_API int vqi_poll(void);
VQSDK_API void vqi_set_mode(int mode);

#ifdef __cplusplus
}
#endif

#endif /* VQSDK_API_H */
