// Session configuration, subscription and timers, backtest configuration and
// the message bus: thin setters that convert their arguments and call one SDK
// function.  What each returns follows from the SDK prototype (int: the
// status; void: None).
#include "module/members.h"
#include "module/shapes.h"
#include "sdk/vqsdk.h"

namespace csdk {

namespace {
// vqi_set_mode_consistency takes a C bool, but `mode` is an integer
// (True, False and ints; not a truth test), passed on as mode != 0.
struct IntFlag : Defaults {
    static constexpr bool int_flags = true;
};
}  // namespace

const Member session_rows[] = {
    CSDK_BIND("py_vqi_set_token",        Decorated, vqi_set_token, "token"),
    CSDK_BIND("py_vqi_set_apitoken",     Decorated, vqi_set_apitoken, "token"),
    CSDK_BIND("py_vqi_set_serv_addr",    Decorated, vqi_set_serv_addr, "addr"),
    CSDK_BIND("py_vqi_set_serv_addr_v5", Plain,     vqi_set_serv_addr_v5, "addr, orgcode, site_id"),
    CSDK_BIND("py_vqi_set_strategy_id",  Decorated, vqi_set_strategy_id, "strategy_id"),
    CSDK_BIND("py_vqi_set_account_id",   Plain,     vqi_set_account_id, "account_ids"),
    CSDK_BIND("py_vqi_set_mfp",          Decorated, vqi_set_mfp, "mfp"),
    CSDK_BIND("py_vqi_set_ctp_md_info",  Decorated, vqi_set_ctp_md_info, "front_addresses, user_name, password"),
    // The SDK's two pointer-sized extras are always passed as zero.
    CSDK_BIND("py_vqi_set_version",      Decorated, vqi_set_version, "sdk_version, sdk_lang"),
};

const Member subscription_rows[] = {
    CSDK_BIND("py_vqi_subscribe",       Decorated, vqi_subscribe, "symbols, frequency, unsubscribe_previous"),
    CSDK_BIND("py_vqi_unsubscribe",     Decorated, vqi_unsubscribe, "symbols, frequency"),
    CSDK_BIND("py_vqi_schedule",        Decorated, vqi_schedule, "date_rule, time_rule"),
    CSDK_BIND("py_vqi_set_timer",       Plain,     vqi_set_timer, "interval"),
    CSDK_BIND("py_vqi_user_timer",      Decorated, vqi_user_timer, "period, start_delay"),
    CSDK_BIND("py_vqi_user_timer_stop", Decorated, vqi_user_timer_stop, "timer_id"),
};

const Member backtest_rows[] = {
    CSDK_BIND("py_vqi_set_backtest_config", Decorated, vqi_set_backtest_config,
              "start_time, end_time, initial_cash, transaction_ratio, commission_ratio, commission_unit, "
              "slippage_ratio, option_float_margin_ratio1, option_float_margin_ratio2, adjust, match_mode, "
              "check_cache"),
    CSDK_BIND("py_vqi_set_backtest_intraday",  Decorated, vqi_set_backtest_intraday, "req"),
    CSDK_BIND("py_vqi_set_backtest_threadnum", Plain,     vqi_set_backtest_threadnum, "n"),
    CSDK_BIND("py_vqi_set_max_wait_time",      Plain,     vqi_set_max_wait_time, "max_wait_time"),
    CSDK_BIND_WITH("py_vqi_set_mode_consistency", Decorated, vqi_set_mode_consistency, "mode", IntFlag),
};

const Member bus_rows[] = {
    CSDK_BIND("py_vqi_set_bus_info",     Decorated, vqi_set_bus_info, "server_addr, user_name, password"),
    CSDK_BIND("py_vqi_set_bus_secure",   Decorated, vqi_set_bus_secure, "in_mode, tlsca, tlscert, tlskey, skip_verify"),
    CSDK_BIND("py_vqi_add_bus_topic",    Decorated, vqi_add_bus_topic, "topic"),
    CSDK_BIND("py_vqi_send_msg_to_bus",  Decorated, vqi_send_msg_to_bus, "topic, msg"),
};

const MemberTable session_members = table(session_rows);
const MemberTable subscription_members = table(subscription_rows);
const MemberTable backtest_members = table(backtest_rows);
const MemberTable bus_members = table(bus_rows);

}  // namespace csdk
