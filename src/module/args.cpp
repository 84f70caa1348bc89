#include "module/args.h"
#include "module/compat.h"

#include <cstring>

namespace csdk {

namespace {

char* put_text(char* p, const char* text) {
    size_t n = std::strlen(text);
    std::memcpy(p, text, n);
    return p + n;
}

char* put_count(char* p, Py_ssize_t v) {
    char digits[24];
    int n = 0;
    size_t u = v < 0 ? 0 - static_cast<size_t>(v) : static_cast<size_t>(v);
    do {
        digits[n++] = static_cast<char>('0' + u % 10);
        u /= 10;
    } while (u);
    if (v < 0) *p++ = '-';
    while (n) *p++ = digits[--n];
    return p;
}

// "%.200s() takes %.8s %zd positional argument%.1s (%zd given)".  The text
// is assembled here rather than by PyErr_Format, whose format parsing is
// most of the cost of a failed call; the result is the same string.
void count_error(const char* name, const char* word, Py_ssize_t expected, Py_ssize_t given) {
    size_t name_len = std::strlen(name);
    if (name_len > 200 || std::strlen(word) > 8) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                     name, word, expected, expected == 1 ? "" : "s", given);
        return;
    }
    char buf[200 + 8 + 2 * 24 + 64];
    std::memcpy(buf, name, name_len);
    char* p = put_text(buf + name_len, "() takes ");
    p = put_text(p, word);
    *p++ = ' ';
    p = put_count(p, expected);
    p = put_text(p, " positional argument");
    if (expected != 1) *p++ = 's';
    p = put_text(p, " (");
    p = put_count(p, given);
    p = put_text(p, " given)");
    // Decoded as PyErr_Format decodes its %s arguments.
    PyObject* message = PyUnicode_DecodeUTF8(buf, p - buf, "replace");
    if (!message) return;
    PyErr_SetObject(PyExc_TypeError, message);
    Py_DECREF(message);
}

// Index of keyword `key` among the parameters, or -1.  Interned names match
// by identity; others (keys of a ** mapping) by value.
Py_ssize_t param_index(PyObject* params, PyObject* key) {
    Py_ssize_t n = PyTuple_GET_SIZE(params);
    for (Py_ssize_t i = 0; i < n; ++i)
        if (PyTuple_GET_ITEM(params, i) == key) return i;
    if (!PyUnicode_Check(key)) return -1;
    for (Py_ssize_t i = 0; i < n; ++i)
        if (compat::str_equal(PyTuple_GET_ITEM(params, i), key)) return i;
    return -1;
}

// Position of parameter `name` among the keywords, or -1.
Py_ssize_t keyword_index(PyObject* kwnames, Py_ssize_t nkw, PyObject* name) {
    for (Py_ssize_t j = 0; j < nkw; ++j)
        if (PyTuple_GET_ITEM(kwnames, j) == name) return j;
    for (Py_ssize_t j = 0; j < nkw; ++j) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, j);
        if (PyUnicode_Check(key) && compat::str_equal(key, name)) return j;
    }
    return -1;
}

}  // namespace

PyObject* const* bind_slow(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames, PyObject** buf) {
    Function* fn = as_function(self);
    const char* name = fn->def->name;
    Py_ssize_t n = PyTuple_GET_SIZE(fn->params);
    Py_ssize_t required = fn->def->required < 0 ? n : fn->def->required;
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;

    if (n == 0) {
        if (nargs > 0) {
            PyErr_Format(PyExc_TypeError, "%.200s() %s (%zd given)", name, "takes no arguments", nargs);
            return nullptr;
        }
        if (nkw > 0) {
            PyErr_Format(PyExc_TypeError, "%.200s() %s", name, "takes no keyword arguments");
            return nullptr;
        }
        return buf;
    }
    if (nargs > n) {
        count_error(name, required == n ? "exactly" : "at most", n, nargs);
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) buf[i] = args[i];

    PyObject* const* kwvalues = args + nargs;
    Py_ssize_t used = 0;
    for (Py_ssize_t i = nargs; i < n; ++i) {
        Py_ssize_t j = nkw ? keyword_index(kwnames, nkw, PyTuple_GET_ITEM(fn->params, i)) : -1;
        if (j >= 0) {
            buf[i] = kwvalues[j];
            ++used;
        } else if (i < required) {
            count_error(name, required == n ? "exactly" : "at least", required, i);
            return nullptr;
        } else {
            buf[i] = nullptr;
        }
    }
    if (used < nkw) {
        for (Py_ssize_t j = 0; j < nkw; ++j) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, j);
            if (!PyUnicode_Check(key)) {
                PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", name);
                return nullptr;
            }
            Py_ssize_t p = param_index(fn->params, key);
            if (p < 0) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", name, key);
                return nullptr;
            }
            if (p < nargs) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", name, key);
                return nullptr;
            }
        }
    }
    return buf;
}

}  // namespace csdk
