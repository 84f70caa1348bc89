// Passing SDK calls on instead of answering them: forwarding every call to
// another SDK library ($VQSDK_FORWARD), writing the session down while doing
// so ($VQSDK_RECORD, record.cpp), or answering from such a recording
// ($VQSDK_REPLAY, replay.cpp).  The mode is decided once, when the library is
// loaded; every exported SDK function of the simulated SDK starts with
// VQSIM_PASS (passing.h), which calls Passed<>::call, defined here, when a
// mode is on.
#ifndef VQSIM_PASSTHROUGH_H
#define VQSIM_PASSTHROUGH_H

#include <cstddef>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "passing.h"
#include "state.h"
#include "vqsdk.h"

namespace vqsim::pass {

// What a call handed back: its return value, and the response bytes (or the
// text, or the address) it gave out.  has_response false: a NULL pointer.
struct Result {
  bool has_ret = false;
  long long ret = 0;
  bool has_real = false;
  double real = 0;
  bool has_response = false;
  std::string response;
  bool has_len = false;
  long long response_len = 0;
};

// ---- Forwarding (forward.cpp) ----

// The forwarded library's `fn`.
void* target(Fn fn);
// True when a forwarded call must be traced or recorded.
bool observed();
// Traces a forwarded call as it starts; its sequence number when recording.
long long begin_call(Fn fn, long long started_ns, const std::vector<Arg>& args);
// Records a forwarded call that has returned.
void end_call(Fn fn, long long seq, long long started_ns, std::vector<Arg>&& args, Result&& result);
long long now_ns();
// vqi_set_event_callback_pb in either mode.
void set_event_callback(vqi_event_callback_t callback);

// ---- Replay (replay.cpp) ----

// Opens the recording at load time; stops the process if it cannot be replayed.
void start_replay(const char* path);

// The recorded answer to this call; reports the first difference and
// delivers the recorded events that belong to the call.
Result replay_call(Fn fn, std::vector<Arg>&& args);
// Keeps `result`'s response alive until the next call of `fn`; its address,
// or NULL when the recorded pointer was NULL.
char* keep(Fn fn, const Result& result);

// ---- Arguments and results, derived from the C prototype ----

template <class T>
constexpr bool is_text = std::is_same_v<T, char*> || std::is_same_v<T, const char*>;

// True when element I of Tuple exists and is a T.
template <std::size_t I, class Tuple, class T>
constexpr bool element_is() {
  if constexpr (I < std::tuple_size_v<Tuple>) {
    return std::is_same_v<std::tuple_element_t<I, Tuple>, T>;
  } else {
    return false;
  }
}

// A request buffer is a char* followed by its int length; everything else is
// one argument of its own, as the stand-in records it.
template <std::size_t I, class Tuple>
void put_args(std::vector<Arg>& out, const Tuple& t) {
  constexpr std::size_t n = std::tuple_size_v<Tuple>;
  if constexpr (I < n) {
    using T = std::tuple_element_t<I, Tuple>;
    if constexpr (is_text<T> && element_is<I + 1, Tuple, int>()) {
      put(out, Buffer{std::get<I>(t), std::get<I + 1>(t)});
      put_args<I + 2>(out, t);
    } else if constexpr (std::is_same_v<T, char*>) {
      put(out, static_cast<const char*>(std::get<I>(t)));
    } else if constexpr (std::is_same_v<T, void*>) {
      put(out, static_cast<const void*>(std::get<I>(t)));
    } else {
      put(out, std::get<I>(t));
    }
    if constexpr (!(is_text<T> && element_is<I + 1, Tuple, int>())) put_args<I + 1>(out, t);
  }
}

// Reads the out-parameters a forwarded call filled in: a char** followed by
// an int* is a response, a char** alone an address.
template <std::size_t I, class Tuple>
void take_outputs(Result& r, const Tuple& t) {
  constexpr std::size_t n = std::tuple_size_v<Tuple>;
  if constexpr (I < n) {
    if constexpr (std::is_same_v<std::tuple_element_t<I, Tuple>, char**>) {
      char** out = std::get<I>(t);
      r.has_response = out && *out;
      if constexpr (element_is<I + 1, Tuple, int*>()) {
        int* len = std::get<I + 1>(t);
        r.has_len = len != nullptr;
        r.response_len = len ? *len : 0;
        if (r.has_response && r.response_len > 0) r.response.assign(*out, static_cast<std::size_t>(r.response_len));
      } else if (r.has_response) {
        r.response = *out;
      }
    }
    take_outputs<I + 1>(r, t);
  }
}

// Fills the out-parameters from a replayed result.
template <std::size_t I, class Tuple>
void give_outputs(Fn fn, const Result& r, const Tuple& t) {
  constexpr std::size_t n = std::tuple_size_v<Tuple>;
  if constexpr (I < n) {
    if constexpr (std::is_same_v<std::tuple_element_t<I, Tuple>, char**>) {
      char* data = keep(fn, r);
      if (char** out = std::get<I>(t)) *out = data;
      if constexpr (element_is<I + 1, Tuple, int*>()) {
        if (int* len = std::get<I + 1>(t)) *len = static_cast<int>(r.response_len);
      }
    }
    give_outputs<I + 1>(fn, r, t);
  }
}

template <class R>
void take_return(Result& r, R value) {
  if constexpr (std::is_same_v<R, double>) {
    r.has_real = true;
    r.real = value;
  } else if constexpr (std::is_same_v<R, const char*>) {
    r.has_response = value != nullptr;
    if (value) r.response = value;
  } else {
    r.has_ret = true;
    r.ret = value;
  }
}

template <class R>
R give_return(Fn fn, const Result& r) {
  if constexpr (std::is_same_v<R, double>) {
    return r.real;
  } else if constexpr (std::is_same_v<R, const char*>) {
    return keep(fn, r);
  } else {
    return static_cast<R>(r.ret);
  }
}

template <Fn id, class F>
struct Call;

template <Fn id, class R, class... A>
struct Call<id, R (*)(A...)> {
  static R forward(A... a) {
    auto real = reinterpret_cast<R (*)(A...)>(target(id));
    if (!observed()) return real(a...);
    std::tuple<A...> t(a...);
    std::vector<Arg> args;
    args.reserve(sizeof...(A) + 1);
    put_args<0>(args, t);
    long long started = now_ns();
    long long seq = begin_call(id, started, args);
    Result result;
    if constexpr (std::is_void_v<R>) {
      real(a...);
      end_call(id, seq, started, std::move(args), std::move(result));
    } else {
      R value = real(a...);
      take_return(result, value);
      take_outputs<0>(result, t);
      end_call(id, seq, started, std::move(args), std::move(result));
      return value;
    }
  }

  static R replay(A... a) {
    std::tuple<A...> t(a...);
    std::vector<Arg> args;
    args.reserve(sizeof...(A) + 1);
    put_args<0>(args, t);
    Result result = replay_call(id, std::move(args));
    if constexpr (!std::is_void_v<R>) {
      give_outputs<0>(id, result, t);
      return give_return<R>(id, result);
    }
  }

  static R call(A... a) {
    if constexpr (id == FN_vqi_set_event_callback_pb) {
      return set_event_callback(a...);  // the callback is handed on through a trampoline
    } else {
      return forwarding() ? forward(a...) : replay(a...);
    }
  }
};

}  // namespace vqsim::pass

#endif  // VQSIM_PASSTHROUGH_H
