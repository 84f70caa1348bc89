// Held events and the parked state (see sdkcall.h).
#include "module/sdkcall.h"

#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <type_traits>

namespace csdk {
namespace sdkcall {

std::atomic<bool> held{false};
std::atomic<bool> delivering{false};

namespace {

// One held event, its text and payload copied after it in the same block.
struct Event {
    Event* next;
    int len;            // as the SDK gave it
    bool has_text;      // false: the SDK gave a NULL text
    bool has_data;      // false: a NULL payload
    char* text() { return reinterpret_cast<char*>(this + 1); }
    char* data() { return text() + std::strlen(text()) + 1; }
};

// SDK threads may still call back while the process exits, after static
// objects with destructors are gone: everything here is trivially
// destructible.
static_assert(std::is_trivially_destructible_v<std::mutex>, "the queue's lock must outlive exit");
std::mutex queue_mutex;
Event* queue_head = nullptr;  // guarded by queue_mutex
Event* queue_tail = nullptr;
unsigned lost_events = 0;     // guarded by queue_mutex
std::atomic<bool> closed{false};

// The events held now, oldest first; `lost` counts those that could not be copied.
Event* take_all(unsigned& lost) {
    std::lock_guard<std::mutex> lock(queue_mutex);
    Event* first = queue_head;
    queue_head = queue_tail = nullptr;
    lost = lost_events;
    lost_events = 0;
    held.store(false, std::memory_order_seq_cst);
    return first;
}

void run(Event* e, unsigned lost) {
    while (e) {
        Event* next = e->next;
        event_sink(e->has_text ? e->text() : nullptr, e->has_data ? e->data() : nullptr, e->len);
        std::free(e);
        e = next;
    }
    if (lost) loss_sink(lost);
}

// Delivers `batch` with the pending exception set aside.
void run_batch(Event* batch, unsigned lost) {
    PyObject* exc = compat::take_exception();
    run(batch, lost);
    compat::restore_exception(exc);
}

// The SDK thread delivering at once and the thread state it borrows.
std::atomic<unsigned long> deliverer{0};
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

unsigned long this_thread() { return compat::this_thread_id(); }

// On an SDK thread, with the event just held: while the Python caller is
// parked inside the SDK, deliver what is held in its place.  One SDK thread
// at a time; events held meanwhile by others are delivered by it too, batch
// after batch, until none is left or the caller's SDK call has returned.
void deliver_at_once() {
    for (;;) {
        unsigned expected = Parked;
        if (!state.compare_exchange_strong(expected, Delivering, std::memory_order_seq_cst)) return;
        // The parked caller holds the interpreter and its thread state is
        // the current one for every thread.
        borrowed.store(compat::thread_state_if_any(), std::memory_order_seq_cst);
        deliverer.store(this_thread(), std::memory_order_relaxed);
        delivering.store(true, std::memory_order_relaxed);
        do {
            unsigned lost;
            Event* batch = take_all(lost);
            if (!batch && !lost) break;
            run_batch(batch, lost);
        } while (!(state.load(std::memory_order_seq_cst) & Leave));
        delivering.store(false, std::memory_order_relaxed);
        deliverer.store(0, std::memory_order_relaxed);
        borrowed.store(nullptr, std::memory_order_seq_cst);
        expected = Delivering;
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
        if (!held.load(std::memory_order_seq_cst)) return;
    }
}

}  // namespace

std::atomic<unsigned> state{Idle};

bool delivering_here() {
    return delivering.load(std::memory_order_relaxed) && deliverer.load(std::memory_order_relaxed) == this_thread();
}

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
    if (delivering.load(std::memory_order_relaxed)) return;  // the delivery under way goes on
    unsigned lost;
    Event* batch = take_all(lost);
    if (!batch && !lost) return;
    delivering.store(true, std::memory_order_relaxed);
    run_batch(batch, lost);
    delivering.store(false, std::memory_order_relaxed);
}

void hold(const char* text, const char* data, int len) noexcept {
    if (closed.load(std::memory_order_seq_cst)) return;
    size_t text_size = text ? std::strlen(text) : 0;
    size_t data_size = data && len > 0 ? static_cast<size_t>(len) : 0;
    auto* e = static_cast<Event*>(std::malloc(sizeof(Event) + text_size + 1 + data_size));
    if (e) {
        e->next = nullptr;
        e->len = len;
        e->has_text = text != nullptr;
        e->has_data = data != nullptr;
        std::memcpy(e->text(), text ? text : "", text_size + 1);
        if (data_size) std::memcpy(e->data(), data, data_size);
    }
    {
        std::lock_guard<std::mutex> lock(queue_mutex);
        if (!e) {
            ++lost_events;
        } else if (queue_tail) {
            queue_tail->next = e;
            queue_tail = e;
        } else {
            queue_head = queue_tail = e;
        }
        held.store(true, std::memory_order_seq_cst);
    }
    if constexpr (!compat::per_thread_state) deliver_at_once();
}

namespace {

PyObject* at_exit(PyObject*, PyObject*) {
    closed.store(true, std::memory_order_seq_cst);
    deliver_held();
    Py_RETURN_NONE;
}

PyMethodDef at_exit_def = {"deliver_held_events", at_exit, METH_NOARGS, nullptr};

}  // namespace

int deliver_held_at_exit() {
    static bool registered = false;
    if (registered) return 0;
    PyObject* atexit = PyImport_ImportModule("atexit");
    PyObject* fn = atexit ? PyCFunction_New(&at_exit_def, nullptr) : nullptr;
    PyObject* r = fn ? PyObject_CallMethod(atexit, "register", "O", fn) : nullptr;
    Py_XDECREF(r);
    Py_XDECREF(fn);
    Py_XDECREF(atexit);
    if (!r) return -1;
    registered = true;
    return 0;
}

}  // namespace sdkcall
}  // namespace csdk
