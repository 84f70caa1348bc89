// Forwarding to another SDK library, chosen when this library is loaded:
//   VQSDK_FORWARD=/path/libvqsdk.so   every SDK function calls that library's
//   VQSDK_RECORD=FILE                 ... and the session is written to FILE
//   VQSDK_RECORD_SECRETS=1            ... tokens, passwords and keys included
//   VQSDK_REPLAY=FILE                 answers come from FILE (replay.cpp)
// A setting that cannot be honoured stops the process at load, with the
// reason on stderr and exit status 2: running on against the wrong library,
// or unrecorded, would be worse.
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

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

// ---- Ending on SIGTERM and SIGHUP ----
// The handler hands the signal to a thread of its own, which writes out
// everything already called and ends the recording, then puts the previous
// disposition back and sends the signal again, so it takes its course.  The
// thread that took the signal waits meanwhile (unless it was inside the
// recorder), so it calls nothing more.  Installed only where the
// disposition is still the default: a host that handles or ignores one of
// them keeps it, and writes the recording out when it exits.

constexpr int kEndSignals[] = {SIGTERM, SIGHUP};
struct sigaction g_previous[2];
bool g_installed[2];
int g_signalled[2] = {-1, -1};  // the handler to the ending thread
int g_ended[2] = {-1, -1};      // the ending thread to the waiting handlers
pid_t g_recording_pid = 0;

int signal_index(int sig) { return sig == SIGTERM ? 0 : 1; }

void restore_signals() {
  for (int sig : kEndSignals) {
    if (g_installed[signal_index(sig)]) sigaction(sig, &g_previous[signal_index(sig)], nullptr);
  }
}

void on_end_signal(int sig) {
  int saved = errno;
  if (getpid() != g_recording_pid) {
    // A child between fork and exec: the signal is its own.
    restore_signals();
    raise(sig);
  } else {
    unsigned char byte = static_cast<unsigned char>(sig);
    if (write(g_signalled[1], &byte, 1) == 1 && !rec::in_recorder()) {
      pollfd ended{g_ended[0], POLLIN, 0};
      while (poll(&ended, 1, 10000) < 0 && errno == EINTR) {
      }
    }
  }
  errno = saved;
}

void end_on_signal() {
  unsigned char byte = 0;
  ssize_t n;
  while ((n = read(g_signalled[0], &byte, 1)) < 0 && errno == EINTR) {
  }
  if (n != 1) return;
  rec::stop_recorder(byte == SIGTERM ? "SIGTERM" : "SIGHUP", g_seq.load());
  restore_signals();
  if (write(g_ended[1], &byte, 1) < 0) {
    // The handlers time out.
  }
  kill(getpid(), byte);
}

void end_on_signals() {
  if (pipe2(g_signalled, O_CLOEXEC) != 0 || pipe2(g_ended, O_CLOEXEC) != 0) return;
  g_recording_pid = getpid();
  struct sigaction action {};
  action.sa_handler = on_end_signal;
  sigemptyset(&action.sa_mask);
  for (int sig : kEndSignals) sigaddset(&action.sa_mask, sig);
  for (int sig : kEndSignals) {
    struct sigaction& previous = g_previous[signal_index(sig)];
    if (sigaction(sig, nullptr, &previous) != 0 || (previous.sa_flags & SA_SIGINFO) ||
        previous.sa_handler != SIG_DFL)
      continue;
    g_installed[signal_index(sig)] = sigaction(sig, &action, nullptr) == 0;
  }
  sigset_t all, before;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &before);
  std::thread(end_on_signal).detach();
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
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
  std::string error;
  if (!rec::start_recorder(file, library, version ? version : "", secrets_shown(), error)) {
    refuse(std::string("cannot record to VQSDK_RECORD=") + file + ": " + error);
  }
  g_recording = true;
  std::atexit([] { rec::stop_recorder("exit", g_seq.load()); });
  end_on_signals();
  // A forked child has no writer thread: it forwards without recording.
  pthread_atfork(nullptr, nullptr, [] {
    g_recording = false;
    restore_signals();
  });
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
