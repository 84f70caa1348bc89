// Shared state of the stand-in SDK: recorded calls, scripted statuses,
// responses, texts, breaks, the clock and the event queue.
#ifndef VQSIM_STATE_H
#define VQSIM_STATE_H

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "functions.h"
#include "vqsdk.h"

namespace vqsim {

// One recorded argument, copied when the call was made.
struct Arg {
  enum class Kind : unsigned char { Null, Bytes, Int, Addr, Float, Bool, OutNull, OutSet, OutLen };
  Kind kind = Kind::Null;
  long long i = 0;           // Int; Bool as 0/1
  unsigned long long u = 0;  // Addr
  double f = 0;              // Float
  std::string bytes;         // Bytes
};

struct Call {
  Fn fn;
  std::vector<Arg> args;
};

// A request buffer: recorded as its req_len bytes followed by req_len itself.
struct Buffer {
  const char* data;
  int len;
};

void put(std::vector<Arg>& args, const char* text);
void put(std::vector<Arg>& args, Buffer buffer);
void put(std::vector<Arg>& args, int value);
void put(std::vector<Arg>& args, double value);
void put(std::vector<Arg>& args, bool value);
void put(std::vector<Arg>& args, const void* pointer);
void put(std::vector<Arg>& args, vqi_event_callback_t callback);
void put(std::vector<Arg>& args, char** out);
void put(std::vector<Arg>& args, int* out_len);

// True when calls are recorded or traced; otherwise arguments are not copied.
bool observing();
// True with $VQSDK_TRACE; trace_line is the line it prints for a call.
bool tracing();
std::string trace_line(Fn fn, const std::vector<Arg>& args);
void commit(Fn fn, std::vector<Arg>&& args);

// Set once a function has a delay (vqsim_set_delay), until the next reset.
extern std::atomic<bool> any_delay;
// Waits the delay set for `fn`, if any.
void pause(Fn fn);

// Records a call of `fn` with its arguments, if anyone is looking.
template <class... A>
void note(Fn fn, const A&... a) {
  if (any_delay.load(std::memory_order_relaxed)) pause(fn);
  if (!observing()) return;
  std::vector<Arg> args;
  args.reserve(sizeof...(A) + 1);
  (put(args, a), ...);
  commit(fn, std::move(args));
}

int status_of(Fn fn);

template <class... A>
int noted_status(Fn fn, const A&... a) {
  note(fn, a...);
  return status_of(fn);
}

// Fills the out-parameters of a request/response function; returns its status.
int respond(Fn fn, char** res, int* res_len);
// Text of a text function; `fallback` when none was set.  NULL when broken.
const char* text_of(Fn fn, const std::string& fallback);
// vqi_get_serv_addr's out-parameter and status.
int address(Fn fn, char** addr);

long long clock_now();
double clock_now_plus();

// Event loop.
void set_callback(vqi_event_callback_t callback);
int run_loop();
int poll_once();
void request_stop();

// ---- Internals shared with the control interface ----

struct Slot {
  bool has_status = false;
  int status = 0;
  std::shared_ptr<std::string> response;  // set by vqsim_set_response; null: empty
  std::shared_ptr<std::string> text;      // set by vqsim_set_text; null: the default
  std::shared_ptr<std::string> served;    // what the last call handed out (kept alive)
  int break_mode = 0;
  int break_length = 0;
  long long count = 0;  // recorded calls
  int delay_us = 0;     // vqsim_set_delay
};

struct Event {
  bool has_text = false;
  std::string text;
  bool has_data = false;
  std::string data;
  int count = 0;
  bool from_thread = false;  // delivered from a new native thread, joined
  bool on_market_data_thread = false;  // delivered by the SDK's market-data thread, waited for
};

Event make_event(const char* text, const char* data, int count);
// Calls the registered callback with `event`; false without one.
bool deliver(const Event& event);
// Runs `call` on the library's market-data thread (made at first use, in
// each process) and waits until it has returned.
void on_market_data_thread(const std::function<void()>& call);

struct State {
  std::mutex mutex;  // guards everything below that is not atomic
  Slot slots[kFunctionCount];
  std::vector<Call> calls;
  std::deque<Event> events;
  bool fixed_clock = false;
  long long now = 0;
  double now_plus = 0;

  std::atomic<bool> recording{true};
  std::atomic<bool> stop{false};
  std::condition_variable stopped;  // notified by vqi_stop, under the mutex
  std::atomic<int> run_depth{0};
  std::atomic<vqi_event_callback_t> callback{nullptr};
};

State& state();

// Writes the calls of `fn` (-1: all) as JSON.
std::string calls_json(const std::vector<Call>& calls, int fn, bool last_only);

}  // namespace vqsim

#endif  // VQSIM_STATE_H
