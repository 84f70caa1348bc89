// The event bridge: the SDK calls `callback_wrapper` once per event, on the
// thread that is inside vqi_run or vqi_poll (so the interpreter lock is
// held), and the bridge calls the module global `f(text, payload)`.
// Failures never reach the SDK: they are printed, then reported as
// unraisable, and the next event is delivered as usual.
#include <cstring>

#include "module/args.h"
#include "module/globals.h"
#include "module/members.h"
#include "sdk/vqsdk.h"

namespace csdk {

namespace {

// Prints the pending exception with the standard error printer, then hands
// the same exception to the unraisable hook, which clears it.
void report_event_failure() {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && value) PyException_SetTraceback(value, tb);
    PyObject* context = PyUnicode_FromString("c_sdk.callback_wrapper");
    if (!context) PyErr_Clear();
    Py_XINCREF(type);
    Py_XINCREF(value);
    Py_XINCREF(tb);
    PyErr_Restore(type, value, tb);
    PyErr_PrintEx(0);
    PyErr_Restore(type, value, tb);
    PyErr_WriteUnraisable(context ? context : Py_None);
    Py_XDECREF(context);
}

PyObject* event_text(const char* text, bool as_bytes) {
    if (!text) {
        PyErr_SetString(PyExc_SystemError, "the SDK delivered an event with a NULL text");
        return nullptr;
    }
    if (as_bytes) return PyBytes_FromString(text);
    size_t n = std::strlen(text);
    if (n == 0) return PyUnicode_New(0, 0);
    return PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(n), nullptr);
}

PyObject* event_payload(const char* data, int len) {
    if (len < 0) {
        PyErr_Format(PyExc_SystemError, "the SDK delivered an event with a negative payload length (%d)", len);
        return nullptr;
    }
    if (!data && len > 0) {
        PyErr_Format(PyExc_SystemError, "the SDK delivered a NULL payload of %d bytes", len);
        return nullptr;
    }
    return PyBytes_FromStringAndSize(data ? data : "", len);
}

extern "C" void callback_wrapper(const char* text, const char* data, int len) {
    PyObject* stack[3] = {nullptr, nullptr, nullptr};
    PyObject* fn = nullptr;
    PyObject* result = nullptr;
    PyObject* is_py2 = lookup(globals::IS_PY2);
    int as_bytes = is_py2 ? truth(is_py2) : -1;
    if (as_bytes >= 0 && (stack[1] = event_text(text, as_bytes != 0)) &&
        (fn = lookup(globals::f)) && (stack[2] = event_payload(data, len))) {
        Py_INCREF(fn);  // the callable may rebind `f` while it runs
        // At the recursion limit the call fails, as it would anywhere else.
        // The interpreter itself would let it through while it recovers from
        // an earlier RecursionError; but the bridge contains that error and
        // the SDK goes on delivering, so a callable that runs the loop again
        // from inside would recurse through that margin until the
        // interpreter aborts.
        if (CSDK_UNLIKELY(PyThreadState_Get()->recursion_depth >= Py_GetRecursionLimit()))
            PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while calling a Python object");
        else
            result = _PyObject_Vectorcall(fn, stack + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
        Py_DECREF(fn);
    }
    Py_XDECREF(stack[1]);
    Py_XDECREF(stack[2]);
    if (result) {
        Py_DECREF(result);
        return;
    }
    report_event_failure();
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

const MemberTable callback_members = table(callback_rows);

}  // namespace csdk
