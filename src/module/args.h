// Argument binding, shared by every callable of the module.
//
// Parameters are taken by position or by keyword; the errors are the
// module-wide TypeError texts, with the function's own name in them.
#pragma once
#include "module/function.h"

namespace csdk {

// Slow path of `bind`: any mix of positional and keyword arguments, and all
// the argument errors.  Fills `buf` (at least as long as the parameter list)
// and returns it, or returns null with TypeError set.  Optional parameters
// that were not given are left null.
PyObject* const* bind_slow(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames, PyObject** buf);

// Binds a vectorcall to N parameters.  A complete positional call is the
// common case and returns the caller's own array.
template <Py_ssize_t N>
inline PyObject* const* bind(PyObject* self, PyObject* const* args, size_t nargsf,
                             PyObject* kwnames, PyObject** buf) {
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (CSDK_LIKELY(nargs == N && (kwnames == nullptr || PyTuple_GET_SIZE(kwnames) == 0)))
        return args;
    return bind_slow(self, args, nargs, kwnames, buf);
}

// For functions without parameters: true when the call passed none.
inline bool bind_none(PyObject* self, size_t nargsf, PyObject* kwnames) {
    if (CSDK_LIKELY(PyVectorcall_NARGS(nargsf) == 0 &&
                    (kwnames == nullptr || PyTuple_GET_SIZE(kwnames) == 0)))
        return true;
    PyObject* unused = nullptr;
    return bind_slow(self, nullptr, PyVectorcall_NARGS(nargsf), kwnames, &unused) != nullptr;
}

}  // namespace csdk
