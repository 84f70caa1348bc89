// Market and reference data requests.
#include "module/members.h"
#include "module/shapes.h"
#include "sdk/vqsdk.h"

namespace csdk {

// Request/response members: one request `req` in, (status, bytes) or
// (status, None) out.
const Member market_data_rows[] = {
    // Market data history and snapshots
    CSDK_BIND("py_vqi_history_ticks_pb",                Plain,     vqi_history_ticks_pb, "req"),
    CSDK_BIND("py_vqi_history_bars_pb",                 Plain,     vqi_history_bars_pb, "req"),
    CSDK_BIND("py_vqi_history_ticks_n_pb",              Plain,     vqi_history_ticks_n_pb, "req"),
    CSDK_BIND("py_vqi_history_bars_n_pb",               Plain,     vqi_history_bars_n_pb, "req"),
    CSDK_BIND("py_vqi_history_ticks_l2",                Decorated, vqi_history_ticks_l2_pb, "req"),
    CSDK_BIND("py_vqi_history_bars_l2",                 Decorated, vqi_history_bars_l2_pb, "req"),
    CSDK_BIND("py_vqi_history_transaction_l2",          Decorated, vqi_history_transaction_l2_pb, "req"),
    CSDK_BIND("py_vqi_history_order_l2",                Decorated, vqi_history_order_l2_pb, "req"),
    CSDK_BIND("py_vqi_history_order_queue_l2",          Decorated, vqi_history_order_queue_l2_pb, "req"),
    CSDK_BIND("py_vqi_last_tick",                       Decorated, vqi_last_tick_pb, "req"),
    CSDK_BIND("py_vqi_current_price",                   Decorated, vqi_current_price_pb, "req"),
    CSDK_BIND("py_vqi_get_open_call_auction",           Plain,     vqi_get_open_call_auction, "req"),

    // Trading calendar
    CSDK_BIND("py_vqi_get_trading_dates",               Plain,     vqi_get_trading_dates, "req"),
    CSDK_BIND("py_get_trading_dates_by_year",           Plain,     vqi_get_trading_dates_by_year, "req"),
    CSDK_BIND("py_vqi_get_previous_trading_date",       Plain,     vqi_get_previous_trading_date, "req"),
    CSDK_BIND("py_vqi_get_next_trading_date",           Plain,     vqi_get_next_trading_date, "req"),
    CSDK_BIND("py_vqi_get_previous_n_trading_dates",    Plain,     vqi_get_previous_n_trading_dates, "req"),
    CSDK_BIND("py_vqi_get_next_n_trading_dates",        Plain,     vqi_get_next_n_trading_dates, "req"),
    CSDK_BIND("py_vqi_get_trading_session",             Plain,     vqi_get_trading_session, "req"),
    CSDK_BIND("py_vqi_get_trading_time",                Plain,     vqi_get_trading_time, "req"),
    CSDK_BIND("py_vqi_get_trading_times_ext",           Plain,     vqi_get_trading_times_ext, "req"),
    CSDK_BIND("py_vqi_get_contract_expire_rest_days",   Plain,     vqi_get_contract_expire_rest_days, "req"),

    // Instruments and symbols
    CSDK_BIND("py_vqi_get_instruments",                 Plain,     vqi_get_instruments, "req"),
    CSDK_BIND("py_vqi_get_history_instruments",         Plain,     vqi_get_history_instruments, "req"),
    CSDK_BIND("py_vqi_get_instrumentInfos",             Plain,     vqi_get_instrumentInfos, "req"),
    CSDK_BIND("py_vqi_get_fuzzy_match_instrumentInfos", Plain,     vqi_get_fuzzy_match_instrumentInfos, "req"),
    CSDK_BIND("py_vqi_get_symbol_infos",                Plain,     vqi_get_symbol_infos, "req"),
    CSDK_BIND("py_vqi_get_symbols_v2",                  Plain,     vqi_get_symbols_v2, "req"),
    CSDK_BIND("py_vqi_get_history_symbol",              Plain,     vqi_get_history_symbol, "req"),
    CSDK_BIND("py_vqi_get_varietyinfos",                Plain,     vqi_get_varietyinfos, "req"),
    CSDK_BIND("py_vqi_get_continuous_contracts",        Plain,     vqi_get_continuous_contracts, "req"),
    CSDK_BIND("py_vqi_get_convertible_bond_call_info",  Plain,     vqi_get_convertible_bond_call_info, "req"),

    // Option reference data
    CSDK_BIND("py_vqi_option_get_symbols_by_exchange",  Plain,     vqi_option_get_symbols_by_exchange, "req"),
    CSDK_BIND("py_vqi_option_get_symbols_by_in_at_out", Plain,     vqi_option_get_symbols_by_in_at_out, "req"),
    CSDK_BIND("py_vqi_option_get_delisted_dates",       Plain,     vqi_option_get_delisted_dates, "req"),
    CSDK_BIND("py_vqi_option_get_exercise_prices",      Plain,     vqi_option_get_exercise_prices, "req"),

    // Sectors, industries, concepts, constituents and dividends
    CSDK_BIND("py_vqi_get_sector",                      Plain,     vqi_get_sector, "req"),
    CSDK_BIND("py_vqi_get_industry",                    Plain,     vqi_get_industry, "req"),
    CSDK_BIND("py_vqi_get_concept",                     Plain,     vqi_get_concept, "req"),
    CSDK_BIND("py_vqi_get_constituents",                Plain,     vqi_get_constituents, "req"),
    CSDK_BIND("py_vqi_get_dividends",                   Plain,     vqi_get_dividends, "req"),
    CSDK_BIND("py_vqi_get_dividends_snapshot",          Plain,     vqi_get_dividends_snapshot, "req"),
};

const MemberTable market_data_members = table(market_data_rows);

}  // namespace csdk
