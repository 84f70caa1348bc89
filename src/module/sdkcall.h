// What every call into the SDK does around it, and the events the SDK
// delivers on threads of its own.
//
// An SDK may call the event callback from a native thread of its own, at any
// moment: while the Python thread waits inside an SDK call, while it runs
// Python code, while it is inside the event callable itself, several threads
// at once.  Such a thread cannot run Python code while the Python thread
// does, so the bridge copies the event (no Python memory, no Python code on
// that thread) into one queue of held events, in arrival order, and returns
// to the SDK.  Held events are delivered on the thread that holds the
// interpreter, by the functions that call the SDK:
//
//   - when a binding or direct object starts, before it changes anything;
//   - after its SDK call returns, before it returns;
//   - from 3.12, before the bridge delivers an event on the Python thread
//     itself (up to 3.11 the next delivery at once takes them, below).
//
// A delivery takes the events held when it begins and no more, so threads
// that never stop cannot keep a binding from returning, and it does not
// nest: a binding called from the callable during a delivery leaves the
// held events to the delivery under way.
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
// the Leave bit once the SDK call has returned and its caller waits).
//
// Once interpreter shutdown begins, events from SDK threads are dropped.
#pragma once
#include <atomic>
#include <tuple>
#include <type_traits>

#include "module/compat.h"

namespace csdk {
namespace sdkcall {

// Delivers one event on the thread holding the interpreter; contains every
// failure (the event bridge, src/session/callback.cpp).
using EventSink = void (*)(const char* text, const char* data, int len);
extern const EventSink event_sink;
// Reports `n` events that were lost for want of memory to copy them.
using LossSink = void (*)(unsigned n);
extern const LossSink loss_sink;

// Makes events from SDK threads be dropped once interpreter shutdown begins,
// after the held ones are delivered; called by the module's exec step.
int deliver_held_at_exit();

// Set while events are held.  (Declared hidden, as the module's symbols
// all are, so that the test at every call is a single load of it.)
extern std::atomic<bool> held [[gnu::visibility("hidden")]];

// Set while held events are delivered, on whichever thread delivers them.
extern std::atomic<bool> delivering;

// Delivers the events held now, unless a delivery is under way; any pending
// exception is kept as it is.
void deliver_held();

// At the start of a binding, and after its SDK call has returned.
inline void deliver_held_if_any() {
    if (CSDK_UNLIKELY(held.load(std::memory_order_seq_cst))) deliver_held();
}

// Keeps a copy of an event delivered on a thread that cannot run Python code
// now; up to 3.11 delivers the held events at once if the Python caller
// waits inside the SDK.  Never runs Python code unless it delivers at once.
void hold(const char* text, const char* data, int len) noexcept;

// The parked state (used up to 3.11, compat::per_thread_state false).
enum : unsigned { Idle = 0, Parked = 1, Delivering = 2, Leave = 4 };
extern std::atomic<unsigned> state;

// Leaves the parked state that `seen` is not simply Parked: waits while an
// SDK thread delivers in the caller's place.  `ts` is the current thread
// state when the bridge leaves it for Python code (a thread that never
// parked may run while the delivering thread lets it), null when a binding
// that parked leaves it.  True when the caller had been parked.
bool leave_slow(unsigned seen, PyThreadState* ts);
// Whether the calling thread is the SDK thread delivering at once.
bool delivering_here();

// Around Python code that the bridge runs on the thread holding the
// interpreter, which may be parked inside an SDK call.
class PythonCode {
public:
    explicit PythonCode(PyThreadState* ts) {
        unsigned expected = Parked;
        was_parked_ = state.compare_exchange_strong(expected, Idle, std::memory_order_seq_cst) ||
                      (expected != Idle && leave_slow(expected, ts));
    }
    ~PythonCode() {
        if (was_parked_) state.store(Parked, std::memory_order_release);
    }
    PythonCode(const PythonCode&) = delete;
    PythonCode& operator=(const PythonCode&) = delete;

private:
    bool was_parked_;
};

// Around one SDK call: the caller is parked while it lasts (up to 3.11).
// While held events are delivered, an SDK call made from the callable does
// not park: nothing may overtake the events being delivered.
class ParkedCall {
public:
    ParkedCall() : parked_(!delivering.load(std::memory_order_relaxed)) {
        if (parked_) state.store(Parked, std::memory_order_release);
    }
    ~ParkedCall() {
        if (!parked_) return;
        unsigned expected = Parked;
        if (CSDK_UNLIKELY(!state.compare_exchange_strong(expected, Idle, std::memory_order_seq_cst)))
            leave_slow(expected, nullptr);
    }
    ParkedCall(const ParkedCall&) = delete;
    ParkedCall& operator=(const ParkedCall&) = delete;

private:
    bool parked_;
};
// From 3.12 there is no delivery at once, and nothing to do.
struct UnparkedCall {};
using Call = std::conditional_t<compat::per_thread_state, UnparkedCall, ParkedCall>;

// Calls the SDK function `fn` with `args` (a tuple), parked.
template <class Fn, class Tuple>
inline decltype(auto) call(Fn fn, Tuple& args) {
    [[maybe_unused]] Call parked;
    return std::apply(fn, args);
}

}  // namespace sdkcall
}  // namespace csdk
