#include "module/convert.h"

#include <utility>

namespace csdk {

bool request_too_long(Py_ssize_t n) {
    PyErr_Format(PyExc_OverflowError,
                 "request of %zd bytes is too long for the SDK (at most %d bytes)", n, INT_MAX);
    return false;
}

bool request_length_lies(Py_ssize_t n, Py_ssize_t size) {
    PyErr_Format(PyExc_ValueError,
                 "request reports a length of %zd but its buffer holds %zd bytes", n, size);
    return false;
}

bool int_slow(PyObject* o, int& out) {
    long v;
    if (PyLong_Check(o)) {
        v = PyLong_AsLong(o);
        if (v == -1 && PyErr_Occurred()) return false;
    } else {
        PyNumberMethods* nb = Py_TYPE(o)->tp_as_number;
        if (!nb || !nb->nb_int) {
            PyErr_SetString(PyExc_TypeError, "an integer is required");
            return false;
        }
        PyObject* r;
        {
            CallOut guard;  // __int__
            if (!guard) return false;
            r = nb->nb_int(o);
        }
        if (!r) return false;
        if (!PyLong_Check(r)) {
            PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)", Py_TYPE(r)->tp_name);
            Py_DECREF(r);
            return false;
        }
        v = PyLong_AsLong(r);
        Py_DECREF(r);
        if (v == -1 && PyErr_Occurred()) return false;
    }
    if (v < INT_MIN || v > INT_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return false;
    }
    out = static_cast<int>(v);
    return true;
}

PyObject* text_result(const char* text, const char* sdk) {
    if (CSDK_UNLIKELY(!text)) {
        PyErr_Format(PyExc_SystemError, "%s returned a NULL text", sdk);
        return nullptr;
    }
    return PyBytes_FromString(text);
}

namespace {

// True when the success test will run no Python code: CSDK_OPERATE_SUCCESS
// is an exact int (or is missing, which raises before anything runs).  The
// lookup is the one compare_success makes next, served from the cache.
inline bool success_test_is_plain() {
    Global& g = globals::CSDK_OPERATE_SUCCESS;
    PyObject* success = lookup(g);
    return g.small_int || !success || PyLong_CheckExact(success);
}

// Copy of a response buffer the SDK reported; null without an exception when
// the report breaks the SDK's contract (checked again once success is known).
PyObject* copy_response(const char* res, int res_len) {
    if (res_len < 0 || (!res && res_len > 0)) return nullptr;
    return PyBytes_FromStringAndSize(res ? res : "", res_len);
}

PyObject* status_pair(int status, PyObject* payload) {  // steals payload
    if (!payload) return nullptr;
    PyObject* st = PyLong_FromLong(status);
    PyObject* result = st ? PyTuple_New(2) : nullptr;
    if (!result) {
        Py_XDECREF(st);
        Py_DECREF(payload);
        return nullptr;
    }
    PyTuple_SET_ITEM(result, 0, st);
    PyTuple_SET_ITEM(result, 1, payload);
    return result;
}

// The general case of response_result.
PyObject* response_general(int status, const char* res, int res_len, const char* sdk) {
    Ref st(PyLong_FromLong(status));
    if (!st) return nullptr;
    Ref early;
    if (CSDK_UNLIKELY(!success_test_is_plain())) {
        early = Ref(copy_response(res, res_len));
        if (!early && PyErr_Occurred()) return nullptr;
    }
    int ok = compare_success(st.get(), status);
    if (ok < 0) return nullptr;
    Ref payload;
    if (ok == 0) {
        payload = Ref::borrow(Py_None);
    } else if (early) {
        payload = std::move(early);
    } else if (CSDK_UNLIKELY(res_len < 0)) {
        PyErr_Format(PyExc_SystemError, "%s reported success with a negative response length (%d)", sdk, res_len);
        return nullptr;
    } else if (CSDK_UNLIKELY(!res && res_len > 0)) {
        PyErr_Format(PyExc_SystemError, "%s reported success with a NULL response of %d bytes", sdk, res_len);
        return nullptr;
    } else if (!(payload = Ref(copy_response(res, res_len)))) {
        return nullptr;
    }
    return PyTuple_Pack(2, st.get(), payload.get());
}

}  // namespace

// The SDK's response and address buffers stay valid only until its next
// call.  A success test that runs Python code (an __eq__) may call the SDK
// again, so the buffer is copied before such a test, and only then.
PyObject* response_result(int status, const char* res, int res_len, const char* sdk) {
    Global& g = globals::CSDK_OPERATE_SUCCESS;
    if (CSDK_LIKELY(lookup(g) && g.small_int)) {  // decided without a call
        if (g.int_value != status) return status_pair(status, Ref::borrow(Py_None).release());
        if (CSDK_LIKELY(res_len >= 0 && (res || res_len == 0)))
            return status_pair(status, PyBytes_FromStringAndSize(res ? res : "", res_len));
    }
    return response_general(status, res, res_len, sdk);
}

PyObject* address_result(int status, const char* addr, const char* sdk) {
    Ref early;
    if (CSDK_UNLIKELY(!success_test_is_plain()) && addr) {
        early = Ref(PyBytes_FromString(addr));
        if (!early) return nullptr;
    }
    Ref st(PyLong_FromLong(status));
    if (!st) return nullptr;
    int failed = compare_success(st.get(), status, Py_NE);
    if (failed < 0) return nullptr;
    if (failed) Py_RETURN_NONE;
    if (early) return early.release();
    if (CSDK_UNLIKELY(!addr)) {
        PyErr_Format(PyExc_SystemError, "%s reported success with a NULL address", sdk);
        return nullptr;
    }
    return PyBytes_FromString(addr);
}

}  // namespace csdk
