#include "state.h"

#include "secrets.h"
#include "simulation.h"
#include "vqsim.h"

#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace vqsim {

namespace {

constexpr std::size_t kTraceBytes = 200;  // longer strings are cut in trace lines

bool trace_enabled() {
#ifdef VQSIM_SECOND_COPY
  return false;  // the copy behind a forwarding stand-in stays as quiet as a real SDK
#else
  static const bool enabled = [] {
    const char* value = std::getenv("VQSDK_TRACE");
    return value != nullptr && value[0] != '\0' && std::strcmp(value, "0") != 0;
  }();
  return enabled;
#endif
}

Arg make(Arg::Kind kind) {
  Arg arg;
  arg.kind = kind;
  return arg;
}

std::string format_double(double value) {
  char text[64];
  auto result = std::to_chars(text, text + sizeof text, value);
  return std::string(text, result.ptr);
}

void append_hex(std::string& out, const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
}

void append_quoted(std::string& out, const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  out += '"';
  std::size_t shown = bytes.size() < kTraceBytes ? bytes.size() : kTraceBytes;
  for (std::size_t k = 0; k < shown; ++k) {
    unsigned char c = static_cast<unsigned char>(bytes[k]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c >= 0x20 && c < 0x7f) {
      out += static_cast<char>(c);
    } else {
      out += "\\x";
      out += digits[c >> 4];
      out += digits[c & 15];
    }
  }
  out += '"';
  if (shown < bytes.size()) out += "...(" + std::to_string(bytes.size()) + " bytes)";
}

void append_trace_arg(std::string& out, const Arg& arg) {
  switch (arg.kind) {
    case Arg::Kind::Null: out += "NULL"; break;
    case Arg::Kind::Bytes: append_quoted(out, arg.bytes); break;
    case Arg::Kind::Int: out += std::to_string(arg.i); break;
    case Arg::Kind::Addr: {
      char text[32];
      std::snprintf(text, sizeof text, "0x%llx", arg.u);
      out += text;
      break;
    }
    case Arg::Kind::Float: out += format_double(arg.f); break;
    case Arg::Kind::Bool: out += arg.i ? "true" : "false"; break;
    case Arg::Kind::OutNull: out += "OUT_NULL"; break;
    case Arg::Kind::OutSet: out += "OUT_SET"; break;
    case Arg::Kind::OutLen: out += "OUT"; break;
  }
}

void append_json_arg(std::string& out, const Arg& arg) {
  switch (arg.kind) {
    case Arg::Kind::Null: out += "[\"n\"]"; break;
    case Arg::Kind::Bytes:
      out += "[\"b\",\"";
      append_hex(out, arg.bytes);
      out += "\"]";
      break;
    case Arg::Kind::Int: out += "[\"i\"," + std::to_string(arg.i) + "]"; break;
    case Arg::Kind::Addr: out += "[\"i\"," + std::to_string(arg.u) + "]"; break;
    case Arg::Kind::Float: out += "[\"f\",\"" + format_double(arg.f) + "\"]"; break;
    case Arg::Kind::Bool: out += arg.i ? "[\"t\",true]" : "[\"t\",false]"; break;
    case Arg::Kind::OutNull: out += "[\"on\"]"; break;
    case Arg::Kind::OutSet: out += "[\"os\"]"; break;
    case Arg::Kind::OutLen: out += "[\"m\"]"; break;
  }
}

const std::shared_ptr<std::string>& empty_response() {
  static const auto* empty = new std::shared_ptr<std::string>(std::make_shared<std::string>());
  return *empty;
}

}  // namespace

State& state() {
  // Never destroyed: the library may still be called while the process exits.
  static State* instance = new State;
  return *instance;
}

// ---- Recording ----

void put(std::vector<Arg>& args, const char* text) {
  Arg arg = make(text ? Arg::Kind::Bytes : Arg::Kind::Null);
  if (text) arg.bytes = text;
  args.push_back(std::move(arg));
}

void put(std::vector<Arg>& args, Buffer buffer) {
  Arg arg = make(buffer.data ? Arg::Kind::Bytes : Arg::Kind::Null);
  if (buffer.data && buffer.len > 0) arg.bytes.assign(buffer.data, static_cast<std::size_t>(buffer.len));
  args.push_back(std::move(arg));
  put(args, buffer.len);
}

void put(std::vector<Arg>& args, int value) {
  Arg arg = make(Arg::Kind::Int);
  arg.i = value;
  args.push_back(std::move(arg));
}

void put(std::vector<Arg>& args, double value) {
  Arg arg = make(Arg::Kind::Float);
  arg.f = value;
  args.push_back(std::move(arg));
}

void put(std::vector<Arg>& args, bool value) {
  Arg arg = make(Arg::Kind::Bool);
  arg.i = value ? 1 : 0;
  args.push_back(std::move(arg));
}

void put(std::vector<Arg>& args, const void* pointer) {
  Arg arg = make(Arg::Kind::Addr);
  arg.u = reinterpret_cast<std::uintptr_t>(pointer);
  args.push_back(std::move(arg));
}

void put(std::vector<Arg>& args, vqi_event_callback_t callback) {
  Arg arg = make(Arg::Kind::Addr);
  arg.u = reinterpret_cast<std::uintptr_t>(callback);
  args.push_back(std::move(arg));
}

void put(std::vector<Arg>& args, char** out) {
  args.push_back(make(!out ? Arg::Kind::Null : *out ? Arg::Kind::OutSet : Arg::Kind::OutNull));
}

void put(std::vector<Arg>& args, int* out_len) {
  args.push_back(make(out_len ? Arg::Kind::OutLen : Arg::Kind::Null));
}

bool tracing() { return trace_enabled(); }

std::string trace_line(Fn fn, const std::vector<Arg>& args) {
  // The same secrets left out as in a recording.
  const unsigned secret = secrets_shown() ? 0 : secret_arguments(fn);
  const unsigned address = secrets_shown() ? 0 : address_arguments(fn);
  std::string line = "vqsdk: ";
  line += kFunctions[fn].name;
  line += '(';
  std::string masked;
  for (std::size_t k = 0; k < args.size(); ++k) {
    if (k) line += ", ";
    const unsigned bit = k < 32 ? 1u << k : 0;
    if (secret & bit) {
      line += kSecret;
    } else if ((address & bit) && args[k].kind == Arg::Kind::Bytes &&
               mask_addresses(args[k].bytes.data(), args[k].bytes.size(), masked)) {
      append_quoted(line, masked);
    } else {
      append_trace_arg(line, args[k]);
    }
  }
  line += ")\n";
  return line;
}

std::atomic<bool> any_delay{false};

void pause(Fn fn) {
  State& s = state();
  int delay;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    delay = s.slots[fn].delay_us;
  }
  if (delay <= 0) return;
  if (fn != FN_vqi_run && fn != FN_vqi_poll) return std::this_thread::sleep_for(std::chrono::microseconds(delay));
  // The run loop waits as a network SDK's does, until the time is up or
  // vqi_stop is called (from any thread).
  std::unique_lock<std::mutex> lock(s.mutex);
  s.stopped.wait_for(lock, std::chrono::microseconds(delay), [&s] { return s.stop.load(); });
}

bool observing() {
  return trace_enabled() || state().recording.load(std::memory_order_relaxed);
}

void commit(Fn fn, std::vector<Arg>&& args) {
  State& s = state();
  if (trace_enabled()) std::fputs(trace_line(fn, args).c_str(), stderr);
  if (!s.recording.load(std::memory_order_relaxed)) return;
  std::lock_guard<std::mutex> lock(s.mutex);
  s.slots[fn].count++;
  s.calls.push_back(Call{fn, std::move(args)});
}

std::string calls_json(const std::vector<Call>& calls, int fn, bool last_only) {
  std::size_t first = 0;
  if (last_only) {
    first = calls.size();
    for (std::size_t k = calls.size(); k-- > 0;) {
      if (fn < 0 || calls[k].fn == fn) {
        first = k;
        break;
      }
    }
  }
  std::string out = "[";
  bool any = false;
  for (std::size_t k = first; k < calls.size(); ++k) {
    const Call& call = calls[k];
    if (fn >= 0 && call.fn != fn) continue;
    if (any) out += ',';
    any = true;
    out += "{\"fn\":\"";
    out += kFunctions[call.fn].name;
    out += "\",\"args\":[";
    for (std::size_t a = 0; a < call.args.size(); ++a) {
      if (a) out += ',';
      append_json_arg(out, call.args[a]);
    }
    out += "]}";
    if (last_only) break;
  }
  out += ']';
  return out;
}

// ---- Results ----

int status_of(Fn fn) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.slots[fn].status;
}

int respond(Fn fn, char** res, int* res_len) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  Slot& slot = s.slots[fn];
  slot.served = slot.response ? slot.response : empty_response();
  char* data = slot.served->data();
  int len = static_cast<int>(slot.served->size());
  int status = slot.status;
  if (slot.break_mode == VQSIM_BREAK_NULL_RESPONSE) {
    data = nullptr;
    len = slot.break_length;
    status = 0;
  } else if (slot.break_mode == VQSIM_BREAK_NEGATIVE_LENGTH) {
    len = slot.break_length;
    status = 0;
  }
  if (res) *res = data;
  if (res_len) *res_len = len;
  return status;
}

const char* text_of(Fn fn, const std::string& fallback) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  Slot& slot = s.slots[fn];
  if (slot.break_mode == VQSIM_BREAK_NULL_TEXT) return nullptr;
  slot.served = slot.text ? slot.text : std::make_shared<std::string>(fallback);
  return slot.served->c_str();
}

int address(Fn fn, char** addr) {
  const char* text = text_of(fn, "127.0.0.1:7100");
  if (addr) *addr = const_cast<char*>(text);
  return text ? status_of(fn) : 0;
}

long long clock_now() {
  State& s = state();
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.fixed_clock) return s.now;
  }
  long long simulated;
  if (sim::clock_ms(simulated)) return simulated;
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

double clock_now_plus() {
  State& s = state();
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.fixed_clock) return s.now_plus;
  }
  long long simulated;
  if (sim::clock_ms(simulated)) return static_cast<double>(simulated) / 1000.0;
  using namespace std::chrono;
  return duration<double>(system_clock::now().time_since_epoch()).count();
}

// ---- Events ----
// The lock is never held while a callback runs: callbacks may call back into
// the library, including vqi_run, vqi_poll and the control interface.

Event make_event(const char* text, const char* data, int count) {
  Event event;
  event.has_text = text != nullptr;
  if (text) event.text = text;
  event.has_data = data != nullptr;
  if (data && count > 0) event.data.assign(data, static_cast<std::size_t>(count));
  event.count = count;
  return event;
}

bool deliver(const Event& event) {
  vqi_event_callback_t callback = state().callback.load();
  if (!callback) return false;
  sim::delivered(event.has_text ? event.text.c_str() : nullptr);
  auto call = [&event, callback] {
    callback(event.has_text ? event.text.c_str() : nullptr, event.has_data ? event.data.data() : nullptr,
             event.count);
  };
  if (event.on_market_data_thread) {
    on_market_data_thread(call);
  } else if (event.from_thread) {
    // As an SDK with threads of its own may: the caller waits inside the SDK.
    std::thread thread(call);
    thread.join();
  } else {
    call();
  }
  return true;
}

namespace {

bool take_event(Event& event) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (s.events.empty()) return false;
  event = std::move(s.events.front());
  s.events.pop_front();
  return true;
}

// Queued events first; when none is left, a simulated session makes the next
// ones, until it has finished.
bool next_event(Event& event) {
  while (!take_event(event)) {
    if (!sim::advance()) return false;
  }
  return true;
}

}  // namespace

void set_callback(vqi_event_callback_t callback) { state().callback.store(callback); }

int run_loop() {
  State& s = state();
  s.run_depth++;
  Event event;
  while (!s.stop.load() && next_event(event)) deliver(event);
  // A stop ends every nested loop; the outermost one clears it for the next run.
  if (--s.run_depth == 0) s.stop.store(false);
  return status_of(FN_vqi_run);
}

int poll_once() {
  Event event;
  bool taken = next_event(event);
  if (taken) deliver(event);
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  const Slot& slot = s.slots[FN_vqi_poll];
  return slot.has_status ? slot.status : (taken ? 1 : 0);
}

void request_stop() {
  State& s = state();
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    s.stop.store(true);
  }
  s.stopped.notify_all();
}

}  // namespace vqsim
