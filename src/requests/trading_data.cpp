// Trading and account requests.
#include "module/members.h"
#include "module/shapes.h"
#include "sdk/vqsdk.h"

namespace csdk {

// Request/response members: one request `req` in, (status, bytes) or
// (status, None) out.
const Member trading_data_rows[] = {
    // Orders and positions
    CSDK_BIND("py_vqi_place_order",                             Decorated, vqi_place_order_pb, "req"),
    CSDK_BIND("py_vqi_get_orders",                              Decorated, vqi_get_orders_pb, "req"),
    CSDK_BIND("py_vqi_get_unfinished_orders",                   Decorated, vqi_get_unfinished_orders_pb, "req"),
    CSDK_BIND("py_vqi_get_execution_reports",                   Decorated, vqi_get_execution_reports_pb, "req"),
    CSDK_BIND("py_vqi_close_all_positions",                     Decorated, vqi_close_all_positions_pb, "req"),
    CSDK_BIND("py_vqi_get_entrustable_volume_by_symbol_pb",     Decorated, vqi_get_entrustable_volume_by_symbol_pb, "req"),

    // Cash, positions and account status
    CSDK_BIND("py_vqi_get_cash",                                Decorated, vqi_get_cash_pb, "req"),
    CSDK_BIND("py_vqi_get_cash_pb_v2",                          Plain,     vqi_get_cash_pb_v2, "req"),
    CSDK_BIND("py_vqi_get_positions",                           Decorated, vqi_get_positions_pb, "req"),
    CSDK_BIND("py_vqi_get_positions_pb_v2",                     Plain,     vqi_get_positions_pb_v2, "req"),
    CSDK_BIND("py_vqi_get_account_status",                      Decorated, vqi_get_account_status_pb, "req"),

    // Algorithmic orders
    CSDK_BIND("py_vqi_place_algo_orders",                       Decorated, vqi_place_algo_orders_pb, "req"),
    CSDK_BIND("py_vqi_get_algo_orders",                         Decorated, vqi_get_algo_orders_pb, "req"),

    // Option combinations
    CSDK_BIND("py_vqi_option_sep_entrust_pb",                   Plain,     vqi_option_sep_entrust_pb, "req"),
    CSDK_BIND("py_vqi_option_comb_entrust_pb",                  Plain,     vqi_option_comb_entrust_pb, "req"),
    CSDK_BIND("py_vqi_get_option_combinable_pb",                Plain,     vqi_get_option_combinable_pb, "req"),
    CSDK_BIND("py_vqi_get_option_comb_position_pb",             Plain,     vqi_get_option_comb_position_pb, "req"),

    // Margin credit
    CSDK_BIND("py_vqi_get_credit_cash_pb",                      Decorated, vqi_get_credit_cash_pb, "req"),
    CSDK_BIND("py_vqi_get_credit_contracts_pb",                 Decorated, vqi_get_credit_contracts_pb, "req"),
    CSDK_BIND("py_vqi_get_borrowable_instruments_pb",           Decorated, vqi_get_borrowable_instruments_pb, "req"),
    CSDK_BIND("py_vqi_get_borrowable_instruments_positions_pb", Decorated, vqi_get_borrowable_instruments_positions_pb, "req"),
    CSDK_BIND("py_vqi_get_collateral_instruments_pb",           Decorated, vqi_get_collateral_instruments_pb, "req"),
    CSDK_BIND("py_vqi_repay_cash_directly_pb",                  Decorated, vqi_repay_cash_directly_pb, "req"),

    // IPO subscription
    CSDK_BIND("py_vqi_get_ipo_quota_pb",                        Decorated, vqi_get_ipo_quota_pb, "req"),
    CSDK_BIND("py_vqi_get_ipo_instruments_pb",                  Decorated, vqi_get_ipo_instruments_pb, "req"),
    CSDK_BIND("py_vqi_get_ipo_match_number_pb",                 Decorated, vqi_get_ipo_match_number_pb, "req"),
    CSDK_BIND("py_vqi_get_ipo_lot_info_pb",                     Decorated, vqi_get_ipo_lot_info_pb, "req"),

    // Instrument pools, parameters and raw requests
    CSDK_BIND("py_vqi_get_instrument_pools_pb",                 Plain,     vqi_get_instrument_pools_pb, "req"),
    CSDK_BIND("py_vqi_get_instrument_pool_by_name_pb",          Plain,     vqi_get_instrument_pool_by_name_pb, "req"),
    CSDK_BIND("py_vqi_get_parameters",                          Plain,     vqi_get_parameters_pb, "req"),
    CSDK_BIND("py_vqi_raw_func",                                Decorated, vqi_raw_func_pb, "req"),
};

const MemberTable trading_data_members = table(trading_data_rows);

}  // namespace csdk
