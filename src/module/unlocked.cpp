// The mode in which the run loop lets go of the interpreter lock
// (CSDK_RUN_UNLOCKED=1, see sdkcall.h).
//
// py_vqi_run and vqi_poll let go of the lock while they are inside the SDK,
// so other Python threads run meanwhile (and may call bindings, which keep
// the lock across their SDK calls).  Every event is delivered at once, on
// the thread the SDK calls back on:
//
//   - on the run loop's thread, which takes the lock back for the callable;
//   - on a thread that holds the lock (inside a binding), as it is;
//   - on any other thread, with a thread state of that thread's own, made
//     at its first event and kept until it ends (or, for a Python thread
//     the SDK calls back on, its own).
//
// The callable runs on one thread at a time: a thread delivers only while
// it owns the delivery lock, which it takes before the interpreter lock and
// lets go after it, and never waits for while it holds the interpreter lock.
// A thread that owns it may take it again (a binding called from the
// callable whose SDK call delivers an event on that thread, or a run loop
// called from it), so each thread's events arrive in the order it sent
// them, each once.  Run-loop calls made outside the callable take the loop
// lock, the same way: a second one waits for the first without the
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

    // Waits for the lock (the caller holds no interpreter lock); false once
    // shutdown began, when the caller is to give up.
    bool acquire(bool give_up_at_exit) {
        if (try_acquire()) return true;
        unsigned long me = this_thread();
        std::unique_lock<std::mutex> lock(mutex_);
        waiters_.fetch_add(1, std::memory_order_seq_cst);
        for (;;) {
            unsigned long expected = 0;
            if (owner_.compare_exchange_strong(expected, me, std::memory_order_seq_cst)) break;
            if (give_up_at_exit && closed()) {
                waiters_.fetch_sub(1, std::memory_order_seq_cst);
                return false;
            }
            cv().wait(lock);
        }
        waiters_.fetch_sub(1, std::memory_order_seq_cst);
        depth_ = 1;
        return true;
    }

    void release() {
        if (--depth_) return;
        owner_.store(0, std::memory_order_seq_cst);
        if (waiters_.load(std::memory_order_seq_cst)) wake_all();
    }

    void wake_all() {
        { std::lock_guard<std::mutex> lock(mutex_); }
        cv().notify_all();
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

// Takes the interpreter lock on a thread that has none, with its own thread
// state: a Python thread's (the SDK called back on it while it let go of
// the lock), or one made for this SDK thread at its first event.
void take_lock() {
    if (PyThreadState* ts = PyGILState_GetThisThreadState()) return PyEval_RestoreThread(ts);
    PyGILState_Ensure();  // its counter stays at one until the thread ends
    own_state.made = true;
}

}  // namespace

extern "C" void callback_unlocked(const char* text, const char* data, int len) {
    if (PyThreadState* ts = released_here) {
        // The run loop's thread, inside the SDK.
        if (!enter()) return;
        if (delivery().acquire(true)) {
            PyEval_RestoreThread(ts);
            released_here = nullptr;
            event_sink(text, data, len);
            released_here = ts;
            PyEval_SaveThread();
            delivery().release();
        }
        return leave();
    }
    PyThreadState* ts = compat::thread_state_if_any();
    if (compat::owns_thread_state(ts)) {
        // A thread that holds the lock, inside an SDK call.
        if (CSDK_LIKELY(delivery().try_acquire())) {
            event_sink(text, data, len);
            return delivery().release();
        }
        // Another thread delivers: wait for it without the lock.
        if (!enter()) return;
        PyEval_SaveThread();
        bool got = delivery().acquire(true);
        PyEval_RestoreThread(ts);
        if (got) {
            event_sink(text, data, len);
            delivery().release();
        }
        return leave();
    }
    // A thread without the lock: the SDK's own.
    if (!enter()) return;
    if (delivery().acquire(true)) {
        take_lock();
        event_sink(text, data, len);
        PyEval_SaveThread();
        delivery().release();
    }
    leave();
}

// A run-loop call from the callable (this thread delivers) goes straight to
// the SDK, as every call from the callable does; any other waits for the
// run loop to be free.
UnlockedLoopCall::UnlockedLoopCall() : nested_(delivery().owned_here()) {
    ts_ = PyEval_SaveThread();
    if (!nested_) loop().acquire(false);
    outer_ = released_here;
    released_here = ts_;
}

UnlockedLoopCall::~UnlockedLoopCall() {
    released_here = outer_;
    if (!nested_) loop().release();
    PyEval_RestoreThread(ts_);
}

void exit_unlocked() {
    // Threads waiting to deliver give up; those delivering finish.
    delivery().wake_all();
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
}

void unlocked_after_fork(bool child) {
    if (child) {
        in_flight.store(in_flight_here ? 1 : 0, std::memory_order_relaxed);
        new (&exit_wait().done) std::condition_variable;
    }
    exit_wait().mutex.unlock();
    loop().after_fork(child);
    delivery().after_fork(child);
}

}  // namespace sdkcall
}  // namespace csdk
