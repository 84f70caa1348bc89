// The mode in which the run loop lets go of the interpreter lock
// (CSDK_RUN_UNLOCKED=1): its locks and what is not on every event's way
// (see unlocked.h).
#include "module/unlocked.h"

#include <condition_variable>
#include <mutex>
#include <new>

namespace csdk {
namespace sdkcall {
namespace unlocked_mode {

Ownership delivery;
std::atomic<int> in_flight{0};
__thread int in_flight_here = 0;
__thread PyThreadState* released_here = nullptr;
std::atomic<int> yielding{0};

namespace {

// The loop lock, for which a run-loop call waits (without the interpreter
// lock).  Made once and never destroyed.
class WaitedLock : public Ownership {
public:
    void acquire() {
        if (try_acquire()) return;
        unsigned long me = this_thread();
        std::unique_lock<std::mutex> lock(mutex_);
        waiters_.fetch_add(1, std::memory_order_seq_cst);
        for (;;) {
            unsigned long expected = 0;
            if (owner_.compare_exchange_strong(expected, me, std::memory_order_seq_cst)) break;
            done_.wait(lock);
        }
        waiters_.fetch_sub(1, std::memory_order_seq_cst);
        depth_ = 1;
    }

    void release() {
        if (!Ownership::release() || !waiters_.load(std::memory_order_seq_cst)) return;
        { std::lock_guard<std::mutex> lock(mutex_); }
        done_.notify_all();
    }

    void before_fork() { mutex_.lock(); }
    void after_fork(bool child) {
        if (child) {
            after_fork_child();
            waiters_.store(0, std::memory_order_relaxed);
            new (&done_) std::condition_variable;  // no thread of the parent waits here
        }
        mutex_.unlock();
    }

private:
    std::atomic<int> waiters_{0};
    std::mutex mutex_;
    std::condition_variable done_;
};

WaitedLock& loop() {
    static WaitedLock* lock = new WaitedLock;
    return *lock;
}

// Where the exit delivery waits for the threads in flight, and bindings for
// the thread they let in.  Made once and never destroyed.
struct Waiting {
    std::mutex mutex;
    std::condition_variable done;

    void wake() {
        { std::lock_guard<std::mutex> lock(mutex); }
        done.notify_all();
    }
};
Waiting& exit_wait() {
    static Waiting* w = new Waiting;
    return *w;
}
Waiting& yielded() {
    static Waiting* w = new Waiting;
    return *w;
}

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

}  // namespace

void wake_the_exit() { exit_wait().wake(); }
void wake_the_yielding() { yielded().wake(); }

void take_own_lock() {
    if (PyThreadState* ts = PyGILState_GetThisThreadState()) return PyEval_RestoreThread(ts);
    PyGILState_Ensure();  // its counter stays at one until the thread ends
    own_state.made = true;
}

void deliver_held_and_let_go(bool bounded) {
    for (int rounds = 0;; ++rounds) {
        if (any_held()) drain();
        delivery.release();
        if ((bounded && rounds) || !any_held() || !delivery.try_acquire()) return;
    }
}

// Delivered at once unless another thread delivers, which then delivers it
// too.
void on_thread_holding_the_lock(const char* text, const char* data, int len) {
    if (!delivery.try_acquire()) {
        hold(text, data, len);
        if (!delivery.try_acquire()) return;  // the owner will see it
        return deliver_held_and_let_go(true);
    }
    // Held events first, unless this is a delivery of them under way.
    if (delivery.outermost() && any_held()) drain();
    event_sink(text, data, len);
    if (!delivery.outermost()) {
        delivery.release();
        return;
    }
    deliver_held_and_let_go(true);
}

void hold_for_the_deliverer(PyThreadState* released, const char* text, const char* data, int len) {
    hold(text, data, len);
    if (may_deliver()) {  // it let go meanwhile
        take_lock(released);
        deliver_held_and_let_go(false);
        let_go(released);
    }
    leave();
}

}  // namespace unlocked_mode

using namespace unlocked_mode;

std::atomic<bool> gil_wanted{false};

void deliver_held_unlocked() {
    // A delivery under way on this thread, or on another, delivers them.
    if (delivery.owned_here() || !delivery.try_acquire()) return;
    deliver_held_and_let_go(true);
}

void let_the_deliverer_in() {
    Waiting& y = yielded();
    PyThreadState* ts = PyEval_SaveThread();
    yielding.fetch_add(1, std::memory_order_seq_cst);
    {
        std::unique_lock<std::mutex> lock(y.mutex);
        y.done.wait(lock, [] { return !gil_wanted.load(std::memory_order_seq_cst); });
    }
    yielding.fetch_sub(1, std::memory_order_seq_cst);
    PyEval_RestoreThread(ts);
}

// A run-loop call from the callable (this thread delivers) goes straight to
// the SDK, as every call from the callable does; any other waits for the
// run loop to be free.
UnlockedLoopCall::UnlockedLoopCall() : nested_(delivery.owned_here()) {
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
    loop().before_fork();
    exit_wait().mutex.lock();
    yielded().mutex.lock();
}

void unlocked_after_fork(bool child) {
    if (child) {
        in_flight.store(in_flight_here ? 1 : 0, std::memory_order_relaxed);
        new (&exit_wait().done) std::condition_variable;
        new (&yielded().done) std::condition_variable;
        yielding.store(0, std::memory_order_relaxed);
        if (!delivery.owned_here()) gil_wanted.store(false, std::memory_order_relaxed);
        delivery.after_fork_child();
    }
    yielded().mutex.unlock();
    exit_wait().mutex.unlock();
    loop().after_fork(child);
}

}  // namespace sdkcall
}  // namespace csdk
