// The module's function objects.
//
// Every callable the module creates (bindings, helpers, record methods and
// property accessors, the decorator's wrappers and the direct SDK objects) is
// a `Function`: a vectorcall object whose entry point is the implementation
// itself, with a name, a qualified name, `__module__` "c_sdk", an optional
// docstring and a parameter list that the argument binder and
// `inspect.signature` both read.  Functions bind to instances like Python
// functions do, so they can serve as methods of the record classes.
#pragma once
#include "module/python.h"

namespace csdk {

// Static description of one callable.
struct FuncDef {
    const char* name;     // __name__, and the name used in argument errors
    vectorcallfunc impl;  // called with the function object as `self`
    const char* params;   // parameter names, comma separated ("" for none)
    const char* sdk;      // SDK function it calls, for diagnostics (may be null)
    const char* doc;      // __doc__ (null: None)
    int required = -1;    // number of required parameters (-1: all)
    const char* text_signature = nullptr;  // overrides the one built from params
    // For a binding registered through adapt_to_python3: the same binding,
    // taking an exact str of ASCII characters wherever it takes bytes, as the
    // bytes of its encoding.  Only the decorator's wrapper enters it, once it
    // has checked every str argument of the call.  Null for everything else.
    vectorcallfunc ascii_impl = nullptr;
};

struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FuncDef* def;
    PyObject* params;    // tuple of interned parameter names
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* closure;   // tuple of cells, or null
    PyObject* dict;
    PyObject* weakrefs;
    PyObject* defaults;  // tuple of default values for the trailing optional parameters, or null
};

extern PyTypeObject FunctionType;

// Makes a function for `def`.  `qualname` defaults to the name; `closure`
// (a tuple of cells) and `defaults` may be null.  New reference.
PyObject* make_function(const FuncDef* def, PyObject* qualname = nullptr,
                        PyObject* closure = nullptr, PyObject* defaults = nullptr);

inline Function* as_function(PyObject* self) { return reinterpret_cast<Function*>(self); }

// Readies the type; called once by the module's exec step.
int init_function_type();

// Number of names in a comma separated parameter list, for compile-time checks.
constexpr int count_params(const char* s) {
    if (*s == '\0') return 0;
    int n = 1;
    for (; *s; ++s) n += (*s == ',');
    return n;
}

}  // namespace csdk
