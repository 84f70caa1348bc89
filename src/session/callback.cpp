// The event bridge: the SDK calls `callback_wrapper` once per event, on the
// thread that is inside vqi_run or vqi_poll (so the interpreter lock is
// held), and the bridge calls the module global `f(text, payload)`.
// Failures never reach the SDK: they are printed, then reported as
// unraisable, and the next event is delivered as usual.
#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <string>

#include "module/args.h"
#include "module/globals.h"
#include "module/members.h"
#include "sdk/vqsdk.h"
#include "session/bridge.h"

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

// ---- events from threads without a thread state (see bridge.h) ----

struct Parked {
    bool has_text;
    std::string text;
    bool has_data;
    std::string data;
    int len;
};

std::mutex parked_mutex;
std::deque<Parked> parked;             // guarded by parked_mutex
std::atomic<unsigned> lost_events{0};  // could not be copied for want of memory

// On the SDK's thread: no Python code, no Python memory.
[[gnu::noinline]] void park(const char* text, const char* data, int len) noexcept {
    try {
        Parked e{text != nullptr, text ? text : "", data != nullptr,
                 data && len > 0 ? std::string(data, static_cast<size_t>(len)) : std::string(), len};
        std::lock_guard<std::mutex> lock(parked_mutex);
        parked.push_back(std::move(e));
        parked_events.store(true, std::memory_order_release);
    } catch (...) {
        lost_events.fetch_add(1);
        parked_events.store(true, std::memory_order_release);
    }
}

extern "C" void callback_wrapper(const char* text, const char* data, int len) {
    PyThreadState* ts = compat::thread_state_if_any();
    if constexpr (compat::per_thread_state) {
        if (CSDK_UNLIKELY(!ts)) return park(text, data, len);
        if (CSDK_UNLIKELY(parked_events.load(std::memory_order_acquire))) deliver_parked_events();
    }
    deliver(ts, text, data, len);
}

PyObject* set_data_callback(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    PyObject* buf[1];
    PyObject* const* a = bind<1>(self, args, nargsf, kwnames, buf);
    if (!a) return nullptr;
    if (PyDict_SetItem(module_dict, globals::f.name, a[0]) < 0) return nullptr;
    vqi_set_event_callback_pb(callback_wrapper);
    Py_RETURN_NONE;
}

const Member callback_rows[] = {
    {"py_vqi_set_data_callback", Plain,
     FuncDef{"py_vqi_set_data_callback", set_data_callback, "pythonf", "vqi_set_event_callback_pb", nullptr}},
};

}  // namespace

std::atomic<bool> parked_events{false};

void deliver_parked_events() {
    PyObject* exc = compat::take_exception();
    for (;;) {
        Parked e;
        {
            std::lock_guard<std::mutex> lock(parked_mutex);
            if (parked.empty()) {
                parked_events.store(false, std::memory_order_relaxed);
                break;
            }
            e = std::move(parked.front());
            parked.pop_front();
        }
        deliver(PyThreadState_Get(), e.has_text ? e.text.c_str() : nullptr, e.has_data ? e.data.data() : nullptr,
                e.len);
    }
    for (unsigned n = lost_events.exchange(0); n; --n) {
        PyErr_SetString(PyExc_MemoryError, "an event delivered from another thread was lost: no memory to copy it");
        report_event_failure();
    }
    compat::restore_exception(exc);
}

const MemberTable callback_members = table(callback_rows);

}  // namespace csdk
