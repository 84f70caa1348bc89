// Run loop control and texts, and the trading actions that return only a
// status.
#include "module/members.h"
#include "module/shapes.h"
#include "sdk/vqsdk.h"

namespace csdk {

const Member run_loop_rows[] = {
    CSDK_BIND("py_vqi_run",                 Plain,     vqi_run, ""),
    CSDK_BIND("py_vqi_stop",                Plain,     vqi_stop, ""),
    CSDK_BIND("py_vqi_get_stop_error_code", Plain,     vqi_get_stop_error_code, ""),
    CSDK_BIND("py_vqi_use_dsproxy",         Plain,     vqi_use_dsproxy, ""),
    CSDK_BIND("py_vqi_set_simtrade_only",   Plain,     vqi_set_simtrade_only, ""),
    CSDK_BIND("py_vqi_strerror",            Plain,     vqi_strerror, "errorno"),
    CSDK_BIND("py_vqi_get_ext_errormsg",    Plain,     vqi_get_ext_errormsg, ""),
    CSDK_BIND("py_vqi_get_orgcode",         Decorated, vqi_get_orgcode, ""),
    CSDK_BIND("py_vqi_get_encrypted_token", Decorated, vqi_get_encrypted_token, ""),
};

// Request in, status out.
const Member trading_action_rows[] = {
    CSDK_BIND("py_vqi_cancel_order",                   Decorated, vqi_cancel_orders_pb, "req"),
    CSDK_BIND("py_vqi_cancel_all_orders",              Decorated, vqi_cancel_all_orders_pb, "req"),
    CSDK_BIND("py_vqi_pause_algo_orders",              Decorated, vqi_pause_algo_orders_pb, "req"),
    CSDK_BIND("py_vqi_cancel_algo_orders",             Decorated, vqi_cancel_algo_orders_pb, "req"),
    CSDK_BIND("py_vqi_set_instrument_pool_symbols_pb", Plain,     vqi_set_instrument_pool_symbols_pb, "req"),
    CSDK_BIND("py_vqi_del_instrument_pool_by_name_pb", Plain,     vqi_del_instrument_pool_by_name_pb, "req"),
    CSDK_BIND("py_vqi_set_parameters",                 Plain,     vqi_set_parameters_pb, "req"),
    CSDK_BIND("py_vqi_add_parameters",                 Plain,     vqi_add_parameters_pb, "req"),
    CSDK_BIND("py_vqi_log",                            Plain,     vqi_log_pb, "req"),

    CSDK_BIND("py_vqi_smart_reorder", Decorated, vqi_smart_reorder,
              "symbol, price, volume, side, order_type, position_effect, repeat_n, max_price_offset, "
              "time_out, time_wait, account"),
    CSDK_BIND("py_vqi_smart_reorder_cancel", Decorated, vqi_smart_reorder_cancel, "reorder_id"),
};

const MemberTable run_loop_members = table(run_loop_rows);
const MemberTable trading_action_members = table(trading_action_rows);

}  // namespace csdk
