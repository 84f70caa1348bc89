// The event bridge: the SDK calls `callback_wrapper` once per event, on the
// thread that is inside vqi_run or vqi_poll (so the interpreter lock is
// held), and the bridge calls the module global `f(text, payload)`.  Events
// the SDK delivers on threads of its own are held and delivered on the
// thread holding the interpreter, or with CSDK_RUN_UNLOCKED=1 delivered at
// once, each taking the interpreter lock (module/sdkcall.h).
// Failures never reach the SDK: they are printed, then reported as
// unraisable, and the next event is delivered as usual.
#include <cstring>
#include <new>
#include <string>

#include "module/args.h"
#include "module/globals.h"
#include "module/members.h"
#include "sdk/vqsdk.h"
#include "module/sdkcall.h"
#include "module/unlocked.h"

namespace csdk {

namespace {

// Prints the pending exception with the standard error printer, then hands
// the same exception to the unraisable hook, which clears it.
void print_and_hand_over() {
    PyObject* exc = compat::take_exception();
    static PyObject* context = PyUnicode_InternFromString("c_sdk.callback_wrapper");
    if (!context) PyErr_Clear();
    Py_XINCREF(exc);
    compat::restore_exception(exc);
    PyErr_PrintEx(0);
    compat::restore_exception(exc);
    PyErr_WriteUnraisable(context ? context : Py_None);
}

// Set while a failure at the recursion limit is being reported.
bool reporting_at_limit = false;

// Reports the pending exception.  At the recursion limit the printer and the
// hook get 50 more levels, as the interpreter gives its own error handling;
// events delivered meanwhile fail at once.
void report_event_failure() {
    constexpr int headroom = 50;
    int limit = Py_GetRecursionLimit();
    bool raised = !reporting_at_limit && compat::recursion_left() < headroom;
    if (raised) {
        reporting_at_limit = true;
        Py_SetRecursionLimit(limit + headroom);
    }
    print_and_hand_over();
    if (raised) {
        Py_SetRecursionLimit(limit);
        reporting_at_limit = false;
    }
}

// The two texts and the payload are made inline, once per event; what the
// SDK gets wrong is reported out of line.
[[gnu::cold, gnu::noinline]] PyObject* null_text() {
    PyErr_SetString(PyExc_SystemError, "the SDK delivered an event with a NULL text");
    return nullptr;
}

inline PyObject* event_text(const char* text, bool as_bytes) {
    if (CSDK_UNLIKELY(!text)) return null_text();
    if (as_bytes) return PyBytes_FromString(text);
    return PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(std::strlen(text)), nullptr);
}

[[gnu::cold, gnu::noinline]] PyObject* bad_payload(const char* data, int len) {
    if (len < 0) {
        PyErr_Format(PyExc_SystemError, "the SDK delivered an event with a negative payload length (%d)", len);
        return nullptr;
    }
    if (!data && len > 0) {
        PyErr_Format(PyExc_SystemError, "the SDK delivered a NULL payload of %d bytes", len);
        return nullptr;
    }
    return PyBytes_FromStringAndSize("", 0);  // no data and no length
}

inline PyObject* event_payload(const char* data, int len) {
    if (CSDK_UNLIKELY(len < 0 || !data)) return bad_payload(data, len);
    return PyBytes_FromStringAndSize(data, len);
}

// Calls f(text, payload) for one event.
[[gnu::always_inline]] inline void call_f(PyThreadState* ts, const char* text, const char* data, int len,
                                          bool as_bytes) {
    Ref text_obj(event_text(text, as_bytes));
    Ref fn = text_obj ? lookup_ref(globals::f) : Ref();  // the callable may rebind `f` while it runs
    Ref payload = fn ? Ref(event_payload(data, len)) : Ref();
    PyObject* result = nullptr;
    if (payload) {
        // At the recursion limit the call fails, as it would anywhere else;
        // see compat::recursion_left.
        if (CSDK_UNLIKELY(compat::recursion_left(ts) <= 0 || reporting_at_limit)) {
            PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while calling a Python object");
        } else {
            PyObject* stack[3] = {nullptr, text_obj.get(), payload.get()};
            result = compat::vectorcall(fn.get(), stack + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
        }
    }
    if (result) {
        Py_DECREF(result);
        return;
    }
    report_event_failure();
}

// One event whose IS_PY2 is neither a bool nor None.  Its __bool__ may call
// the SDK, which may then reuse the event's buffers: the event is copied
// first (nothing may be thrown to the SDK).
[[gnu::noinline]] void deliver_after_truth(PyThreadState* ts, PyObject* is_py2, const char* text, const char* data,
                                           int len) {
    std::string text_copy, data_copy;
    try {
        if (text) text = text_copy.assign(text).c_str();
        if (data && len > 0) data = data_copy.assign(data, static_cast<size_t>(len)).data();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return report_event_failure();
    }
    int as_bytes = truth(is_py2);
    if (as_bytes < 0) return report_event_failure();
    call_f(ts, text, data, len, as_bytes != 0);
}

// One event, on the thread `ts`, which holds the interpreter lock.
[[gnu::always_inline]] inline void deliver(PyThreadState* ts, const char* text, const char* data, int len) {
    PyObject* is_py2 = lookup(globals::IS_PY2);
    bool as_bytes = is_py2 == Py_True;
    if (CSDK_UNLIKELY(!as_bytes && is_py2 != Py_False)) {
        if (!is_py2) return report_event_failure();
        if (is_py2 != Py_None) return deliver_after_truth(ts, is_py2, text, data, len);
    }
    call_f(ts, text, data, len, as_bytes);
}

}  // namespace

// ---- events from the SDK's own threads (see module/sdkcall.h) ----

namespace {

// Up to 3.11: an event on a thread other than the parked caller.
// Once shutdown has begun nothing here asks the interpreter which thread
// this is: its thread-state key goes with it.
[[gnu::noinline]] void off_the_parked_thread(const char* text, const char* data, int len) {
    PyThreadState* ts = compat::thread_state_if_any();
    // The SDK thread delivering held events at once, called back from
    // inside a call its callable made; or a thread that holds the
    // interpreter outside an SDK call made through this module: as on the
    // Python thread.
    if (sdkcall::at_once_here || (!sdkcall::closed() && compat::owns_thread_state(ts))) {
        sdkcall::deliver_held_if_any();
        return deliver(ts, text, data, len);
    }
    sdkcall::hold(text, data, len);
}

}  // namespace

extern "C" void sdkcall::callback_wrapper(const char* text, const char* data, int len) {
    if constexpr (compat::per_thread_state) {
        PyThreadState* ts = compat::thread_state_if_any();
        if (CSDK_UNLIKELY(!ts)) return sdkcall::hold(text, data, len);
        sdkcall::deliver_held_if_any();
        deliver(ts, text, data, len);
    } else {
        if (CSDK_UNLIKELY(!sdkcall::parked_here)) return off_the_parked_thread(text, data, len);
        PyThreadState* ts = compat::thread_state_if_any();
        sdkcall::PythonCode unparked(ts);
        sdkcall::deliver_held_if_any();
        deliver(ts, text, data, len);
    }
}

// With CSDK_RUN_UNLOCKED=1 (module/unlocked.h): the run loop's thread, or a
// thread of the SDK's own, takes the interpreter lock for the event.
extern "C" void sdkcall::callback_unlocked(const char* text, const char* data, int len) {
    using namespace sdkcall::unlocked_mode;
    PyThreadState* released = released_here;
    if (!released) {
        if (CSDK_UNLIKELY(sdkcall::closed())) return;  // (see off_the_parked_thread)
        if (compat::owns_thread_state(compat::thread_state_if_any()))
            return on_thread_holding_the_lock(text, data, len);
    }
    if (CSDK_UNLIKELY(!enter())) return;
    if (CSDK_UNLIKELY(!may_deliver())) return hold_for_the_deliverer(released, text, data, len);
    take_lock(released);
    if (CSDK_UNLIKELY(sdkcall::any_held())) sdkcall::drain();
    deliver(released ? released : PyThreadState_Get(), text, data, len);
    let_go_of_delivery(false);
    let_go(released);
    leave();
}

namespace {

// Held events are delivered before the store, to the callable registered
// when they arrived.
PyObject* register_now(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    PyObject* buf[1];
    PyObject* const* a = bind<1>(self, args, nargsf, kwnames, buf);
    if (!a) return nullptr;
    if (PyDict_SetItem(module_dict, globals::f.name, a[0]) < 0) return nullptr;
    {
        [[maybe_unused]] sdkcall::Call parked;
        vqi_set_event_callback_pb(sdkcall::event_callback());
    }
    sdkcall::deliver_held_if_any();
    Py_RETURN_NONE;
}

PyObject* set_data_callback(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    if (CSDK_LIKELY(!sdkcall::any_held())) return register_now(self, args, nargsf, kwnames);
    Ref keep = Ref::borrow(self);  // the delivery may drop the caller's reference
    sdkcall::deliver_held();
    return register_now(self, args, nargsf, kwnames);
}

const Member callback_rows[] = {
    {"py_vqi_set_data_callback", Plain,
     FuncDef{"py_vqi_set_data_callback", set_data_callback, "pythonf", "vqi_set_event_callback_pb", nullptr}},
};

// One held event, on the thread holding the interpreter.
void deliver_held_event(const char* text, const char* data, int len) {
    deliver(PyThreadState_Get(), text, data, len);
}

void report_lost_events(unsigned long long lost, unsigned long long dropped, size_t limit) {
    for (; lost; --lost) {
        PyErr_SetString(PyExc_MemoryError, "an event delivered from another thread was lost: no memory to copy it");
        report_event_failure();
    }
    if (dropped) {
        PyErr_Format(PyExc_MemoryError,
                     "%llu events delivered from other threads were dropped: the events held for delivery "
                     "reached CSDK_HELD_EVENTS_MAX_BYTES (%zu bytes)",
                     dropped, limit);
        report_event_failure();
    }
}

}  // namespace

const MemberTable callback_members = table(callback_rows);

const sdkcall::EventSink sdkcall::event_sink = deliver_held_event;
const sdkcall::LossSink sdkcall::loss_sink = report_lost_events;

}  // namespace csdk
