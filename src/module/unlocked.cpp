// The mode in which the run loop lets go of the interpreter lock
// (CSDK_RUN_UNLOCKED=1, see sdkcall.h).
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
#include <condition_variable>
#include <mutex>
#include <new>

#include "module/sdkcall.h"

namespace csdk {
namespace sdkcall {

namespace {

unsigned long this_thread() { return compat::this_thread_id(); }

// A lock that its owner may take again, whose owner can be told, and that a
// forked child can put right.  The mutex is held only for moments.
class OwnedLock {
public:
    bool owned_here() const { return owner_.load(std::memory_order_relaxed) == this_thread(); }

    bool try_acquire() {
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

    // Waits for the lock; the caller holds no interpreter lock.
    void acquire() {
        if (try_acquire()) return;
        unsigned long me = this_thread();
        std::unique_lock<std::mutex> lock(mutex_);
        waiters_.fetch_add(1, std::memory_order_seq_cst);
        for (;;) {
            unsigned long expected = 0;
            if (owner_.compare_exchange_strong(expected, me, std::memory_order_seq_cst)) break;
            cv().wait(lock);
        }
        waiters_.fetch_sub(1, std::memory_order_seq_cst);
        depth_ = 1;
    }

    bool outermost() const { return depth_ == 1; }

    void release() {
        if (--depth_) return;
        owner_.store(0, std::memory_order_seq_cst);
        if (waiters_.load(std::memory_order_seq_cst)) {
            { std::lock_guard<std::mutex> lock(mutex_); }
            cv().notify_all();
        }
    }

    void before_fork() { mutex_.lock(); }
    void after_fork(bool child) {
        if (child) {
            // Only the forking thread lives on.
            if (!owned_here()) {
                owner_.store(0, std::memory_order_relaxed);
                depth_ = 0;
            }
            waiters_.store(0, std::memory_order_relaxed);
            new (cv_storage_) std::condition_variable;
        }
        mutex_.unlock();
    }

    OwnedLock() { new (cv_storage_) std::condition_variable; }

private:
    std::condition_variable& cv() { return *std::launder(reinterpret_cast<std::condition_variable*>(cv_storage_)); }

    std::atomic<unsigned long> owner_{0};
    int depth_ = 0;  // the owner's
    std::atomic<int> waiters_{0};
    std::mutex mutex_;
    alignas(std::condition_variable) unsigned char cv_storage_[sizeof(std::condition_variable)];
};

// Made once and never destroyed: SDK threads may call back while the
// process exits.
OwnedLock& delivery() {
    static OwnedLock* lock = new OwnedLock;
    return *lock;
}
OwnedLock& loop() {
    static OwnedLock* lock = new OwnedLock;
    return *lock;
}

// Threads between the start of an event (or of a thread state's release)
// and its end; the exit delivery waits for them.
std::atomic<int> in_flight{0};
__thread int in_flight_here = 0;
struct ExitWait {
    std::mutex mutex;
    std::condition_variable done;
};
ExitWait& exit_wait() {
    static ExitWait* w = new ExitWait;
    return *w;
}

bool enter() {
    if (in_flight_here++) return true;
    in_flight.fetch_add(1, std::memory_order_seq_cst);
    if (!closed()) return true;
    in_flight_here = 0;
    in_flight.fetch_sub(1, std::memory_order_seq_cst);
    return false;
}

void leave() {
    if (--in_flight_here) return;
    in_flight.fetch_sub(1, std::memory_order_seq_cst);
    if (closed()) {
        { std::lock_guard<std::mutex> lock(exit_wait().mutex); }
        exit_wait().done.notify_all();
    }
}

// The thread state this thread let go of in a run-loop call, while it is
// inside the SDK.
__thread PyThreadState* released_here = nullptr;

// A thread state made by the module for an SDK thread, released when the
// thread ends.
struct OwnThreadState {
    bool made = false;
    ~OwnThreadState() {
        if (!made || !enter()) return;
        PyThreadState* ts = PyGILState_GetThisThreadState();
        if (ts) {
            PyEval_RestoreThread(ts);
            PyGILState_Release(PyGILState_UNLOCKED);  // clears and deletes it, and lets go of the lock
        }
        leave();
    }
};
thread_local OwnThreadState own_state;

// Bindings waiting, without the interpreter lock, for a thread that wants it
// to have it (let_the_deliverer_in).
struct Yielding {
    std::atomic<int> waiting{0};
    std::mutex mutex;
    std::condition_variable done;
};
Yielding& yielding() {
    static Yielding* y = new Yielding;
    return *y;
}

// By the owner of the delivery lock, once it holds the interpreter lock or
// has given up on it.
void no_longer_wanted() {
    gil_wanted.store(false, std::memory_order_seq_cst);
    Yielding& y = yielding();
    if (!y.waiting.load(std::memory_order_seq_cst)) return;
    { std::lock_guard<std::mutex> lock(y.mutex); }
    y.done.notify_all();
}

// Takes the interpreter lock on a thread that has none: the run loop's
// thread with the state it let go of, or with a thread state of its own: a
// Python thread's (the SDK called back on it while it let go of the lock),
// or one made for this SDK thread at its first event.
void take_lock(PyThreadState* released) {
    if (released) {
        PyEval_RestoreThread(released);
        released_here = nullptr;
    } else if (PyThreadState* ts = PyGILState_GetThisThreadState()) {
        PyEval_RestoreThread(ts);
    } else {
        PyGILState_Ensure();  // its counter stays at one until the thread ends
        own_state.made = true;
    }
    no_longer_wanted();
}

void let_go(PyThreadState* released) {
    released_here = released;
    PyEval_SaveThread();
}

// Whether a thread without the interpreter lock may deliver now: it owns the
// delivery lock, and no binding is inside the SDK (it would wait for the lock
// that binding keeps); if so, it wants the interpreter lock, and takes it.
bool may_deliver() {
    if (locked_calls.load(std::memory_order_seq_cst) || !delivery().try_acquire()) return false;
    gil_wanted.store(true, std::memory_order_seq_cst);
    if (!locked_calls.load(std::memory_order_seq_cst)) return true;
    no_longer_wanted();
    delivery().release();
    return false;
}

// Owning the delivery lock, and holding the interpreter: delivers what is
// held, then lets go of the delivery lock; again while something is held
// after that (a thread that found the lock taken held its event for the
// owner).  `bounded` (a binding's thread, which must return): once more at
// most.
void deliver_held_and_let_go(bool bounded) {
    for (int rounds = 0;; ++rounds) {
        if (any_held()) drain();
        delivery().release();
        if ((bounded && rounds) || !any_held() || !delivery().try_acquire()) return;
    }
}

// An event on a thread that holds the interpreter lock (inside a binding,
// or inside the callable): delivered at once unless another thread
// delivers, which then delivers it too.
void on_thread_holding_the_lock(const char* text, const char* data, int len) {
    if (!delivery().try_acquire()) {
        hold(text, data, len);
        if (!delivery().try_acquire()) return;  // the owner will see it
        return deliver_held_and_let_go(true);
    }
    // Held events first, unless this is a delivery of them under way.
    if (delivery().outermost() && any_held()) drain();
    event_sink(text, data, len);
    if (!delivery().outermost()) return delivery().release();
    deliver_held_and_let_go(true);
}

}  // namespace

extern "C" void callback_unlocked(const char* text, const char* data, int len) {
    PyThreadState* released = released_here;
    if (!released && compat::owns_thread_state(compat::thread_state_if_any()))
        return on_thread_holding_the_lock(text, data, len);
    // The run loop's thread, inside the SDK, or a thread of the SDK's own.
    if (!enter()) return;
    if (may_deliver()) {
        take_lock(released);
        if (any_held()) drain();
        event_sink(text, data, len);
    } else {
        hold(text, data, len);
        if (!may_deliver()) return leave();  // the owner, or the binding, delivers it
        take_lock(released);
    }
    deliver_held_and_let_go(false);
    let_go(released);
    leave();
}

void deliver_held_unlocked() {
    // A delivery under way on this thread, or on another, delivers them.
    if (delivery().owned_here() || !delivery().try_acquire()) return;
    deliver_held_and_let_go(true);
}

std::atomic<bool> gil_wanted{false};

void let_the_deliverer_in() {
    Yielding& y = yielding();
    PyThreadState* ts = PyEval_SaveThread();
    y.waiting.fetch_add(1, std::memory_order_seq_cst);
    {
        std::unique_lock<std::mutex> lock(y.mutex);
        y.done.wait(lock, [] { return !gil_wanted.load(std::memory_order_seq_cst); });
    }
    y.waiting.fetch_sub(1, std::memory_order_seq_cst);
    PyEval_RestoreThread(ts);
}

// A run-loop call from the callable (this thread delivers) goes straight to
// the SDK, as every call from the callable does; any other waits for the
// run loop to be free.
UnlockedLoopCall::UnlockedLoopCall() : nested_(delivery().owned_here()) {
    ts_ = PyEval_SaveThread();
    if (!nested_) loop().acquire();
    outer_ = released_here;
    released_here = ts_;
}

UnlockedLoopCall::~UnlockedLoopCall() {
    released_here = outer_;
    if (!nested_) loop().release();
    PyEval_RestoreThread(ts_);
}

void exit_unlocked() {
    // Threads delivering now finish; later ones drop their events.
    int mine = in_flight_here ? 1 : 0;
    if (in_flight.load(std::memory_order_seq_cst) <= mine) return;
    PyThreadState* ts = PyEval_SaveThread();
    {
        std::unique_lock<std::mutex> lock(exit_wait().mutex);
        exit_wait().done.wait(lock, [mine] { return in_flight.load(std::memory_order_seq_cst) <= mine; });
    }
    PyEval_RestoreThread(ts);
}

void unlocked_before_fork() {
    delivery().before_fork();
    loop().before_fork();
    exit_wait().mutex.lock();
    yielding().mutex.lock();
}

void unlocked_after_fork(bool child) {
    if (child) {
        in_flight.store(in_flight_here ? 1 : 0, std::memory_order_relaxed);
        new (&exit_wait().done) std::condition_variable;
        new (&yielding().done) std::condition_variable;
        yielding().waiting.store(0, std::memory_order_relaxed);
        if (!delivery().owned_here()) gil_wanted.store(false, std::memory_order_relaxed);
    }
    yielding().mutex.unlock();
    exit_wait().mutex.unlock();
    loop().after_fork(child);
    delivery().after_fork(child);
}

}  // namespace sdkcall
}  // namespace csdk
