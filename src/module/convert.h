// Conversions between Python values and the SDK's C types.
//
// Every binding converts through these; each returns false with the
// exception set when the value does not convert.
#pragma once
#include <climits>

#include "module/globals.h"

namespace csdk {

// Bytearrays lend their buffer through an export held for the whole call, so
// that Python code run by a later conversion (an `__int__`, a truth test) or by
// an event delivered during the SDK call cannot resize them under the SDK.
// The export is bytearray's own, also for a subclass that defines
// `__buffer__` (3.12 and later would call it): the SDK gets the object's own
// NUL-terminated storage, and it is that storage which stays locked.
template <int K>
struct Loans {
    Py_buffer views[K > 0 ? K : 1];
    int n = 0;
    Loans() = default;
    Loans(const Loans&) = delete;
    Loans& operator=(const Loans&) = delete;
    ~Loans() {
        for (int i = 0; i < n; ++i) {
            PyByteArray_Type.tp_as_buffer->bf_releasebuffer(views[i].obj, &views[i]);
            Py_CLEAR(views[i].obj);
        }
    }
    Py_buffer* lend(PyObject* bytearray) {
        Py_buffer* v = &views[n];
        if (PyByteArray_Type.tp_as_buffer->bf_getbuffer(bytearray, v, PyBUF_SIMPLE) < 0) return nullptr;
        ++n;
        return v;
    }
};

inline bool not_bytes(PyObject* o) {
    PyErr_Format(PyExc_TypeError, "expected bytes, %.200s found", Py_TYPE(o)->tp_name);
    return false;
}

// An exact str of ASCII characters, whose own buffer holds the bytes of its
// ASCII encoding, NUL-terminated.  Only a binding entered by the decorator's
// wrapper takes one (AsciiStr), where it takes bytes: the wrapper has made
// sure that every exact str of the call is one, and encodes anything else.
inline bool is_ascii_str(PyObject* o) { return PyUnicode_CheckExact(o) && PyUnicode_IS_COMPACT_ASCII(o); }
inline char* ascii_buffer(PyObject* o) { return static_cast<char*>(PyUnicode_DATA(o)); }

// C string: a pointer into a bytes or bytearray object's own buffer.
template <bool AsciiStr = false, int K, class Ptr>
inline bool to_cstr(PyObject* o, Ptr& out, Loans<K>& loans) {
    if (CSDK_LIKELY(PyBytes_Check(o))) {
        out = PyBytes_AS_STRING(o);
        return true;
    }
    if (AsciiStr && PyUnicode_CheckExact(o)) {
        out = ascii_buffer(o);
        return true;
    }
    if (PyByteArray_Check(o)) {
        Py_buffer* v = loans.lend(o);
        if (!v) return false;
        out = static_cast<char*>(v->buf);
        return true;
    }
    return not_bytes(o);
}

bool request_too_long(Py_ssize_t n);
bool request_length_lies(Py_ssize_t n, Py_ssize_t size);

// Request with length: len() first, then the pointer.  The length handed to
// the SDK fits a C int and never exceeds the buffer it describes.
template <int K>
bool to_request_slow(PyObject* o, char*& ptr, int& len, Loans<K>& loans);

template <bool AsciiStr = false, int K>
inline bool to_request(PyObject* o, char*& ptr, int& len, Loans<K>& loans) {
    if (CSDK_LIKELY(PyBytes_CheckExact(o))) {
        Py_ssize_t n = PyBytes_GET_SIZE(o);
        if (CSDK_UNLIKELY(n > INT_MAX)) return request_too_long(n);
        ptr = PyBytes_AS_STRING(o);
        len = static_cast<int>(n);
        return true;
    }
    if (AsciiStr && PyUnicode_CheckExact(o)) {  // its length is that of its encoding
        Py_ssize_t n = PyUnicode_GET_LENGTH(o);
        if (CSDK_UNLIKELY(n > INT_MAX)) return request_too_long(n);
        ptr = ascii_buffer(o);
        len = static_cast<int>(n);
        return true;
    }
    return to_request_slow(o, ptr, len, loans);
}

// Anything but an exact bytes object: its own len(), which may run Python code.
template <int K>
[[gnu::noinline]] bool to_request_slow(PyObject* o, char*& ptr, int& len, Loans<K>& loans) {
    Py_ssize_t n;
    {
        CallOut guard;  // a subclass's __len__
        if (!guard) return false;
        n = PyObject_Size(o);
    }
    if (n < 0) return false;
    if (n > INT_MAX) return request_too_long(n);
    char* p;
    Py_ssize_t size;
    if (PyBytes_Check(o)) {
        p = PyBytes_AS_STRING(o);
        size = PyBytes_GET_SIZE(o);
    } else if (PyByteArray_Check(o)) {
        Py_buffer* v = loans.lend(o);
        if (!v) return false;
        p = static_cast<char*>(v->buf);
        size = v->len;
    } else {
        return not_bytes(o);
    }
    if (n > size) return request_length_lies(n, size);
    ptr = p;
    len = static_cast<int>(n);
    return true;
}

bool int_slow(PyObject* o, int& out);

// C int: an int by value, anything else through its type's __int__ (a float
// truncates); 32-bit signed range.  No warning is ever emitted.
inline bool to_int(PyObject* o, int& out) {
    if (CSDK_LIKELY(PyLong_CheckExact(o))) {
        int overflow = 0;
        long v = PyLong_AsLongAndOverflow(o, &overflow);
        if (CSDK_LIKELY(!overflow && v >= INT_MIN && v <= INT_MAX)) {
            out = static_cast<int>(v);
            return true;
        }
    }
    return int_slow(o, out);
}

inline bool to_double(PyObject* o, double& out) {
    if (CSDK_LIKELY(PyFloat_CheckExact(o))) {
        out = PyFloat_AS_DOUBLE(o);
        return true;
    }
    CallOut guard;  // __float__ or __index__
    if (!guard) return false;
    double v = PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) return false;
    out = v;
    return true;
}

inline bool to_bool(PyObject* o, bool& out) {
    int t = truth(o);
    if (t < 0) return false;
    out = t != 0;
    return true;
}

// Text owned by the SDK, copied into bytes.  A NULL text is an SDK fault and
// raises SystemError naming the function.
PyObject* text_result(const char* text, const char* sdk);

// (status, bytes) when the status means success, else (status, None).
PyObject* response_result(int status, const char* res, int res_len, const char* sdk);

// Address text when the status means success, else None.
PyObject* address_result(int status, const char* addr, const char* sdk);

}  // namespace csdk
