// The order in which the exec step binds the module's functions.  Whether a
// binding goes through adapt_to_python3 is said by its member row.
#include "module/namespace.h"

namespace csdk {

const char* const binding_order[] = {
    // decorated
    "py_vqi_set_mode_consistency", "py_vqi_current", "py_vqi_current_price", "py_vqi_get_serv_addr",
    "py_vqi_set_bus_info", "py_vqi_set_bus_secure", "py_vqi_add_bus_topic", "py_vqi_send_msg_to_bus",
    // plain
    "py_vqi_set_data_callback",
    // decorated
    "py_vqi_schedule", "py_vqi_set_backtest_config", "py_vqi_place_order", "py_vqi_set_backtest_intraday",
    "py_vqi_last_tick", "py_vqi_get_unfinished_orders", "py_vqi_get_orders", "py_vqi_cancel_all_orders",
    "py_vqi_close_all_positions", "py_vqi_get_execution_reports", "py_vqi_get_cash", "py_vqi_get_positions",
    "py_vqi_cancel_order", "py_vqi_set_strategy_id", "py_vqi_subscribe", "py_vqi_set_token",
    "py_vqi_get_encrypted_token", "py_vqi_get_orgcode", "py_vqi_set_mfp", "py_vqi_set_apitoken",
    "py_vqi_unsubscribe", "py_vqi_set_serv_addr", "py_vqi_set_ctp_md_info",
    // plain
    "py_vqi_get_accounts",
    // decorated
    "py_vqi_get_account_status", "py_vqi_raw_func", "py_vqi_repay_cash_directly_pb",
    "py_vqi_get_collateral_instruments_pb", "py_vqi_get_borrowable_instruments_pb",
    "py_vqi_get_borrowable_instruments_positions_pb", "py_vqi_get_credit_contracts_pb",
    "py_vqi_get_credit_cash_pb", "py_vqi_get_ipo_quota_pb", "py_vqi_get_ipo_instruments_pb",
    "py_vqi_get_ipo_match_number_pb", "py_vqi_get_ipo_lot_info_pb",
    // plain
    "py_vqi_get_parameters", "py_vqi_add_parameters", "py_vqi_set_parameters", "py_vqi_log",
    "py_vqi_strerror", "py_vqi_get_ext_errormsg", "py_vqi_run", "py_vqi_stop", "py_vqi_set_timer",
    // decorated
    "py_vqi_set_version", "py_vqi_history_ticks_l2", "py_vqi_history_bars_l2",
    "py_vqi_history_transaction_l2", "py_vqi_place_algo_orders", "py_vqi_algo_order_batch",
    "py_vqi_cancel_algo_orders", "py_vqi_pause_algo_orders", "py_vqi_get_algo_orders",
    "py_vqi_get_child_orders", "py_vqi_history_order_l2", "py_vqi_history_order_queue_l2",
    "py_vqi_get_entrustable_volume_by_symbol_pb", "py_vqi_smart_reorder", "py_vqi_smart_reorder_cancel",
    "py_vqi_user_timer", "py_vqi_user_timer_stop",
    // plain
    "py_vqi_set_serv_addr_v5", "py_vqi_set_account_id", "py_vqi_set_simtrade_only",
    "py_vqi_get_symbol_infos", "py_vqi_get_symbols_v2", "py_vqi_get_history_symbol",
    "py_vqi_get_trading_session", "py_vqi_get_contract_expire_rest_days",
    "py_vqi_stk_get_industry_category", "py_vqi_stk_get_industry_constituents",
    "py_vqi_stk_get_symbol_industry", "py_vqi_stk_get_sector_category",
    "py_vqi_stk_get_sector_constituents", "py_vqi_stk_get_symbol_sector",
    "py_vqi_stk_get_index_constituents", "py_vqi_stk_get_index_history_constituents",
    "py_vqi_stk_get_dividend", "py_stk_get_ration", "py_vqi_stk_get_adj_factor",
    "py_vqi_stk_get_shareholder_num", "py_vqi_stk_get_top_shareholder", "py_vqi_stk_get_share_change",
    "py_vqi_stk_get_fundamentals_balance", "py_vqi_stk_get_fundamentals_balance_pt",
    "py_vqi_stk_get_fundamentals_cashflow", "py_vqi_stk_get_fundamentals_cashflow_pt",
    "py_vqi_stk_get_fundamentals_income", "py_vqi_stk_get_fundamentals_income_pt",
    "py_vqi_stk_get_finance_prime", "py_vqi_stk_get_finance_prime_pt", "py_vqi_stk_get_finance_deriv",
    "py_vqi_stk_get_finance_deriv_pt", "py_vqi_stk_get_daily_valuation",
    "py_vqi_stk_get_daily_valuation_pt", "py_vqi_stk_get_daily_mktvalue",
    "py_vqi_stk_get_daily_mktvalue_pt", "py_vqi_stk_get_daily_basic", "py_vqi_stk_get_daily_basic_pt",
    "py_vqi_fut_get_continuous_contracts", "py_vqi_fut_get_contract_info",
    "py_vqi_fut_get_transaction_ranking", "py_vqi_fut_get_transaction_rankings",
    "py_vqi_fut_get_warehouse_receipt", "py_vqi_fnd_get_etf_constituents", "py_vqi_fnd_get_portfolio",
    "py_vqi_fnd_get_net_value", "py_vqi_fnd_get_adj_factor", "py_vqi_fnd_get_dividend",
    "py_vqi_fnd_get_split", "py_vqi_bnd_get_conversion_price", "py_vqi_bnd_get_call_info",
    "py_vqi_bnd_get_put_info", "py_vqi_bnd_get_amount_change", "py_get_trading_dates_by_year",
    "py_vqi_option_comb_entrust_pb", "py_vqi_option_sep_entrust_pb", "py_vqi_get_option_combinable_pb",
    "py_vqi_get_option_comb_position_pb", "py_vqi_get_fundamentals", "py_vqi_get_fundamentals_n",
    "py_vqi_get_instrumentInfos", "py_vqi_get_fuzzy_match_instrumentInfos",
    "py_vqi_get_history_instruments", "py_vqi_get_constituents", "py_vqi_get_sector",
    "py_vqi_get_industry", "py_vqi_get_concept", "py_vqi_get_trading_dates",
    "py_vqi_get_previous_trading_date", "py_vqi_get_next_trading_date", "py_vqi_get_dividends",
    "py_vqi_get_dividends_snapshot", "py_vqi_get_continuous_contracts", "py_vqi_get_varietyinfos",
    "py_vqi_get_trading_time", "py_vqi_option_get_symbols_by_exchange",
    "py_vqi_option_get_symbols_by_in_at_out", "py_vqi_option_get_delisted_dates",
    "py_vqi_option_get_exercise_prices", "py_vqi_history_ticks_pb", "py_vqi_history_bars_pb",
    "py_vqi_history_ticks_n_pb", "py_vqi_history_bars_n_pb", "py_vqi_get_instruments",
    "py_vqi_get_trading_times_ext", "py_vqi_get_convertible_bond_call_info", "py_vqi_set_max_wait_time",
    "py_vqi_set_backtest_threadnum", "py_vqi_get_stop_error_code", "py_vqi_use_dsproxy",
    "py_vqi_get_previous_n_trading_dates", "py_vqi_get_next_n_trading_dates",
    "py_vqi_stk_abnor_change_stocks", "py_vqi_stk_abnor_change_detail", "py_vqi_stk_quota_shszhk_infos",
    "py_vqi_stk_hk_inst_holding_detail_info", "py_vqi_stk_hk_inst_holding_info",
    "py_vqi_stk_active_stock_top10_shszhk_info", "py_vqi_stk_get_money_flow",
    "py_vqi_stk_get_finance_audit", "py_vqi_stk_get_finance_forecast", "py_vqi_fnd_get_share",
    "py_vqi_bnd_get_analysis", "py_vqi_get_cash_pb_v2", "py_vqi_get_positions_pb_v2",
    "py_vqi_get_instrument_pool_by_name_pb", "py_vqi_get_instrument_pools_pb",
    "py_vqi_set_instrument_pool_symbols_pb", "py_vqi_del_instrument_pool_by_name_pb",
    "py_vqi_get_open_call_auction",
};

const size_t binding_order_size = sizeof(binding_order) / sizeof(binding_order[0]);

const MemberTable* const binding_tables[] = {
    &market_data_members, &fundamental_data_members, &trading_data_members, &multi_argument_members,
    &session_members,     &callback_members,         &run_loop_members,     &subscription_members,
    &trading_action_members, &backtest_members,      &bus_members,
};

const size_t binding_tables_size = sizeof(binding_tables) / sizeof(binding_tables[0]);

}  // namespace csdk
