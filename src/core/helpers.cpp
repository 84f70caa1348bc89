// Platform tests, the decorator adapt_to_python3, and the status helpers.
#include "module/args.h"
#include "module/convert.h"
#include "module/globals.h"
#include "module/members.h"

namespace csdk {

namespace {

struct Strings {
    PyObject* uname;
    PyObject* lower;
    PyObject* windows;
    PyObject* linux_;
    PyObject* encode;
    PyObject* ascii;
    PyObject* decode;
    PyObject* utf8;
    PyObject* format;
    PyObject* debug;
    PyObject* with_name;
    PyObject* without_name;
    PyObject* empty;
    PyObject* wrapper_qualname;
    PyObject* zero;
};
Strings s;

int init_strings() {
    if (s.uname) return 0;
    struct { PyObject** slot; const char* text; } table[] = {
        {&s.uname, "uname"}, {&s.lower, "lower"}, {&s.windows, "windows"}, {&s.linux_, "linux"},
        {&s.encode, "encode"}, {&s.ascii, "ascii"}, {&s.decode, "decode"}, {&s.utf8, "utf8"},
        {&s.format, "format"}, {&s.debug, "debug"},
        {&s.with_name, "invoke c fun={} error code={}, error info={}"},
        {&s.without_name, "invoke c fun error code={}, error info={}"},
        {&s.empty, ""}, {&s.wrapper_qualname, "adapt_to_python3.<locals>.wrapper"},
    };
    for (auto& e : table)
        if (!(*e.slot = PyUnicode_InternFromString(e.text))) return -1;
    s.zero = PyLong_FromLong(0);
    return s.zero ? 0 : -1;
}

// ---- is_windows(), is_linux() ----

PyObject* system_is(PyObject* self, size_t nargsf, PyObject* kwnames, PyObject* system) {
    if (!bind_none(self, nargsf, kwnames)) return nullptr;
    CallOut guard;  // platform.uname() and what it returns are any objects
    if (!guard) return nullptr;
    Ref platform = lookup_ref(globals::platform);
    if (!platform) return nullptr;
    PyObject* uname = PyObject_CallMethodObjArgs(platform.get(), s.uname, nullptr);
    if (!uname) return nullptr;
    PyObject* name = PyObject_GetItem(uname, s.zero);
    Py_DECREF(uname);
    if (!name) return nullptr;
    PyObject* lowered = PyObject_CallMethodObjArgs(name, s.lower, nullptr);
    Py_DECREF(name);
    if (!lowered) return nullptr;
    PyObject* result = PyObject_RichCompare(lowered, system, Py_EQ);
    Py_DECREF(lowered);
    return result;
}

PyObject* is_windows(PyObject* self, PyObject* const*, size_t nargsf, PyObject* kwnames) {
    return system_is(self, nargsf, kwnames, s.windows);
}

PyObject* is_linux(PyObject* self, PyObject* const*, size_t nargsf, PyObject* kwnames) {
    return system_is(self, nargsf, kwnames, s.linux_);
}

// ---- adapt_to_python3(func) and its wrapper ----

// ASCII bytes for a str argument, through its own `encode` for subclasses.
PyObject* encode_ascii(PyObject* o) {
    if (PyUnicode_CheckExact(o)) return PyUnicode_AsASCIIString(o);
    CallOut guard;  // the subclass's encode may be any callable, a wrapper included
    return guard ? PyObject_CallMethodObjArgs(o, s.encode, s.ascii, nullptr) : nullptr;
}

PyObject* wrapper_call(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames);

// Calls the decorated function.  One of this module's bindings is entered
// directly, as no Python code runs in between and it guards its own calls
// out; any other callable (another wrapper included) counts towards the
// recursion limit.
inline bool is_binding(PyObject* func) {
    return Py_TYPE(func) == &FunctionType && as_function(func)->def->impl != wrapper_call;
}

[[gnu::always_inline]] inline PyObject* call_func(PyObject* func, PyObject* const* args, size_t nargsf,
                                                PyObject* kwnames) {
    if (is_binding(func)) return as_function(func)->vectorcall(func, args, nargsf, kwnames);
    CallOut guard;
    return guard ? compat::vectorcall(func, args, nargsf, kwnames) : nullptr;
}

// Calls func with the str arguments from index `first` on encoded.
PyObject* call_encoded(PyObject* func, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                       Py_ssize_t total, Py_ssize_t first) {
    PyObject* small[17];
    PyObject** stack = total < 16 ? small : PyMem_New(PyObject*, total + 1);
    if (!stack) return PyErr_NoMemory();
    PyObject** converted = stack + 1;
    Py_ssize_t done = 0;
    for (; done < total; ++done) {
        PyObject* a = args[done];
        if (done >= first && PyUnicode_Check(a)) {
            if (!(converted[done] = encode_ascii(a))) break;
        } else {
            Py_INCREF(a);
            converted[done] = a;
        }
    }
    PyObject* result = done == total
                           ? call_func(func, converted, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames)
                           : nullptr;
    for (Py_ssize_t i = 0; i < done; ++i) Py_DECREF(converted[i]);
    if (stack != small) PyMem_Free(stack);
    return result;
}

// wrapper(*args, **kwargs): with IS_PY2 false, every top-level str argument
// (positional first, then keyword values) is encoded as ASCII before `func`
// is called; other arguments and the result pass unchanged.  Without a str
// argument the call is forwarded as it came.
PyObject* wrapper_call(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t j = 0; j < nkw; ++j) {
        if (!PyUnicode_Check(PyTuple_GET_ITEM(kwnames, j))) {
            PyErr_SetString(PyExc_TypeError, "wrapper() keywords must be strings");
            return nullptr;
        }
    }
    PyObject* is_py2 = lookup(globals::IS_PY2);
    if (!is_py2) return nullptr;
    int passthrough = truth(is_py2);  // holds IS_PY2's value while its __bool__ runs
    if (passthrough < 0) return nullptr;
    PyObject* func = PyCell_GET(PyTuple_GET_ITEM(as_function(self)->closure, 0));
    if (!func) {
        PyErr_SetString(PyExc_NameError,
                        "free variable 'func' referenced before assignment in enclosing scope");
        return nullptr;
    }
    Py_ssize_t total = nargs + nkw;
    Py_ssize_t first = total;  // the first str argument
    bool ascii = true;         // and every one an exact str of ASCII characters
    if (!passthrough) {
        for (Py_ssize_t i = 0; i < total; ++i) {
            if (!PyUnicode_Check(args[i])) continue;
            if (first == total) first = i;
            if (!is_ascii_str(args[i])) {
                ascii = false;
                break;
            }
        }
    }
    // A binding of this module reads nothing of its own object once it may
    // have called out, so it is handed on as it is; any other callable is
    // held, as the cell may be emptied or rebound while it runs.  Exact str
    // arguments of ASCII characters need no encoding: a binding that has an
    // entry for them reads their own buffers, which hold the same bytes
    // (encoding them could run no Python code, so nothing else would differ).
    if (is_binding(func)) {
        if (first == total) return as_function(func)->vectorcall(func, args, nargsf, kwnames);
        vectorcallfunc ascii_impl = as_function(func)->def->ascii_impl;
        if (ascii && ascii_impl) return ascii_impl(func, args, nargsf, kwnames);
    }
    Py_INCREF(func);
    PyObject* result = first == total ? call_func(func, args, nargsf, kwnames)
                                      : call_encoded(func, args, nargs, kwnames, total, first);
    Py_DECREF(func);
    return result;
}

const FuncDef wrapper_def{"wrapper", wrapper_call, "", nullptr, nullptr, -1, "(*args, **kwargs)"};

PyObject* adapt_to_python3(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    PyObject* buf[1];
    PyObject* const* a = bind<1>(self, args, nargsf, kwnames, buf);
    if (!a) return nullptr;
    PyObject* cell = PyCell_New(a[0]);
    if (!cell) return nullptr;
    PyObject* closure = PyTuple_Pack(1, cell);
    Py_DECREF(cell);
    if (!closure) return nullptr;
    PyObject* wrapper = make_function(&wrapper_def, s.wrapper_qualname, closure);
    Py_DECREF(closure);
    return wrapper;
}

// ---- c_status_ok(status), c_status_fail(status, cfunname='') ----

PyObject* c_status_ok(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    PyObject* buf[1];
    PyObject* const* a = bind<1>(self, args, nargsf, kwnames, buf);
    if (!a) return nullptr;
    Ref success = lookup_ref(globals::CSDK_OPERATE_SUCCESS);  // either __eq__ may rebind it
    if (!success) return nullptr;
    return PyObject_RichCompare(a[0], success.get(), Py_EQ);
}

// Logs one debug record through vqsdklogger for a failure status.
int log_failure(PyObject* status, PyObject* cfunname) {
    Ref strerror = lookup_ref(globals::py_vqi_strerror);
    if (!strerror) return -1;
    PyObject* text = compat::vectorcall(strerror.get(), &status, 1, nullptr);
    if (!text) return -1;
    PyObject* info = PyObject_CallMethodObjArgs(text, s.decode, s.utf8, nullptr);
    Py_DECREF(text);
    if (!info) return -1;
    int named = truth(cfunname);
    Ref logger = named < 0 ? Ref() : lookup_ref(globals::vqsdklogger);
    PyObject* debug = logger ? PyObject_GetAttr(logger.get(), s.debug) : nullptr;
    PyObject* message = nullptr;
    if (debug) {
        message = named ? PyObject_CallMethodObjArgs(s.with_name, s.format, cfunname, status, info, nullptr)
                        : PyObject_CallMethodObjArgs(s.without_name, s.format, status, info, nullptr);
    }
    Py_DECREF(info);
    PyObject* logged = message ? compat::vectorcall(debug, &message, 1, nullptr) : nullptr;
    Py_XDECREF(debug);
    Py_XDECREF(message);
    if (!logged) return -1;
    Py_DECREF(logged);
    return 0;
}

PyObject* c_status_fail(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    PyObject* buf[2];
    PyObject* const* a = bind<2>(self, args, nargsf, kwnames, buf);
    if (!a) return nullptr;
    PyObject* status = a[0];
    PyObject* cfunname = a[1] ? a[1] : s.empty;
    CallOut guard;  // py_vqi_strerror and the logger may be any callables, this function included
    if (!guard) return nullptr;
    Ref success = lookup_ref(globals::CSDK_OPERATE_SUCCESS);  // either __ne__ may rebind it
    if (!success) return nullptr;
    PyObject* isfail = PyObject_RichCompare(status, success.get(), Py_NE);
    if (!isfail) return nullptr;
    int failed = truth(isfail);
    if (failed > 0 && log_failure(status, cfunname) < 0) failed = -1;
    if (failed < 0) Py_CLEAR(isfail);
    return isfail;
}

const Member helper_rows[] = {
    {"is_windows", Plain, FuncDef{"is_windows", is_windows, "", nullptr, nullptr}},
    {"is_linux", Plain, FuncDef{"is_linux", is_linux, "", nullptr, nullptr}},
    {"adapt_to_python3", Plain, FuncDef{"adapt_to_python3", adapt_to_python3, "func", nullptr, nullptr}},
    {"c_status_ok", Plain, FuncDef{"c_status_ok", c_status_ok, "status", nullptr, nullptr}},
    {"c_status_fail", Plain,
     FuncDef{"c_status_fail", c_status_fail, "status, cfunname", nullptr, nullptr, 1, "(status, cfunname='')"}},
};

}  // namespace

int init_helpers() { return init_strings(); }

const MemberTable helper_members = table(helper_rows);

}  // namespace csdk
