#include "module/convert.h"

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

PyObject* response_result(int status, const char* res, int res_len, const char* sdk) {
    PyObject* st = PyLong_FromLong(status);
    if (!st) return nullptr;
    int ok = compare_success(st, status);
    PyObject* payload;
    if (ok > 0) {
        if (CSDK_UNLIKELY(res_len < 0)) {
            PyErr_Format(PyExc_SystemError, "%s reported success with a negative response length (%d)",
                         sdk, res_len);
            payload = nullptr;
        } else if (CSDK_UNLIKELY(!res && res_len > 0)) {
            PyErr_Format(PyExc_SystemError, "%s reported success with a NULL response of %d bytes",
                         sdk, res_len);
            payload = nullptr;
        } else {
            payload = PyBytes_FromStringAndSize(res ? res : "", res_len);
        }
    } else if (ok == 0) {
        payload = Py_None;
        Py_INCREF(payload);
    } else {
        payload = nullptr;
    }
    if (!payload) {
        Py_DECREF(st);
        return nullptr;
    }
    PyObject* result = PyTuple_New(2);
    if (!result) {
        Py_DECREF(st);
        Py_DECREF(payload);
        return nullptr;
    }
    PyTuple_SET_ITEM(result, 0, st);
    PyTuple_SET_ITEM(result, 1, payload);
    return result;
}

PyObject* address_result(int status, const char* addr, const char* sdk) {
    PyObject* st = PyLong_FromLong(status);
    if (!st) return nullptr;
    int failed = compare_success(st, status, Py_NE);
    Py_DECREF(st);
    if (failed < 0) return nullptr;
    if (failed) Py_RETURN_NONE;
    if (CSDK_UNLIKELY(!addr)) {
        PyErr_Format(PyExc_SystemError, "%s reported success with a NULL address", sdk);
        return nullptr;
    }
    return PyBytes_FromString(addr);
}

}  // namespace csdk
