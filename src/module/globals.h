// Module globals read at call time.
//
// Each name is looked up in the module namespace, then among the builtins,
// at every use, so a rebinding from Python takes effect at the next call.
// The lookup is cached against the state of the two dictionaries
// (compat::dict_version): any change to either invalidates the cached value.
#pragma once
#include <cstdint>

#include "module/compat.h"

namespace csdk {

struct Global {
    const char* text;           // the global's name
    PyObject* name = nullptr;   // interned, made by init_globals
    PyObject* value = nullptr;  // borrowed from the dictionary that holds it
    uint64_t module_version = 0;
    uint64_t builtins_version = 0;
    bool from_builtins = false;
    bool small_int = false;     // value is an exact int that fits a C long
    long int_value = 0;
};

// The module's namespace and the builtins' namespace, set by the exec step.
extern PyObject* module_dict;
extern PyObject* builtins_dict;

namespace globals {
extern Global CSDK_OPERATE_SUCCESS;
extern Global IS_PY2;
extern Global f;
extern Global vqsdklogger;
extern Global adapt_to_python3;
extern Global py_vqi_strerror;
extern Global platform;
}  // namespace globals

int init_globals(PyObject* module_namespace);

PyObject* lookup_slow(Global& g);

using compat::dict_version;

// Borrowed reference to the global's current value, or null with NameError.
inline PyObject* lookup(Global& g) {
    if (CSDK_LIKELY(g.value && dict_version(module_dict) == g.module_version &&
                    (!g.from_builtins || dict_version(builtins_dict) == g.builtins_version)))
        return g.value;
    return lookup_slow(g);
}

// The same as an owned reference, for a value that must outlive a call into
// Python code.
inline Ref lookup_ref(Global& g) { return Ref::borrow(lookup(g)); }

// Looks up a global by name object (for names known only at run time, such
// as a record class's own name).  Borrowed reference, or null with NameError.
PyObject* lookup_name(PyObject* name);

// Truth value of `status == CSDK_OPERATE_SUCCESS` (or `!=` with op Py_NE),
// with the status int as the left operand; -1 with an exception set.
inline int compare_success(PyObject* status_obj, int status, int op = Py_EQ) {
    PyObject* success = lookup(globals::CSDK_OPERATE_SUCCESS);
    if (CSDK_UNLIKELY(!success)) return -1;
    if (CSDK_LIKELY(globals::CSDK_OPERATE_SUCCESS.small_int))
        return (globals::CSDK_OPERATE_SUCCESS.int_value == status) == (op == Py_EQ);
    if (PyLong_CheckExact(success)) return op != Py_EQ;  // an int beyond a C long equals no status
    Ref held = Ref::borrow(success);  // its __eq__ may rebind the global
    PyObject* cmp = PyObject_RichCompare(status_obj, success, op);
    if (!cmp) return -1;
    int truth = cmp == Py_True ? 1 : cmp == Py_False ? 0 : PyObject_IsTrue(cmp);
    Py_DECREF(cmp);
    return truth;
}

// Python truth value with the common constants decided without a call.
inline int truth(PyObject* o) {
    if (o == Py_True) return 1;
    if (o == Py_False || o == Py_None) return 0;
    CallOut guard;  // __bool__ or __len__
    if (!guard) return -1;
    Ref held = Ref::borrow(o);  // which may drop the caller's reference to o
    return PyObject_IsTrue(o);
}

}  // namespace csdk
