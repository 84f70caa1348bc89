// Simulated session of the stand-in SDK.
//
// Off by default: then every SDK function behaves as scripted through the
// control interface (state.h).  vqsim_simulate (or $VQSDK_SIMULATE) starts a
// session: a seeded market for the subscribed symbols on a simulated clock, a
// cash account that orders fill against, user timers and a bus loop-back.
// While a session is on, the functions below answer instead of the scripted
// defaults, except for a function a test scripted explicitly (a status, a
// response, a text or a break set through vqsim_): that one keeps its script.
//
// Everything here runs under state().mutex except the entry points, which
// take it themselves; none of them calls the event callback.
#ifndef VQSIM_SIMULATION_H
#define VQSIM_SIMULATION_H

#include <string>

#include "state.h"

namespace vqsim::sim {

// Starts a fresh session from `config` (key=value;... text, see vqsim.h);
// NULL ends the session.  VQSIM_OK or VQSIM_INVALID_ARGUMENT.
int simulate(const char* config);
bool active();
// The session's state as JSON (vqsim_simulation_report); "null" when off.
std::string report_json();

// SDK functions the session answers.  Each returns true, with the status to
// return in `status`, when a session is on and the function is not scripted;
// false leaves the call to the scripted behaviour.  Responses stay valid
// until the function's next call, as scripted ones do.
bool respond(Fn fn, Buffer req, char** res, int* res_len, int& status);
bool request_status(Fn fn, Buffer req, int& status);
bool subscribe(const char* symbols, const char* frequency, bool unsubscribe_previous, int& status);
bool unsubscribe(const char* symbols, const char* frequency, int& status);
bool user_timer(int period, int start_delay, int& status);
bool send_msg_to_bus(const char* topic, const char* msg, int& status);
// Text for a status only the session returns.
bool error_text(int status, std::string& text);
// No-ops without a session.
void set_timer(int interval);
void user_timer_stop(int timer_id);
void add_bus_topic(const char* topic);
// The session's clock in milliseconds; false when no session is on.
bool clock_ms(long long& now);

// Remembered whether or not a session is on; a session reads them when it
// starts (vqi_set_backtest_config also updates one that has not run yet).
void remember_backtest_config(const char* start_time, const char* end_time, double initial_cash,
                              double commission_ratio, double slippage_ratio);
void remember_account(const char* account_ids);

// Run loop hooks: queues the events of the next point of simulated time;
// false when there is no session or it has finished.
bool advance();
// Counts a delivered event by its text.
void delivered(const char* text);

// Back to the state at load time ($VQSDK_SIMULATE decides); part of vqsim_reset.
void reset();

}  // namespace vqsim::sim

#endif  // VQSIM_SIMULATION_H
