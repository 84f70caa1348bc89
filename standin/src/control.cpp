// The vqsim_ control interface and the function table it names functions by.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "passing.h"
#include "simulation.h"
#include "state.h"
#include "vqsim.h"

namespace vqsim {

#define VQSIM_INFO_OF_REQUEST_RESPONSE(name) {#name, kStatus | kResponse},
#define VQSIM_INFO_OF_REQUEST_STATUS(name) {#name, kStatus},
#define VQSIM_INFO_OF_OTHER(name, features) {#name, features},
const FunctionInfo kFunctions[kFunctionCount] = {
    VQSIM_REQUEST_RESPONSE_FUNCTIONS(VQSIM_INFO_OF_REQUEST_RESPONSE)
    VQSIM_REQUEST_STATUS_FUNCTIONS(VQSIM_INFO_OF_REQUEST_STATUS)
    VQSIM_OTHER_FUNCTIONS(VQSIM_INFO_OF_OTHER)};
#undef VQSIM_INFO_OF_REQUEST_RESPONSE
#undef VQSIM_INFO_OF_REQUEST_STATUS
#undef VQSIM_INFO_OF_OTHER

void (*g_pass_reset)() = nullptr;

int find_function(const char* name) {
  if (!name) return -1;
  for (int fn = 0; fn < kFunctionCount; ++fn) {
    if (std::strcmp(kFunctions[fn].name, name) == 0) return fn;
  }
  return -1;
}

namespace {

// Looks `name` up and checks it has `feature`; returns the id or a VQSIM_ error.
int lookup(const char* name, unsigned feature) {
  int fn = find_function(name);
  if (fn < 0) return VQSIM_UNKNOWN_FUNCTION;
  if ((kFunctions[fn].features & feature) != feature) return VQSIM_NOT_APPLICABLE;
  return fn;
}

// While forwarding, the forwarded library answers every call: the
// stand-in's own simulation and scripting controls change nothing, and the
// first one called says so, once.
bool ignored(const char* control) {
  if (!forwarding()) return false;
  static std::atomic<bool> warned{false};
  if (!warned.exchange(true)) {
    std::fprintf(stderr,
                 "vqsdk: %s changes nothing while forwarding (VQSDK_FORWARD): the forwarded SDK library answers "
                 "every call; the stand-in's simulation and scripting controls are ignored\n",
                 control);
  }
  return true;
}

}  // namespace

}  // namespace vqsim

using namespace vqsim;

extern "C" void vqsim_reset(void) {
  vqsim_join_threads(1);
  if (g_pass_reset) g_pass_reset();
  sim::reset();
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  for (Slot& slot : s.slots) {
    // `served` stays: what was handed out remains valid until the next call.
    slot.has_status = false;
    slot.status = 0;
    slot.response.reset();
    slot.text.reset();
    slot.break_mode = VQSIM_BREAK_NONE;
    slot.break_length = 0;
    slot.count = 0;
    slot.delay_us = 0;
  }
  any_delay.store(false);
  s.calls.clear();
  s.events.clear();
  s.fixed_clock = false;
  s.recording.store(true);
  s.stop.store(false);
}

extern "C" void vqsim_set_recording(int on) { state().recording.store(on != 0); }

extern "C" void vqsim_clear_calls(void) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.calls.clear();
  for (Slot& slot : s.slots) slot.count = 0;
}

extern "C" long long vqsim_call_count(const char* fn) {
  int id = fn ? lookup(fn, kNone) : -1;
  if (fn && id < 0) return id;
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  return id < 0 ? static_cast<long long>(s.calls.size()) : s.slots[id].count;
}

extern "C" const char* vqsim_calls_json(const char* fn, int last_only) {
  int id = fn ? lookup(fn, kNone) : -1;
  if (fn && id < 0) return nullptr;
  thread_local std::string text;
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  text = calls_json(s.calls, id, last_only != 0);
  return text.c_str();
}

extern "C" int vqsim_set_status(const char* fn, int status) {
  if (ignored("vqsim_set_status")) return VQSIM_OK;
  int id = lookup(fn, kStatus);
  if (id < 0) return id;
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.slots[id].has_status = true;
  s.slots[id].status = status;
  return VQSIM_OK;
}

extern "C" int vqsim_set_response(const char* fn, const char* data, int len) {
  if (ignored("vqsim_set_response")) return VQSIM_OK;
  int id = lookup(fn, kResponse);
  if (id < 0) return id;
  if (len < 0 || (!data && len > 0)) return VQSIM_INVALID_ARGUMENT;
  auto response = std::make_shared<std::string>();
  if (len > 0) response->assign(data, static_cast<std::size_t>(len));
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.slots[id].response = std::move(response);
  return VQSIM_OK;
}

extern "C" int vqsim_set_text(const char* fn, const char* text) {
  if (ignored("vqsim_set_text")) return VQSIM_OK;
  int id = lookup(fn, kText);
  if (id < 0) return id;
  std::shared_ptr<std::string> copy;
  if (text) copy = std::make_shared<std::string>(text);
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.slots[id].text = std::move(copy);
  return VQSIM_OK;
}

extern "C" void vqsim_set_clock(long long now, double now_plus) {
  if (ignored("vqsim_set_clock")) return;
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.fixed_clock = true;
  s.now = now;
  s.now_plus = now_plus;
}

extern "C" void vqsim_use_wall_clock(void) {
  if (ignored("vqsim_use_wall_clock")) return;
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.fixed_clock = false;
}

extern "C" void vqsim_queue_event(const char* text, const char* data, int count) {
  if (ignored("vqsim_queue_event")) return;
  Event event = make_event(text, data, count);
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.events.push_back(std::move(event));
}

extern "C" void vqsim_queue_thread_event(const char* text, const char* data, int count) {
  if (ignored("vqsim_queue_thread_event")) return;
  Event event = make_event(text, data, count);
  event.from_thread = true;
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.events.push_back(std::move(event));
}

extern "C" int vqsim_fire_event(const char* text, const char* data, int count) {
  if (ignored("vqsim_fire_event")) return 0;
  return deliver(make_event(text, data, count)) ? 1 : 0;
}

extern "C" int vqsim_pending_events(void) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  return static_cast<int>(s.events.size());
}

extern "C" int vqsim_set_delay(const char* fn, int microseconds) {
  if (ignored("vqsim_set_delay")) return VQSIM_OK;
  int id = lookup(fn, kNone);
  if (id < 0) return id;
  if (microseconds < 0) return VQSIM_INVALID_ARGUMENT;
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.slots[id].delay_us = microseconds;
  if (microseconds > 0) any_delay.store(true);
  return VQSIM_OK;
}

extern "C" int vqsim_break(const char* fn, int mode, int length) {
  if (ignored("vqsim_break")) return VQSIM_OK;
  if (find_function(fn) < 0) return VQSIM_UNKNOWN_FUNCTION;
  unsigned feature = kNone;
  switch (mode) {
    case VQSIM_BREAK_NONE: break;
    case VQSIM_BREAK_NULL_RESPONSE:
      if (length <= 0) return VQSIM_INVALID_ARGUMENT;
      feature = kResponse;
      break;
    case VQSIM_BREAK_NEGATIVE_LENGTH:
      if (length >= 0) return VQSIM_INVALID_ARGUMENT;
      feature = kResponse;
      break;
    case VQSIM_BREAK_NULL_TEXT: feature = kText; break;
    default: return VQSIM_INVALID_ARGUMENT;
  }
  int id = lookup(fn, feature);
  if (id < 0) return id;
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.slots[id].break_mode = mode;
  s.slots[id].break_length = mode == VQSIM_BREAK_NULL_TEXT ? 0 : length;
  return VQSIM_OK;
}

extern "C" unsigned long long vqsim_callback_address(void) {
  return reinterpret_cast<std::uintptr_t>(state().callback.load());
}

extern "C" int vqsim_simulate(const char* config) {
  if (ignored("vqsim_simulate")) return VQSIM_OK;
  return sim::simulate(config);
}

extern "C" int vqsim_ignored(const char* control) { return control && ignored(control) ? 1 : 0; }

extern "C" int vqsim_simulating(void) { return sim::active() ? 1 : 0; }

extern "C" const char* vqsim_simulation_report(void) {
  thread_local std::string text;
  text = sim::report_json();
  return text.c_str();
}
