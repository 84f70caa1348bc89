/*
 * The stand-in's table of SDK functions.
 *
 * The two uniform families are X-macro lists: every entry becomes one exported
 * function (see sdk.cpp).  All remaining functions are written out by hand and
 * only listed here, with the features the control interface may change.
 * The order of the three lists defines the function ids (enum Fn).
 */
#ifndef VQSIM_FUNCTIONS_H
#define VQSIM_FUNCTIONS_H

/* int f(char* req, int req_len, char** res, int* res_len) */
#define VQSIM_REQUEST_RESPONSE_FUNCTIONS(X) \
  X(vqi_history_ticks_pb) \
  X(vqi_history_bars_pb) \
  X(vqi_history_ticks_n_pb) \
  X(vqi_history_bars_n_pb) \
  X(vqi_history_ticks_l2_pb) \
  X(vqi_history_bars_l2_pb) \
  X(vqi_history_transaction_l2_pb) \
  X(vqi_history_order_l2_pb) \
  X(vqi_history_order_queue_l2_pb) \
  X(vqi_last_tick_pb) \
  X(vqi_current_price_pb) \
  X(vqi_get_open_call_auction) \
  X(vqi_get_trading_dates) \
  X(vqi_get_trading_dates_by_year) \
  X(vqi_get_previous_trading_date) \
  X(vqi_get_next_trading_date) \
  X(vqi_get_previous_n_trading_dates) \
  X(vqi_get_next_n_trading_dates) \
  X(vqi_get_trading_session) \
  X(vqi_get_trading_time) \
  X(vqi_get_trading_times_ext) \
  X(vqi_get_contract_expire_rest_days) \
  X(vqi_get_instruments) \
  X(vqi_get_history_instruments) \
  X(vqi_get_instrumentInfos) \
  X(vqi_get_fuzzy_match_instrumentInfos) \
  X(vqi_get_symbol_infos) \
  X(vqi_get_symbols_v2) \
  X(vqi_get_history_symbol) \
  X(vqi_get_varietyinfos) \
  X(vqi_get_continuous_contracts) \
  X(vqi_get_convertible_bond_call_info) \
  X(vqi_option_get_symbols_by_exchange) \
  X(vqi_option_get_symbols_by_in_at_out) \
  X(vqi_option_get_delisted_dates) \
  X(vqi_option_get_exercise_prices) \
  X(vqi_get_sector) \
  X(vqi_get_industry) \
  X(vqi_get_concept) \
  X(vqi_get_constituents) \
  X(vqi_get_dividends) \
  X(vqi_get_dividends_snapshot) \
  X(vqi_get_fundamentals) \
  X(vqi_get_fundamentals_n) \
  X(vqi_stk_get_fundamentals_balance) \
  X(vqi_stk_get_fundamentals_balance_pt) \
  X(vqi_stk_get_fundamentals_cashflow) \
  X(vqi_stk_get_fundamentals_cashflow_pt) \
  X(vqi_stk_get_fundamentals_income) \
  X(vqi_stk_get_fundamentals_income_pt) \
  X(vqi_stk_get_finance_prime) \
  X(vqi_stk_get_finance_prime_pt) \
  X(vqi_stk_get_finance_deriv) \
  X(vqi_stk_get_finance_deriv_pt) \
  X(vqi_stk_get_finance_forecast) \
  X(vqi_stk_get_finance_audit) \
  X(vqi_stk_get_daily_valuation) \
  X(vqi_stk_get_daily_valuation_pt) \
  X(vqi_stk_get_daily_mktvalue) \
  X(vqi_stk_get_daily_mktvalue_pt) \
  X(vqi_stk_get_daily_basic) \
  X(vqi_stk_get_daily_basic_pt) \
  X(vqi_stk_get_share_change) \
  X(vqi_stk_get_top_shareholder) \
  X(vqi_stk_get_shareholder_num) \
  X(vqi_stk_get_adj_factor) \
  X(vqi_stk_get_dividend) \
  X(stk_get_ration) \
  X(vqi_stk_get_index_constituents) \
  X(vqi_stk_get_index_history_constituents) \
  X(vqi_stk_get_symbol_sector) \
  X(vqi_stk_get_sector_constituents) \
  X(vqi_stk_get_sector_category) \
  X(vqi_stk_get_symbol_industry) \
  X(vqi_stk_get_industry_constituents) \
  X(vqi_stk_get_industry_category) \
  X(vqi_stk_get_money_flow) \
  X(vqi_stk_active_stock_top10_shszhk_info) \
  X(vqi_stk_hk_inst_holding_info) \
  X(vqi_stk_hk_inst_holding_detail_info) \
  X(vqi_stk_quota_shszhk_infos) \
  X(vqi_stk_abnor_change_detail) \
  X(vqi_stk_abnor_change_stocks) \
  X(vqi_fnd_get_share) \
  X(vqi_fnd_get_split) \
  X(vqi_fnd_get_dividend) \
  X(vqi_fnd_get_adj_factor) \
  X(vqi_fnd_get_net_value) \
  X(vqi_fnd_get_portfolio) \
  X(vqi_fnd_get_etf_components) \
  X(vqi_bnd_get_analysis) \
  X(vqi_bnd_get_amount_change) \
  X(vqi_bnd_get_put_info) \
  X(vqi_bnd_get_call_info) \
  X(vqi_bnd_get_conversion_price) \
  X(vqi_fut_get_contract_info) \
  X(vqi_fut_get_continuous_contracts) \
  X(vqi_fut_get_transaction_ranking) \
  X(vqi_fut_get_transaction_rankings) \
  X(vqi_fut_get_warehouse_receipt) \
  X(vqi_place_order_pb) \
  X(vqi_get_orders_pb) \
  X(vqi_get_unfinished_orders_pb) \
  X(vqi_get_execution_reports_pb) \
  X(vqi_close_all_positions_pb) \
  X(vqi_get_entrustable_volume_by_symbol_pb) \
  X(vqi_get_cash_pb) \
  X(vqi_get_cash_pb_v2) \
  X(vqi_get_positions_pb) \
  X(vqi_get_positions_pb_v2) \
  X(vqi_get_account_status_pb) \
  X(vqi_place_algo_orders_pb) \
  X(vqi_get_algo_orders_pb) \
  X(vqi_option_sep_entrust_pb) \
  X(vqi_option_comb_entrust_pb) \
  X(vqi_get_option_combinable_pb) \
  X(vqi_get_option_comb_position_pb) \
  X(vqi_get_credit_cash_pb) \
  X(vqi_get_credit_contracts_pb) \
  X(vqi_get_borrowable_instruments_pb) \
  X(vqi_get_borrowable_instruments_positions_pb) \
  X(vqi_get_collateral_instruments_pb) \
  X(vqi_repay_cash_directly_pb) \
  X(vqi_get_ipo_quota_pb) \
  X(vqi_get_ipo_instruments_pb) \
  X(vqi_get_ipo_match_number_pb) \
  X(vqi_get_ipo_lot_info_pb) \
  X(vqi_get_instrument_pools_pb) \
  X(vqi_get_instrument_pool_by_name_pb) \
  X(vqi_get_parameters_pb) \
  X(vqi_raw_func_pb)

/* int f(char* req, int req_len) */
#define VQSIM_REQUEST_STATUS_FUNCTIONS(X) \
  X(vqi_cancel_orders_pb) \
  X(vqi_cancel_all_orders_pb) \
  X(vqi_pause_algo_orders_pb) \
  X(vqi_cancel_algo_orders_pb) \
  X(vqi_set_instrument_pool_symbols_pb) \
  X(vqi_del_instrument_pool_by_name_pb) \
  X(vqi_set_parameters_pb) \
  X(vqi_add_parameters_pb) \
  X(vqi_log_pb)

/* Everything else: X(name, features). */
#define VQSIM_OTHER_FUNCTIONS(X) \
  X(vqi_current_pb, kStatus | kResponse) \
  X(vqi_get_child_orders_pb, kStatus | kResponse) \
  X(vqi_algo_order_batch_pb, kStatus | kResponse) \
  X(vqi_get_account_info_pb, kStatus | kResponse) \
  X(vqi_get_serv_addr, kStatus | kText) \
  X(vqi_smart_reorder, kStatus) \
  X(vqi_smart_reorder_cancel, kStatus) \
  X(vqi_set_token, kStatus) \
  X(vqi_set_apitoken, kNone) \
  X(vqi_set_serv_addr, kNone) \
  X(vqi_set_serv_addr_v5, kNone) \
  X(vqi_set_strategy_id, kNone) \
  X(vqi_set_account_id, kNone) \
  X(vqi_set_mfp, kNone) \
  X(vqi_set_ctp_md_info, kNone) \
  X(vqi_set_version, kNone) \
  X(vqi_set_event_callback_pb, kNone) \
  X(vqi_run, kStatus) \
  X(vqi_stop, kStatus) \
  X(vqi_get_stop_error_code, kStatus) \
  X(vqi_use_dsproxy, kStatus) \
  X(vqi_set_simtrade_only, kNone) \
  X(vqi_strerror, kText) \
  X(vqi_get_ext_errormsg, kText) \
  X(vqi_get_orgcode, kText) \
  X(vqi_get_encrypted_token, kText) \
  X(vqi_subscribe, kStatus) \
  X(vqi_unsubscribe, kStatus) \
  X(vqi_schedule, kStatus) \
  X(vqi_set_timer, kNone) \
  X(vqi_user_timer, kStatus) \
  X(vqi_user_timer_stop, kNone) \
  X(vqi_set_backtest_config, kStatus) \
  X(vqi_set_backtest_intraday, kNone) \
  X(vqi_set_backtest_threadnum, kNone) \
  X(vqi_set_max_wait_time, kNone) \
  X(vqi_set_mode_consistency, kNone) \
  X(vqi_set_bus_info, kNone) \
  X(vqi_set_bus_secure, kNone) \
  X(vqi_add_bus_topic, kNone) \
  X(vqi_send_msg_to_bus, kStatus) \
  X(vqi_get_c_version, kText) \
  X(vqi_init, kStatus) \
  X(vqi_now, kNone) \
  X(vqi_now_plus, kNone) \
  X(vqi_poll, kStatus) \
  X(vqi_set_mode, kNone)

namespace vqsim {

/* What the control interface may change for a function. */
enum Feature : unsigned {
  kNone = 0,
  kStatus = 1u << 0,   /* returns an int status: vqsim_set_status */
  kResponse = 1u << 1, /* fills char** res / int* res_len: vqsim_set_response, response breaks */
  kText = 1u << 2,     /* hands out a text: vqsim_set_text, the NULL-text break */
};

#define VQSIM_ID_OF_SIMPLE(name) FN_##name,
#define VQSIM_ID_OF_OTHER(name, features) FN_##name,
enum Fn : int {
  VQSIM_REQUEST_RESPONSE_FUNCTIONS(VQSIM_ID_OF_SIMPLE)
  VQSIM_REQUEST_STATUS_FUNCTIONS(VQSIM_ID_OF_SIMPLE)
  VQSIM_OTHER_FUNCTIONS(VQSIM_ID_OF_OTHER)
  kFunctionCount
};
#undef VQSIM_ID_OF_SIMPLE
#undef VQSIM_ID_OF_OTHER

static_assert(kFunctionCount == 187, "the SDK has 187 functions");

struct FunctionInfo {
  const char* name;
  unsigned features;
};

extern const FunctionInfo kFunctions[kFunctionCount];

/* Id of the SDK function called `name`, or -1. */
int find_function(const char* name);

}  // namespace vqsim

#endif  // VQSIM_FUNCTIONS_H
