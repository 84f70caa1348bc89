// The mode in which the run loop lets go of the interpreter lock
// (CSDK_RUN_UNLOCKED=1, see sdkcall.h): what the event callback does on
// every event inline, the rest in unlocked.cpp.
//
// py_vqi_run and vqi_poll let go of the lock while they are inside the SDK,
// so other Python threads run meanwhile (and may call bindings, which keep
// the lock across their SDK calls).  Events are delivered at once, on the
// thread the SDK calls back on:
//
//   - on the run loop's thread, which takes the lock back for the callable;
//   - on a thread that holds the lock (inside a binding), as it is;
//   - on any other thread, with a thread state of that thread's own, made
//     at its first event and kept until it ends (or, for a Python thread
//     the SDK calls back on, its own).
//
// The callable runs on one thread at a time: a thread delivers only while
// it owns the delivery lock, which it takes before the interpreter lock and
// lets go after it.  Nobody waits for the delivery lock: a thread that finds
// it taken holds its event (a copy, in the default mode's queue) and
// returns to the SDK, and the owner delivers what was held before it lets
// go, checking again after it has (so nothing held is left behind).  A
// thread without the interpreter lock also holds its event while a binding
// is inside the SDK, lest it wait for the lock that binding keeps; the
// binding delivers it when its SDK call returns.  Each delivery delivers
// what is held first, so each thread's events arrive in the order it sent
// them, each once.  The owner may take the delivery lock again (a binding
// called from the callable whose SDK call delivers an event on that thread,
// or a run loop called from it).  Run-loop calls made outside the callable
// take the loop lock: a second one waits for the first, without the
// interpreter lock.  Both locks are the module's own, independent of the
// interpreter's.
//
// Shutdown: once it begins, events are dropped before they touch the
// interpreter; the exit delivery waits (without the interpreter lock) for
// the threads already delivering, so that no thread meets a finalizing
// interpreter inside the module.  A thread state made for an SDK thread is
// released when the thread ends, unless shutdown began (the interpreter
// frees it then).
#pragma once
#include <atomic>

#include "module/sdkcall.h"

namespace csdk {
namespace sdkcall {
namespace unlocked_mode {

#define CSDK_INLINE [[gnu::always_inline]] inline

CSDK_INLINE unsigned long this_thread() { return compat::this_thread_id(); }

// Who owns a lock, and how many times over: its owner may take it again.
// Nobody waits for it here; a forked child puts it right.  Constant
// initialised and trivially destructible: SDK threads may call back while
// the process exits.
class Ownership {
public:
    CSDK_INLINE bool owned_here() const { return owner_.load(std::memory_order_relaxed) == this_thread(); }
    CSDK_INLINE bool outermost() const { return depth_ == 1; }

    CSDK_INLINE bool try_acquire() {
        unsigned long me = this_thread();
        if (owner_.load(std::memory_order_relaxed) == me) {
            ++depth_;
            return true;
        }
        unsigned long expected = 0;
        if (!owner_.compare_exchange_strong(expected, me, std::memory_order_seq_cst)) return false;
        depth_ = 1;
        return true;
    }

    // True when the owner has let go of it.
    CSDK_INLINE bool release() {
        if (--depth_) return false;
        owner_.store(0, std::memory_order_seq_cst);
        return true;
    }

    void after_fork_child() {
        if (owned_here()) return;  // only the forking thread lives on
        owner_.store(0, std::memory_order_relaxed);
        depth_ = 0;
    }

protected:
    std::atomic<unsigned long> owner_{0};
    int depth_ = 0;  // the owner's
};

// The delivery lock: only its owner runs the callable.
extern Ownership delivery [[gnu::visibility("hidden")]];

// Threads between the start of an event (or of a thread state's release)
// and its end; the exit delivery waits for them.
extern std::atomic<int> in_flight [[gnu::visibility("hidden")]];
extern __thread int in_flight_here __attribute__((tls_model("initial-exec"), visibility("hidden")));
void wake_the_exit();

CSDK_INLINE bool enter() {
    if (in_flight_here++) return true;
    in_flight.fetch_add(1, std::memory_order_seq_cst);
    if (CSDK_LIKELY(!closed())) return true;
    in_flight_here = 0;
    in_flight.fetch_sub(1, std::memory_order_seq_cst);
    wake_the_exit();
    return false;
}

CSDK_INLINE void leave() {
    if (--in_flight_here) return;
    in_flight.fetch_sub(1, std::memory_order_seq_cst);
    if (CSDK_UNLIKELY(closed())) wake_the_exit();
}

// The thread state this thread let go of in a run-loop call, while it is
// inside the SDK.
extern __thread PyThreadState* released_here __attribute__((tls_model("initial-exec"), visibility("hidden")));

// Bindings waiting, without the interpreter lock, for a thread that wants it
// to have it (let_the_deliverer_in).
extern std::atomic<int> yielding [[gnu::visibility("hidden")]];
void wake_the_yielding();

// By the owner of the delivery lock, once it holds the interpreter lock or
// has given up on it.
CSDK_INLINE void no_longer_wanted() {
    gil_wanted.store(false, std::memory_order_seq_cst);
    if (CSDK_UNLIKELY(yielding.load(std::memory_order_seq_cst))) wake_the_yielding();
}

// Takes the interpreter lock on a thread that has none with a thread state
// of its own: a Python thread's (the SDK called back on it while it let go
// of the lock), or one made for this SDK thread at its first event.
void take_own_lock();

// ... or, on the run loop's thread, with the state it let go of.
CSDK_INLINE void take_lock(PyThreadState* released) {
    if (released) {
        PyEval_RestoreThread(released);
        released_here = nullptr;
    } else {
        take_own_lock();
    }
    no_longer_wanted();
}

CSDK_INLINE void let_go(PyThreadState* released) {
    released_here = released;
    PyEval_SaveThread();
}

// Whether a thread without the interpreter lock may deliver now: it owns the
// delivery lock, and no binding is inside the SDK (it would wait for the lock
// that binding keeps); if so, it wants the interpreter lock, and takes it.
CSDK_INLINE bool may_deliver() {
    if (locked_calls.load(std::memory_order_seq_cst) || !delivery.try_acquire()) return false;
    gil_wanted.store(true, std::memory_order_seq_cst);
    if (CSDK_LIKELY(!locked_calls.load(std::memory_order_seq_cst))) return true;
    no_longer_wanted();
    delivery.release();
    return false;
}

// Owning the delivery lock, and holding the interpreter: delivers what is
// held, then lets go of the delivery lock; again while something is held
// after that (a thread that found the lock taken held its event for the
// owner).  `bounded` (a binding's thread, which must return): once more at
// most.
void deliver_held_and_let_go(bool bounded);

// ... with a fast way out when nothing is held.
CSDK_INLINE void let_go_of_delivery(bool bounded) {
    if (CSDK_LIKELY(!any_held())) {
        if (!delivery.release() || CSDK_LIKELY(!any_held()) || !delivery.try_acquire()) return;
    }
    deliver_held_and_let_go(bounded);
}

// An event on a thread that holds the interpreter lock (inside a binding,
// or inside the callable).
void on_thread_holding_the_lock(const char* text, const char* data, int len);
// An event that finds another thread delivering, or a binding inside the
// SDK: held for them (after enter()).
void hold_for_the_deliverer(PyThreadState* released, const char* text, const char* data, int len);

#undef CSDK_INLINE

}  // namespace unlocked_mode
}  // namespace sdkcall
}  // namespace csdk
