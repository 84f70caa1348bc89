// Held events and the parked state (see sdkcall.h).
#include "module/sdkcall.h"

#include <pthread.h>

#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

namespace csdk {
namespace sdkcall {

bool unlocked = false;
HeldEvents events;
std::atomic<unsigned char> flags{0};
__thread bool parked_here = false;
__thread bool at_once_here = false;

std::atomic<int> locked_calls{0};

namespace {

// Events taken from the queue and not yet delivered, oldest first: the
// delivery under way.  Touched only by the thread holding the interpreter
// (or the SDK thread delivering in its place), so that a run loop called
// from the callable delivers the rest of them before anything newer.
HeldEvent* pending_head = nullptr;
HeldEvent* pending_tail = nullptr;

}  // namespace

void drain() {
    PyObject* exc = compat::take_exception();
    HeldEvents::Taken t = events.take();
    if (t.first) {
        if (pending_tail) pending_tail->next = t.first;
        else pending_head = t.first;
        pending_tail = t.last;
    }
    while (HeldEvent* e = pending_head) {
        pending_head = e->next;
        if (!pending_head) pending_tail = nullptr;
        event_sink(e->has_text ? e->text() : nullptr, e->has_data ? e->data() : nullptr, e->len);
        events.release(e);
    }
    if (t.lost || t.dropped) loss_sink(t.lost, t.dropped, events.limit());
    compat::restore_exception(exc);
}

namespace {

// The SDK thread delivering at once and the thread state it borrows.
std::atomic<PyThreadState*> borrowed{nullptr};

// Where a caller waits for an SDK thread's delivery to end.  Made once and
// never destroyed, like the queue.
struct Waiting {
    std::mutex mutex;
    std::condition_variable done;
};
Waiting& waiting() {
    static Waiting* w = new Waiting;
    return *w;
}

// On an SDK thread, with the event just held: while the Python caller is
// parked inside the SDK, deliver what is held in its place.  One SDK thread
// at a time; events held meanwhile by others are delivered by it too, batch
// after batch, until none is left or the caller's SDK call has returned.
void deliver_at_once() {
    for (;;) {
        unsigned expected = Parked;
        if (!state.compare_exchange_strong(expected, DeliveringAtOnce, std::memory_order_seq_cst)) return;
        // The parked caller holds the interpreter and its thread state is
        // the current one for every thread.
        borrowed.store(compat::thread_state_if_any(), std::memory_order_seq_cst);
        at_once_here = true;
        set_delivering(true);
        while ((any_held() || pending_head) &&
               !(state.load(std::memory_order_seq_cst) & Leave))
            drain();
        set_delivering(false);
        at_once_here = false;
        borrowed.store(nullptr, std::memory_order_seq_cst);
        expected = DeliveringAtOnce;
        if (!state.compare_exchange_strong(expected, Parked, std::memory_order_seq_cst)) {
            // The caller's SDK call has returned and it waits.
            Waiting& w = waiting();
            {
                std::lock_guard<std::mutex> lock(w.mutex);
                state.store(Idle, std::memory_order_seq_cst);
            }
            w.done.notify_all();
            return;
        }
        // An event held while this thread finished finds the caller parked
        // again only through this check.
        if (!any_held()) return;
    }
}

// ---- fork ----
// The queue's locks are held only for moments, never while waiting for the
// interpreter, so the forking thread takes them first: the child gets them
// in a known state, and none of the parent's events.

void before_fork() {
    events.before_fork();
    waiting().mutex.lock();
    unlocked_before_fork();
}

void after_fork_parent() {
    unlocked_after_fork(false);
    waiting().mutex.unlock();
    events.after_fork_parent();
}

void after_fork_child() {
    unlocked_after_fork(true);
    new (&waiting().done) std::condition_variable;  // no thread of the parent waits here
    waiting().mutex.unlock();
    // A delivery under way in the forking thread finds nothing left.
    HeldEvent* taken = pending_head;
    pending_head = pending_tail = nullptr;
    events.after_fork_child(taken);
}

// ---- exit ----

PyObject* at_exit(PyObject*, PyObject*) {
    events.close();
    if (unlocked) exit_unlocked();
    // What is held now is delivered, also when shutdown began inside a
    // delivery (SystemExit from the callable), which will not go on.
    bool outer = delivering();
    set_delivering(true);
    drain();
    set_delivering(outer);
    Py_RETURN_NONE;
}

PyMethodDef at_exit_def = {"deliver_held_events", at_exit, METH_NOARGS, nullptr};

int register_at_exit() {
    PyObject* atexit = PyImport_ImportModule("atexit");
    PyObject* fn = atexit ? PyCFunction_New(&at_exit_def, nullptr) : nullptr;
    PyObject* r = fn ? PyObject_CallMethod(atexit, "register", "O", fn) : nullptr;
    Py_XDECREF(r);
    Py_XDECREF(fn);
    Py_XDECREF(atexit);
    return r ? 0 : -1;
}

// ---- settings ----

[[gnu::cold]] int bad_setting(const char* name, const char* value, const char* takes) {
    PyErr_Format(PyExc_ImportError, "%s must be %s, not '%s'", name, takes, value);
    return -1;
}

int read_settings() {
    const char* mode = std::getenv("CSDK_RUN_UNLOCKED");
    if (mode && *mode && std::strcmp(mode, "0") != 0) {
        if (std::strcmp(mode, "1") != 0)
            return bad_setting("CSDK_RUN_UNLOCKED", mode, "0 (the run loop keeps the interpreter lock) or 1 (it lets go)");
        unlocked = true;
        flags.store(Unlocked, std::memory_order_relaxed);
    }
    const char* limit = std::getenv("CSDK_HELD_EVENTS_MAX_BYTES");
    if (limit && *limit) {
        const char* takes = "a number of bytes (0 for no limit)";
        if (std::strspn(limit, "0123456789") != std::strlen(limit)) return bad_setting("CSDK_HELD_EVENTS_MAX_BYTES", limit, takes);
        errno = 0;
        unsigned long long n = std::strtoull(limit, nullptr, 10);
        if (errno == ERANGE || n > SIZE_MAX) return bad_setting("CSDK_HELD_EVENTS_MAX_BYTES", limit, takes);
        events.set_limit(static_cast<size_t>(n));
    }
    return 0;
}

}  // namespace

std::atomic<unsigned> state{Idle};

bool leave_slow(unsigned seen, PyThreadState* ts) {
    for (;;) {
        if (seen == Idle) return false;
        if (seen == Parked) {
            if (state.compare_exchange_strong(seen, Idle, std::memory_order_seq_cst)) return true;
            continue;
        }
        // An SDK thread delivers.  A thread that got the interpreter from it
        // meanwhile never parked and goes on; the parked caller waits (also
        // while the SDK thread has not yet said whose thread state it borrows).
        PyThreadState* lender = borrowed.load(std::memory_order_seq_cst);
        if (ts && lender && ts != lender) return false;
        if ((seen & Leave) || state.compare_exchange_strong(seen, seen | Leave, std::memory_order_seq_cst)) break;
    }
    Waiting& w = waiting();
    std::unique_lock<std::mutex> lock(w.mutex);
    w.done.wait(lock, [] { return state.load(std::memory_order_seq_cst) == Idle; });
    return true;
}

void deliver_held() {
    if (unlocked) return deliver_held_unlocked();
    if (delivering()) return;  // the delivery under way goes on
    set_delivering(true);
    drain();
    set_delivering(false);
}

void hold(const char* text, const char* data, int len) noexcept {
    if (events.push(text, data, len) == HeldEvents::Closed) return;
    if constexpr (!compat::per_thread_state)
        if (!unlocked) deliver_at_once();
}

int init() {
    static bool done = false;
    if (done) return 0;
    if (read_settings() < 0 || register_at_exit() < 0) return -1;
    if (int err = pthread_atfork(before_fork, after_fork_parent, after_fork_child)) {
        errno = err;
        PyErr_SetFromErrno(PyExc_ImportError);
        return -1;
    }
    done = true;
    return 0;
}

}  // namespace sdkcall
}  // namespace csdk
