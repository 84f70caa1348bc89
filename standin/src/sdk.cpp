// The SDK functions of the stand-in.  Every definition is `extern "C"`, so a
// signature that differs from vqsdk.h is a compile error rather than a new
// C++ overload.  Every call is recorded first; a simulated session (see
// simulation.h) then answers the functions it knows, the rest return what
// the control interface scripted.
#include <string>

#include "passing.h"
#include "simulation.h"
#include "state.h"
#include "vqsdk.h"

using namespace vqsim;

namespace vqsim {
PassMode g_pass_mode = PassMode::kOff;
}  // namespace vqsim

#ifdef VQSIM_SECOND_COPY
// The copy another stand-in forwards to says so in its version text.
#define VQSIM_VERSION_TEXT "vqsdk-standin 1.0 (second copy)"
#else
#define VQSIM_VERSION_TEXT "vqsdk-standin 1.0"
#endif

#define VQSIM_DEFINE_REQUEST_RESPONSE(name)                                   \
  extern "C" int name(char* req, int req_len, char** res, int* res_len) {     \
    VQSIM_PASS(name, (req, req_len, res, res_len));                           \
    note(FN_##name, Buffer{req, req_len}, res, res_len);                      \
    int status;                                                               \
    if (sim::respond(FN_##name, Buffer{req, req_len}, res, res_len, status))  \
      return status;                                                          \
    return respond(FN_##name, res, res_len);                                  \
  }
#define VQSIM_DEFINE_REQUEST_STATUS(name)                                     \
  extern "C" int name(char* req, int req_len) {                               \
    VQSIM_PASS(name, (req, req_len));                                         \
    note(FN_##name, Buffer{req, req_len});                                    \
    int status;                                                               \
    if (sim::request_status(FN_##name, Buffer{req, req_len}, status))         \
      return status;                                                          \
    return status_of(FN_##name);                                              \
  }

VQSIM_REQUEST_RESPONSE_FUNCTIONS(VQSIM_DEFINE_REQUEST_RESPONSE)
VQSIM_REQUEST_STATUS_FUNCTIONS(VQSIM_DEFINE_REQUEST_STATUS)

// ---- Request/response variants ----

extern "C" int vqi_current_pb(char* symbols, bool include_call_auction, char* fields, char** res, int* res_len) {
  VQSIM_PASS(vqi_current_pb, (symbols, include_call_auction, fields, res, res_len));
  note(FN_vqi_current_pb, symbols, include_call_auction, fields, res, res_len);
  return respond(FN_vqi_current_pb, res, res_len);
}

extern "C" int vqi_get_child_orders_pb(char* account_id, char* algo_id, char** res, int* res_len) {
  VQSIM_PASS(vqi_get_child_orders_pb, (account_id, algo_id, res, res_len));
  note(FN_vqi_get_child_orders_pb, account_id, algo_id, res, res_len);
  return respond(FN_vqi_get_child_orders_pb, res, res_len);
}

extern "C" int vqi_algo_order_batch_pb(char* req, int req_len, char* algo_name, char* algo_params, char** res,
                                       int* res_len) {
  VQSIM_PASS(vqi_algo_order_batch_pb, (req, req_len, algo_name, algo_params, res, res_len));
  note(FN_vqi_algo_order_batch_pb, Buffer{req, req_len}, algo_name, algo_params, res, res_len);
  return respond(FN_vqi_algo_order_batch_pb, res, res_len);
}

extern "C" int vqi_get_account_info_pb(char** res, int* res_len) {
  VQSIM_PASS(vqi_get_account_info_pb, (res, res_len));
  note(FN_vqi_get_account_info_pb, res, res_len);
  return respond(FN_vqi_get_account_info_pb, res, res_len);
}

extern "C" int vqi_get_serv_addr(char* serv_id, char** addr) {
  VQSIM_PASS(vqi_get_serv_addr, (serv_id, addr));
  note(FN_vqi_get_serv_addr, serv_id, addr);
  return address(FN_vqi_get_serv_addr, addr);
}

// ---- Smart re-ordering ----

extern "C" int vqi_smart_reorder(const char* symbol, double price, int volume, int side, int order_type,
                                 int position_effect, int repeat_n, int max_price_offset, int time_out,
                                 int time_wait, const char* account) {
  VQSIM_PASS(vqi_smart_reorder, (symbol, price, volume, side, order_type, position_effect, repeat_n,
                                 max_price_offset, time_out, time_wait, account));
  return noted_status(FN_vqi_smart_reorder, symbol, price, volume, side, order_type, position_effect, repeat_n,
                      max_price_offset, time_out, time_wait, account);
}

extern "C" int vqi_smart_reorder_cancel(int reorder_id) {
  VQSIM_PASS(vqi_smart_reorder_cancel, (reorder_id));
  return noted_status(FN_vqi_smart_reorder_cancel, reorder_id);
}

// ---- Session configuration ----

extern "C" int vqi_set_token(const char* token) {
  VQSIM_PASS(vqi_set_token, (token));
  return noted_status(FN_vqi_set_token, token);
}
extern "C" void vqi_set_apitoken(const char* token) {
  VQSIM_PASS(vqi_set_apitoken, (token));
  note(FN_vqi_set_apitoken, token);
}
extern "C" void vqi_set_serv_addr(const char* addr) {
  VQSIM_PASS(vqi_set_serv_addr, (addr));
  note(FN_vqi_set_serv_addr, addr);
}
extern "C" void vqi_set_serv_addr_v5(const char* addr, const char* orgcode, const char* site_id) {
  VQSIM_PASS(vqi_set_serv_addr_v5, (addr, orgcode, site_id));
  note(FN_vqi_set_serv_addr_v5, addr, orgcode, site_id);
}
extern "C" void vqi_set_strategy_id(const char* strategy_id) {
  VQSIM_PASS(vqi_set_strategy_id, (strategy_id));
  note(FN_vqi_set_strategy_id, strategy_id);
}
extern "C" void vqi_set_account_id(const char* account_ids) {
  VQSIM_PASS(vqi_set_account_id, (account_ids));
  note(FN_vqi_set_account_id, account_ids);
  sim::remember_account(account_ids);
}
extern "C" void vqi_set_mfp(const char* mfp) {
  VQSIM_PASS(vqi_set_mfp, (mfp));
  note(FN_vqi_set_mfp, mfp);
}
extern "C" void vqi_set_ctp_md_info(const char* front_addresses, const char* user_name, const char* password) {
  VQSIM_PASS(vqi_set_ctp_md_info, (front_addresses, user_name, password));
  note(FN_vqi_set_ctp_md_info, front_addresses, user_name, password);
}
extern "C" void vqi_set_version(const char* sdk_version, const char* sdk_lang, void* reserved1, void* reserved2) {
  VQSIM_PASS(vqi_set_version, (sdk_version, sdk_lang, reserved1, reserved2));
  note(FN_vqi_set_version, sdk_version, sdk_lang, static_cast<const void*>(reserved1),
       static_cast<const void*>(reserved2));
}

// ---- Events ----

extern "C" void vqi_set_event_callback_pb(vqi_event_callback_t callback) {
  VQSIM_PASS(vqi_set_event_callback_pb, (callback));
  note(FN_vqi_set_event_callback_pb, callback);
  set_callback(callback);
}

// ---- Run loop, switches and texts ----

extern "C" int vqi_run(void) {
  VQSIM_PASS(vqi_run, ());
  note(FN_vqi_run);
  return run_loop();
}

extern "C" int vqi_stop(void) {
  VQSIM_PASS(vqi_stop, ());
  note(FN_vqi_stop);
  request_stop();
  return status_of(FN_vqi_stop);
}

extern "C" int vqi_get_stop_error_code(void) {
  VQSIM_PASS(vqi_get_stop_error_code, ());
  return noted_status(FN_vqi_get_stop_error_code);
}
extern "C" int vqi_use_dsproxy(void) {
  VQSIM_PASS(vqi_use_dsproxy, ());
  return noted_status(FN_vqi_use_dsproxy);
}
extern "C" void vqi_set_simtrade_only(void) {
  VQSIM_PASS(vqi_set_simtrade_only, ());
  note(FN_vqi_set_simtrade_only);
}

extern "C" const char* vqi_strerror(int errorno) {
  VQSIM_PASS(vqi_strerror, (errorno));
  note(FN_vqi_strerror, errorno);
  std::string text = "vqsdk error " + std::to_string(errorno);
  std::string simulated;
  if (sim::error_text(errorno, simulated)) text += ": " + simulated;
  return text_of(FN_vqi_strerror, text);
}

extern "C" const char* vqi_get_ext_errormsg(void) {
  VQSIM_PASS(vqi_get_ext_errormsg, ());
  note(FN_vqi_get_ext_errormsg);
  return text_of(FN_vqi_get_ext_errormsg, "");
}

extern "C" const char* vqi_get_orgcode(void) {
  VQSIM_PASS(vqi_get_orgcode, ());
  note(FN_vqi_get_orgcode);
  return text_of(FN_vqi_get_orgcode, "ORG0");
}

extern "C" const char* vqi_get_encrypted_token(void) {
  VQSIM_PASS(vqi_get_encrypted_token, ());
  note(FN_vqi_get_encrypted_token);
  return text_of(FN_vqi_get_encrypted_token, "");
}

// ---- Subscription, scheduling and timers ----

extern "C" int vqi_subscribe(const char* symbols, const char* frequency, bool unsubscribe_previous) {
  VQSIM_PASS(vqi_subscribe, (symbols, frequency, unsubscribe_previous));
  note(FN_vqi_subscribe, symbols, frequency, unsubscribe_previous);
  int status;
  if (sim::subscribe(symbols, frequency, unsubscribe_previous, status)) return status;
  return status_of(FN_vqi_subscribe);
}
extern "C" int vqi_unsubscribe(const char* symbols, const char* frequency) {
  VQSIM_PASS(vqi_unsubscribe, (symbols, frequency));
  note(FN_vqi_unsubscribe, symbols, frequency);
  int status;
  if (sim::unsubscribe(symbols, frequency, status)) return status;
  return status_of(FN_vqi_unsubscribe);
}
extern "C" int vqi_schedule(const char* date_rule, const char* time_rule) {
  VQSIM_PASS(vqi_schedule, (date_rule, time_rule));
  return noted_status(FN_vqi_schedule, date_rule, time_rule);
}
extern "C" void vqi_set_timer(int interval) {
  VQSIM_PASS(vqi_set_timer, (interval));
  note(FN_vqi_set_timer, interval);
  sim::set_timer(interval);
}
extern "C" int vqi_user_timer(int period, int start_delay) {
  VQSIM_PASS(vqi_user_timer, (period, start_delay));
  note(FN_vqi_user_timer, period, start_delay);
  int status;
  if (sim::user_timer(period, start_delay, status)) return status;
  return status_of(FN_vqi_user_timer);
}
extern "C" void vqi_user_timer_stop(int timer_id) {
  VQSIM_PASS(vqi_user_timer_stop, (timer_id));
  note(FN_vqi_user_timer_stop, timer_id);
  sim::user_timer_stop(timer_id);
}

// ---- Backtest configuration ----

extern "C" int vqi_set_backtest_config(const char* start_time, const char* end_time, double initial_cash,
                                       double transaction_ratio, double commission_ratio, double commission_unit,
                                       double slippage_ratio, double option_float_margin_ratio1,
                                       double option_float_margin_ratio2, int adjust, int match_mode,
                                       int check_cache) {
  VQSIM_PASS(vqi_set_backtest_config,
             (start_time, end_time, initial_cash, transaction_ratio, commission_ratio, commission_unit, slippage_ratio,
              option_float_margin_ratio1, option_float_margin_ratio2, adjust, match_mode, check_cache));
  note(FN_vqi_set_backtest_config, start_time, end_time, initial_cash, transaction_ratio, commission_ratio,
       commission_unit, slippage_ratio, option_float_margin_ratio1, option_float_margin_ratio2, adjust, match_mode,
       check_cache);
  sim::remember_backtest_config(start_time, end_time, initial_cash, commission_ratio, slippage_ratio);
  return status_of(FN_vqi_set_backtest_config);
}
extern "C" void vqi_set_backtest_intraday(int req) {
  VQSIM_PASS(vqi_set_backtest_intraday, (req));
  note(FN_vqi_set_backtest_intraday, req);
}
extern "C" void vqi_set_backtest_threadnum(int n) {
  VQSIM_PASS(vqi_set_backtest_threadnum, (n));
  note(FN_vqi_set_backtest_threadnum, n);
}
extern "C" void vqi_set_max_wait_time(int max_wait_time) {
  VQSIM_PASS(vqi_set_max_wait_time, (max_wait_time));
  note(FN_vqi_set_max_wait_time, max_wait_time);
}
extern "C" void vqi_set_mode_consistency(bool mode) {
  VQSIM_PASS(vqi_set_mode_consistency, (mode));
  note(FN_vqi_set_mode_consistency, mode);
}

// ---- Message bus ----

extern "C" void vqi_set_bus_info(const char* server_addr, const char* user_name, const char* password) {
  VQSIM_PASS(vqi_set_bus_info, (server_addr, user_name, password));
  note(FN_vqi_set_bus_info, server_addr, user_name, password);
}
extern "C" void vqi_set_bus_secure(int in_mode, const char* tlsca, const char* tlscert, const char* tlskey,
                                   bool skip_verify) {
  VQSIM_PASS(vqi_set_bus_secure, (in_mode, tlsca, tlscert, tlskey, skip_verify));
  note(FN_vqi_set_bus_secure, in_mode, tlsca, tlscert, tlskey, skip_verify);
}
extern "C" void vqi_add_bus_topic(const char* topic) {
  VQSIM_PASS(vqi_add_bus_topic, (topic));
  note(FN_vqi_add_bus_topic, topic);
  sim::add_bus_topic(topic);
}
extern "C" int vqi_send_msg_to_bus(const char* topic, const char* msg) {
  VQSIM_PASS(vqi_send_msg_to_bus, (topic, msg));
  note(FN_vqi_send_msg_to_bus, topic, msg);
  int status;
  if (sim::send_msg_to_bus(topic, msg, status)) return status;
  return status_of(FN_vqi_send_msg_to_bus);
}

// ---- Library, clock and polling ----

extern "C" const char* vqi_get_c_version(void) {
  VQSIM_PASS(vqi_get_c_version, ());
  note(FN_vqi_get_c_version);
  return text_of(FN_vqi_get_c_version, VQSIM_VERSION_TEXT);
}
extern "C" int vqi_init(void) {
  VQSIM_PASS(vqi_init, ());
  return noted_status(FN_vqi_init);
}

extern "C" long long vqi_now(void) {
  VQSIM_PASS(vqi_now, ());
  note(FN_vqi_now);
  return clock_now();
}

extern "C" double vqi_now_plus(void) {
  VQSIM_PASS(vqi_now_plus, ());
  note(FN_vqi_now_plus);
  return clock_now_plus();
}

extern "C" int vqi_poll(void) {
  VQSIM_PASS(vqi_poll, ());
  note(FN_vqi_poll);
  return poll_once();
}

extern "C" void vqi_set_mode(int mode) {
  VQSIM_PASS(vqi_set_mode, (mode));
  note(FN_vqi_set_mode, mode);
}
