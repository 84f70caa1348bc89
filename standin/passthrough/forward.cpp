// Forwarding to another SDK library, chosen when this library is loaded:
//   VQSDK_FORWARD=/path/libvqsdk.so   every SDK function calls that library's
//   VQSDK_RECORD=FILE                 ... and the session is written to FILE
//   VQSDK_RECORD_SECRETS=1            ... tokens, passwords and keys included
//   VQSDK_REPLAY=FILE                 answers come from FILE (replay.cpp)
// A setting that cannot be honoured stops the process at load, with the
// reason on stderr and exit status 2: running on against the wrong library,
// or unrecorded, would be worse.
#include <dlfcn.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "passthrough.h"
#include "recording.h"

namespace vqsim::pass {

namespace {

void* g_targets[kFunctionCount];
std::atomic<long long> g_seq{1};
bool g_recording = false;

[[noreturn]] void refuse(const std::string& message) {
  std::fprintf(stderr, "vqsdk: %s\n", message.c_str());
  std::fflush(nullptr);
  std::_Exit(2);
}

const char* setting(const char* name) {
  const char* value = std::getenv(name);
  return value && value[0] ? value : nullptr;
}

// Records the event, then hands it to the callback the caller registered.
void trampoline(const char* text, const char* data, int len) {
  if (g_recording) {
    rec::Record r;
    r.event = true;
    r.seq = g_seq.fetch_add(1);
    r.time_ns = now_ns();
    r.thread = rec::thread_id();
    r.has_text = text != nullptr;
    if (text) r.text = text;
    r.result.has_response = data != nullptr;
    if (data && len > 0) r.result.response.assign(data, static_cast<std::size_t>(len));
    r.count = len;
    rec::push(std::move(r));
  }
  if (vqi_event_callback_t callback = state().callback.load()) callback(text, data, len);
}

[[maybe_unused]] void load_target(const char* path) {
  char resolved[4096];
  std::string library = realpath(path, resolved) ? resolved : path;
  void* handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (!handle) refuse(std::string("cannot load VQSDK_FORWARD=") + path + ": " + dlerror());
  for (int fn = 0; fn < kFunctionCount; ++fn) {
    dlerror();
    g_targets[fn] = dlsym(handle, kFunctions[fn].name);
    if (!g_targets[fn]) {
      refuse(std::string("VQSDK_FORWARD=") + path + " has no SDK function " + kFunctions[fn].name +
             ": it is not an SDK library of this version");
    }
  }
  if (g_targets[FN_vqi_run] == reinterpret_cast<void*>(&::vqi_run)) {
    refuse(std::string("VQSDK_FORWARD=") + path + " is this library itself; name the SDK library to forward to");
  }
  g_pass_mode = PassMode::kForward;
  g_pass_reset = [] {
    if (g_recording) rec::flush();
  };
  const char* file = setting("VQSDK_RECORD");
  if (!file) return;
  const char* version = reinterpret_cast<const char* (*)()>(g_targets[FN_vqi_get_c_version])();
  const char* secrets = setting("VQSDK_RECORD_SECRETS");
  std::string error;
  if (!rec::start_recorder(file, library, version ? version : "", secrets && std::strcmp(secrets, "0") != 0,
                           error)) {
    refuse(std::string("cannot record to VQSDK_RECORD=") + file + ": " + error);
  }
  g_recording = true;
  std::atexit(rec::stop_recorder);
  // A forked child has no writer thread: it forwards without recording.
  pthread_atfork(nullptr, nullptr, [] { g_recording = false; });
}

__attribute__((constructor)) void initialise() {
#ifndef VQSIM_SECOND_COPY
  const char* forward = setting("VQSDK_FORWARD");
  const char* replay = setting("VQSDK_REPLAY");
  if (forward && replay) refuse("VQSDK_FORWARD and VQSDK_REPLAY exclude each other: forward, or replay");
  if (setting("VQSDK_RECORD") && !forward) {
    refuse("VQSDK_RECORD needs VQSDK_FORWARD, the SDK library whose session is recorded");
  }
  if (forward) load_target(forward);
  if (replay) start_replay(replay);
#endif
}

}  // namespace

long long now_ns() {
  using namespace std::chrono;
  return duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count();
}

void* target(Fn fn) { return g_targets[fn]; }

bool observed() { return g_recording || tracing(); }

long long begin_call(Fn fn, long long started_ns, const std::vector<Arg>& args) {
  if (tracing()) std::fputs(trace_line(fn, args).c_str(), stderr);
  if (!g_recording) return 0;
  long long seq = g_seq.fetch_add(1);
  if (fn == FN_vqi_run || fn == FN_vqi_poll) {
    // Written as it starts too: a session killed inside the loop keeps it.
    rec::Record r;
    r.finished = false;
    r.seq = seq;
    r.time_ns = started_ns;
    r.thread = rec::thread_id();
    r.fn = fn;
    r.args = args;
    rec::push(std::move(r));
  }
  return seq;
}

void end_call(Fn fn, long long seq, long long started_ns, std::vector<Arg>&& args, Result&& result) {
  if (!g_recording) return;
  rec::Record r;
  r.seq = seq;
  r.end_seq = g_seq.load();
  r.time_ns = started_ns;
  r.thread = rec::thread_id();
  r.fn = fn;
  r.args = std::move(args);
  r.result = std::move(result);
  rec::push(std::move(r));
}

void set_event_callback(vqi_event_callback_t callback) {
  if (g_pass_mode == PassMode::kReplay) {
    std::vector<Arg> args;
    put(args, callback);
    replay_call(FN_vqi_set_event_callback_pb, std::move(args));
    set_callback(callback);
    return;
  }
  set_callback(callback);
  auto real = reinterpret_cast<void (*)(vqi_event_callback_t)>(g_targets[FN_vqi_set_event_callback_pb]);
  vqi_event_callback_t handed = callback ? &trampoline : nullptr;
  if (!observed()) return real(handed);
  std::vector<Arg> args;
  put(args, callback);
  long long started = now_ns();
  long long seq = begin_call(FN_vqi_set_event_callback_pb, started, args);
  real(handed);
  end_call(FN_vqi_set_event_callback_pb, seq, started, std::move(args), Result{});
}

}  // namespace vqsim::pass

namespace vqsim {

template <Fn id, class R, class... A>
R Passed<id, R (*)(A...)>::call(A... a) {
  return pass::Call<id, R (*)(A...)>::call(a...);
}

// One for every SDK function: the simulated SDK calls them without seeing
// their definition.
#define VQSIM_PASSED(name) template struct Passed<FN_##name, decltype(&::name)>;
#define VQSIM_PASSED_OTHER(name, features) VQSIM_PASSED(name)
VQSIM_REQUEST_RESPONSE_FUNCTIONS(VQSIM_PASSED)
VQSIM_REQUEST_STATUS_FUNCTIONS(VQSIM_PASSED)
VQSIM_OTHER_FUNCTIONS(VQSIM_PASSED_OTHER)
#undef VQSIM_PASSED
#undef VQSIM_PASSED_OTHER

}  // namespace vqsim
