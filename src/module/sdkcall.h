// What every call into the SDK does around it, and the events the SDK
// delivers on threads of its own.
//
// An SDK may call the event callback from a native thread of its own, at any
// moment: while the Python thread waits inside an SDK call, while it runs
// Python code, while it is inside the event callable itself, several threads
// at once.  The module runs in one of two modes, chosen once at import by
// $CSDK_RUN_UNLOCKED.
//
// By default (unset or 0) every SDK call keeps the interpreter lock, the run
// loop included.  An SDK thread cannot run Python code while the Python
// thread does, so the bridge copies its event (no Python memory, no Python
// code on that thread) into one queue of held events, in arrival order, and
// returns to the SDK.  Held events are delivered on the thread that holds
// the interpreter, by the functions that call the SDK:
//
//   - when a binding or direct object starts, before it changes anything;
//   - after its SDK call returns, before it returns;
//   - before the bridge delivers an event on the Python thread itself.
//
// A delivery takes the events held when it begins and no more, so threads
// that never stop cannot keep a binding from returning, and it does not
// nest: a binding called from the callable during a delivery leaves the
// held events to the delivery under way.  The run loop (vqi_run, vqi_poll)
// is the exception: called from the callable, it delivers held events as
// any run does, the rest of the delivery under way first.
//
// Up to 3.11 (compat::per_thread_state false) the interpreter's current
// thread state is process-wide, and an SDK thread that calls back while the
// Python caller waits inside an SDK call made through this module delivers
// the held events at once, on its own thread, with the waiting caller's
// thread state.  One SDK thread does so at a time; the waiting caller does
// not return to Python code until it has finished.  A state word says when
// that is allowed: Idle while the thread holding the interpreter runs Python
// code (or calls the SDK through other means), Parked while it waits inside
// an SDK call, Delivering while an SDK thread delivers in its place (with
// the Leave bit once the SDK call has returned and its caller waits).  The
// parked thread knows itself by a flag of its own (parked_here), so that no
// thread ever reads a thread state it does not hold.
//
// With CSDK_RUN_UNLOCKED=1 the run loop lets go of the interpreter lock
// while it is inside the SDK (module/unlocked.cpp), and events from any
// thread are delivered at once, each taking the lock for its callable.
//
// Held events take at most $CSDK_HELD_EVENTS_MAX_BYTES of memory (256 MiB by
// default, 0 for no limit); events past it are dropped and counted, and the
// next delivery reports the count.  Once interpreter shutdown begins, events
// from SDK threads are dropped.  A forked child starts with no held events.
#pragma once
#include <atomic>
#include <cstddef>
#include <tuple>
#include <type_traits>

#include "module/compat.h"
#include "module/held.h"
#include "sdk/vqsdk.h"

namespace csdk {
namespace sdkcall {

// Delivers one event on the thread holding the interpreter; contains every
// failure (the event bridge, src/session/callback.cpp).
using EventSink = void (*)(const char* text, const char* data, int len);
extern const EventSink event_sink;
// Reports events that were lost: `lost` for want of memory to copy them,
// `dropped` past the limit of `limit` bytes on held events.
using LossSink = void (*)(unsigned long long lost, unsigned long long dropped, size_t limit);
extern const LossSink loss_sink;
// The callbacks handed to the SDK in each mode (callback.cpp).
extern "C" void callback_wrapper(const char* text, const char* data, int len);
extern "C" void callback_unlocked(const char* text, const char* data, int len);

// Reads the settings from the environment, registers the exit delivery and
// the fork handlers; called once by the module's exec step.  0, or -1 with
// ImportError set.
int init();

// The mode ($CSDK_RUN_UNLOCKED=1), fixed before any SDK call is made.
extern bool unlocked [[gnu::visibility("hidden")]];
inline vqi_event_callback_t event_callback() { return unlocked ? callback_unlocked : callback_wrapper; }

// The held events.  (Declared hidden, as the module's symbols all are, so
// that the test at every call is a single load.)
extern HeldEvents events [[gnu::visibility("hidden")]];
inline bool any_held() { return events.held.load(std::memory_order_seq_cst); }

// Bits of one word that every SDK call reads up to 3.11: Delivering while
// held events are delivered, on whichever thread delivers them; Unlocked in
// that mode, where no call parks.
enum : unsigned char { Delivering = 1, Unlocked = 2 };
extern std::atomic<unsigned char> flags [[gnu::visibility("hidden")]];
inline bool delivering() { return flags.load(std::memory_order_relaxed) & Delivering; }
inline void set_delivering(bool on) {
    unsigned char f = flags.load(std::memory_order_relaxed);
    flags.store(on ? f | Delivering : f & ~Delivering, std::memory_order_relaxed);
}

// Delivers the events held now, unless a delivery is under way; any pending
// exception is kept as it is.
void deliver_held();

// At the start of a binding, after its SDK call has returned, and before an
// event delivered on the thread holding the interpreter.
inline void deliver_held_if_any() {
    if (CSDK_UNLIKELY(any_held())) deliver_held();
}

// Keeps a copy of an event delivered on a thread that cannot run Python code
// now; up to 3.11 delivers the held events at once if the Python caller
// waits inside the SDK.  Never runs Python code unless it delivers at once.
void hold(const char* text, const char* data, int len) noexcept;

// The parked state (used up to 3.11, compat::per_thread_state false).
enum : unsigned { Idle = 0, Parked = 1, DeliveringAtOnce = 2, Leave = 4 };
extern std::atomic<unsigned> state;

// This thread is inside an SDK call made through the module, holds the
// interpreter and runs no Python code: it is the parked caller.  And this
// thread is the SDK thread delivering held events at once.  (Static TLS, read
// in one instruction.)
extern __thread bool parked_here __attribute__((tls_model("initial-exec"), visibility("hidden")));
extern __thread bool at_once_here __attribute__((tls_model("initial-exec"), visibility("hidden")));

// Leaves the parked state that `seen` is not simply Parked: waits while an
// SDK thread delivers in the caller's place.  `ts` is the current thread
// state when the bridge leaves it for Python code (a thread that never
// parked may run while the delivering thread lets it), null when a binding
// that parked leaves it.  True when the caller had been parked.
bool leave_slow(unsigned seen, PyThreadState* ts);

inline void park() {
    parked_here = true;
    state.store(Parked, std::memory_order_release);
}
inline void unpark() {
    unsigned expected = Parked;
    if (CSDK_UNLIKELY(!state.compare_exchange_strong(expected, Idle, std::memory_order_seq_cst)))
        leave_slow(expected, nullptr);
    parked_here = false;
}

// Around Python code that the bridge runs on the parked thread.
class PythonCode {
public:
    explicit PythonCode(PyThreadState* ts) {
        parked_here = false;
        unsigned expected = Parked;
        was_parked_ = state.compare_exchange_strong(expected, Idle, std::memory_order_seq_cst) ||
                      (expected != Idle && leave_slow(expected, ts));
    }
    ~PythonCode() {
        if (was_parked_) state.store(Parked, std::memory_order_release);
        parked_here = true;
    }
    PythonCode(const PythonCode&) = delete;
    PythonCode& operator=(const PythonCode&) = delete;

private:
    bool was_parked_;
};

// With CSDK_RUN_UNLOCKED=1: the SDK calls that keep the interpreter lock,
// in progress now.  A thread that is to deliver an event says that it
// wants the interpreter lock (gil_wanted) before it waits for it; it waits
// only while no such call is in progress, and a binding about to make one
// meanwhile first lets it in.  So no thread waits for the interpreter lock
// while a binding keeps it inside the SDK.
extern std::atomic<int> locked_calls [[gnu::visibility("hidden")]];
extern std::atomic<bool> gil_wanted [[gnu::visibility("hidden")]];
void let_the_deliverer_in();
inline void enter_locked_call() {
    locked_calls.fetch_add(1, std::memory_order_seq_cst);
    if (CSDK_UNLIKELY(gil_wanted.load(std::memory_order_seq_cst))) let_the_deliverer_in();
}
inline void leave_locked_call() { locked_calls.fetch_sub(1, std::memory_order_seq_cst); }

// Around one SDK call: the caller is parked while it lasts (up to 3.11).
// While held events are delivered, an SDK call made from the callable does
// not park: nothing may overtake the events being delivered.  In the
// unlocked mode nothing parks, and the call is counted.
class ParkedCall {
public:
    ParkedCall() : flags_(flags.load(std::memory_order_relaxed)) {
        if (!flags_) park();
        else if (flags_ & Unlocked) enter_locked_call();
    }
    ~ParkedCall() {
        if (!flags_) unpark();
        else if (flags_ & Unlocked) leave_locked_call();
    }
    ParkedCall(const ParkedCall&) = delete;
    ParkedCall& operator=(const ParkedCall&) = delete;

private:
    unsigned char flags_;
};
// From 3.12 there is no delivery at once: only the unlocked mode's count.
class UnparkedCall {
public:
    UnparkedCall() {
        if (CSDK_UNLIKELY(unlocked)) enter_locked_call();
    }
    ~UnparkedCall() {
        if (CSDK_UNLIKELY(unlocked)) leave_locked_call();
    }
    UnparkedCall(const UnparkedCall&) = delete;
    UnparkedCall& operator=(const UnparkedCall&) = delete;
};
using Call = std::conditional_t<compat::per_thread_state, UnparkedCall, ParkedCall>;

// Around a run-loop call in the default mode: a delivery under way, if
// any, is set aside, so that the loop delivers held events before its own
// (the rest of that delivery first), and up to 3.11 the caller parks, so
// that SDK threads deliver at once.  Not on the SDK thread that delivers at
// once (up to 3.11): it holds the interpreter in the parked caller's place,
// and nothing it calls may park, or another SDK thread would deliver with
// the same thread state; its loop leaves the held events to its delivery.
class LoopCall {
public:
    LoopCall() : delivering_(delivering()), aside_(!at_once_here) {
        if (!aside_) return;
        set_delivering(false);
        if constexpr (!compat::per_thread_state) park();
    }
    ~LoopCall() {
        if (!aside_) return;
        if constexpr (!compat::per_thread_state) unpark();
        set_delivering(delivering_);
    }
    LoopCall(const LoopCall&) = delete;
    LoopCall& operator=(const LoopCall&) = delete;

private:
    bool delivering_;
    bool aside_;
};

// Around a run-loop call with CSDK_RUN_UNLOCKED=1: lets go of the
// interpreter lock (unlocked.cpp).
class UnlockedLoopCall {
public:
    UnlockedLoopCall();
    ~UnlockedLoopCall();
    UnlockedLoopCall(const UnlockedLoopCall&) = delete;
    UnlockedLoopCall& operator=(const UnlockedLoopCall&) = delete;

private:
    PyThreadState* ts_;
    PyThreadState* outer_;
    bool nested_;
};

// The SDK's run loop: the SDK delivers events while inside these.
template <auto Fn>
inline constexpr bool is_loop = false;
template <>
inline constexpr bool is_loop<&vqi_run> = true;
template <>
inline constexpr bool is_loop<&vqi_poll> = true;

template <auto Fn, class Tuple>
[[gnu::noinline]] decltype(auto) call_unlocked(Tuple& args) {
    UnlockedLoopCall released;
    return std::apply(Fn, args);
}

// Calls the SDK function `Fn` with `args` (a tuple).
template <auto Fn, class Tuple>
inline decltype(auto) call(Tuple& args) {
    if constexpr (is_loop<Fn>) {
        if (CSDK_UNLIKELY(unlocked)) return call_unlocked<Fn>(args);
        LoopCall loop;
        return std::apply(Fn, args);
    } else {
        [[maybe_unused]] Call parked;
        return std::apply(Fn, args);
    }
}

// ---- internals shared with unlocked.cpp ----

// Delivers what is held now, after the rest of a delivery under way, on the
// thread holding the interpreter; any pending exception is kept.
void drain();
// deliver_held() and the exit delivery with CSDK_RUN_UNLOCKED=1.
void deliver_held_unlocked();
void exit_unlocked();
// Fork handlers of the unlocked mode's locks.
void unlocked_before_fork();
void unlocked_after_fork(bool child);
// Once interpreter shutdown begins.
inline bool closed() { return events.closed(); }

}  // namespace sdkcall
}  // namespace csdk
