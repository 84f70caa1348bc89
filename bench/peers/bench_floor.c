/*
 * bench_floor: the hand-written floor of the benchmark.
 *
 * The least a CPython extension can do to give each benchmarked call the
 * same result as c_sdk on the success path: vectorcall entry points, the
 * same SDK call, the same result object, and only the checks that this work
 * needs.  Each member is a small function object of this module's own type
 * that binds as a method (as c_sdk's do, and as a Python function does), so
 * that the interpreter calls both the same way: from 3.11 it calls its own
 * builtin functions through specialised instructions, and any other callable
 * through its generic vectorcall path.  Module globals (CSDK_OPERATE_SUCCESS, IS_PY2, f) live in this
 * module's own namespace and are re-read at every call through a cache that
 * rebinding them from Python invalidates: keyed on the namespace's version
 * tag up to 3.11 (a public field there), and from 3.12, which deprecates the
 * tag, on a counter that a dictionary watcher on the namespace advances at
 * every change.  Members that c_sdk binds through adapt_to_python3 do that work
 * inline: IS_PY2 is read and str arguments are taken as ASCII, without a
 * second call: an exact str holding only ASCII lends its own buffer, any
 * other str fails as its encoding would (the `encode` method of a subclass
 * is called).
 *
 * Benchmark-only code: it is not part of c_sdk.
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <limits.h>
#include <stddef.h>
#include <string.h>

#include "sdk/vqsdk.h"

static PyObject* module_dict;

typedef struct {
    const char* text;
    PyObject* name;
    PyObject* value;
    uint64_t version;
    long int_value;
    int small_int;
} Global;

static Global g_success = {"CSDK_OPERATE_SUCCESS"};
static Global g_is_py2 = {"IS_PY2"};
static Global g_f = {"f"};

#if PY_VERSION_HEX >= 0x030C0000
static uint64_t watched_generation = 1;
static int watcher_id = -1;

static int on_dict_event(PyDict_WatchEvent event, PyObject* dict, PyObject* key,
                         PyObject* value) {
    ++watched_generation;
    return 0;
}

static inline uint64_t dict_version(PyObject* d) { return watched_generation; }

static int watch_dict(PyObject* d) {
    if (watcher_id < 0 && (watcher_id = PyDict_AddWatcher(on_dict_event)) < 0) return -1;
    ++watched_generation;
    return PyDict_Watch(watcher_id, d);
}
#else
static inline uint64_t dict_version(PyObject* d) { return ((PyDictObject*)d)->ma_version_tag; }
static int watch_dict(PyObject* d) { return 0; }
#endif

/* The vectorcall names: public from 3.9, underscored in 3.8 (but for
 * PyVectorcall_NARGS, public in 3.8 already). */
#define vc_nargs PyVectorcall_NARGS
#if PY_VERSION_HEX >= 0x03090000
#define vectorcall PyObject_Vectorcall
#define TPFLAGS_HAVE_VECTORCALL Py_TPFLAGS_HAVE_VECTORCALL
#else
#define vectorcall _PyObject_Vectorcall
#define TPFLAGS_HAVE_VECTORCALL _Py_TPFLAGS_HAVE_VECTORCALL
#endif

/* ---- the function objects ---- */

typedef struct {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const char* name;
} Function;

static PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<bench_floor function %s>", ((Function*)self)->name);
}

/* Binds as a method when found on a class, as a Python function does. */
static PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject* type) {
    if (obj == NULL || obj == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, obj);
}

static PyTypeObject FunctionType = {
    PyVarObject_HEAD_INIT(NULL, 0)
    .tp_name = "bench_floor.function",
    .tp_basicsize = sizeof(Function),
    .tp_vectorcall_offset = offsetof(Function, vectorcall),
    .tp_repr = function_repr,
    .tp_call = PyVectorcall_Call,
    .tp_flags = Py_TPFLAGS_DEFAULT | TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR,
    .tp_descr_get = function_descr_get,
};

static int add_function(PyObject* module, const char* name, vectorcallfunc impl) {
    Function* fn = PyObject_New(Function, &FunctionType);
    if (!fn) return -1;
    fn->vectorcall = impl;
    fn->name = name;
    int r = PyModule_AddObject(module, name, (PyObject*)fn);
    if (r < 0) Py_DECREF(fn);
    return r;
}

static PyObject* global_slow(Global* g) {
    PyObject* v = PyDict_GetItemWithError(module_dict, g->name);
    g->value = NULL;
    if (!v) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", g->name);
        return NULL;
    }
    g->small_int = 0;
    if (PyLong_CheckExact(v)) {
        int overflow;
        long iv = PyLong_AsLongAndOverflow(v, &overflow);
        if (!overflow) {
            g->small_int = 1;
            g->int_value = iv;
        }
    }
    g->value = v;
    g->version = dict_version(module_dict);
    return v;
}

static inline PyObject* global(Global* g) {
    if (g->value && g->version == dict_version(module_dict)) return g->value;
    return global_slow(g);
}

/* status == CSDK_OPERATE_SUCCESS: 1, 0, or -1 with an exception. */
static inline int is_success(PyObject* status_obj, int status) {
    PyObject* ok = global(&g_success);
    if (!ok) return -1;
    if (g_success.small_int) return g_success.int_value == status;
    return PyObject_RichCompareBool(status_obj, ok, Py_EQ);
}

/* IS_PY2's truth value: 1, 0, or -1. */
static inline int is_py2(void) {
    PyObject* v = global(&g_is_py2);
    if (!v) return -1;
    if (v == Py_False) return 0;
    if (v == Py_True) return 1;
    return PyObject_IsTrue(v);
}

/* ---- argument binding: the fast path is a complete positional call ---- */

static int count_error(const char* name, Py_ssize_t expected, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", name,
                 "exactly", expected, expected == 1 ? "" : "s", given);
    return -1;
}

/* Parameter names, interned once: call sites pass interned keyword names,
 * so a match is normally found by identity. */
typedef struct {
    const char* name;
    Py_ssize_t n;
    const char* const* text;
    PyObject* interned[12];
} Params;

static int intern_params(Params* p) {
    for (Py_ssize_t i = 0; i < p->n; ++i)
        if (!(p->interned[i] = PyUnicode_InternFromString(p->text[i]))) return -1;
    return 0;
}

/* Fills out[0..n) from positional and keyword arguments. */
static int bind_keywords(Params* p, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nargs > p->n) return count_error(p->name, p->n, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    for (Py_ssize_t i = nargs; i < p->n; ++i) {
        PyObject* want = p->interned[i];
        Py_ssize_t j = 0;
        while (j < nkw && PyTuple_GET_ITEM(kwnames, j) != want) ++j;
        if (j == nkw)
            for (j = 0; j < nkw; ++j)
                if (PyUnicode_Compare(PyTuple_GET_ITEM(kwnames, j), want) == 0) break;
        if (j == nkw) return count_error(p->name, p->n, i);
        out[i] = args[nargs + j];
    }
    if (nargs + nkw != p->n) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument", p->name);
        return -1;
    }
    return 0;
}

static inline PyObject* const* bind(Params* p, PyObject* const* args, size_t nargsf, PyObject* kwnames,
                                    PyObject** buf) {
    Py_ssize_t nargs = vc_nargs(nargsf);
    if (nargs == p->n && !kwnames) return args;
    return bind_keywords(p, args, nargs, kwnames, buf) < 0 ? NULL : buf;
}

/* ---- conversions ---- */

static int expected_bytes(PyObject* o) {
    PyErr_Format(PyExc_TypeError, "expected bytes, %.200s found", Py_TYPE(o)->tp_name);
    return -1;
}

/* The buffer of an exact str that holds only ASCII (which adapt_args lets
 * through): its characters, NUL-terminated, as ASCII encoding gives them. */
static inline int ascii_str(PyObject* o) { return PyUnicode_CheckExact(o) && PyUnicode_IS_ASCII(o); }

static inline int as_cstr(PyObject* o, const char** out, int str_ok) {
    if (PyBytes_Check(o)) {
        *out = PyBytes_AS_STRING(o);
        return 0;
    }
    if (PyByteArray_Check(o)) {
        *out = PyByteArray_AS_STRING(o);
        return 0;
    }
    if (str_ok && PyUnicode_CheckExact(o)) {
        *out = (const char*)PyUnicode_DATA(o);
        return 0;
    }
    return expected_bytes(o);
}

static inline int as_int(PyObject* o, int* out) {
    long v = PyLong_AsLong(o);
    if (v == -1 && PyErr_Occurred()) return -1;
    if (v < INT_MIN || v > INT_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return -1;
    }
    *out = (int)v;
    return 0;
}

static inline int as_double(PyObject* o, double* out) {
    if (PyFloat_CheckExact(o)) {
        *out = PyFloat_AS_DOUBLE(o);
        return 0;
    }
    *out = PyFloat_AsDouble(o);
    return (*out == -1.0 && PyErr_Occurred()) ? -1 : 0;
}

/* The decorator's work, inline: with IS_PY2 false, str arguments become
 * ASCII: an exact str of ASCII characters is passed on as it is (the
 * conversions take its buffer), any other str is encoded, a subclass by its
 * own `encode`.  `owned` receives the new objects (released by the caller). */
static int adapt_args(PyObject* const* in, Py_ssize_t n, PyObject** out, PyObject** owned, Py_ssize_t* nowned) {
    int py2 = is_py2();
    if (py2 < 0) return -1;
    *nowned = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* a = in[i];
        if (!py2 && PyUnicode_Check(a) && !ascii_str(a)) {
            a = PyUnicode_CheckExact(a) ? PyUnicode_AsASCIIString(a) : PyObject_CallMethod(a, "encode", "s", "ascii");
            if (!a) return -1;
            owned[(*nowned)++] = a;
        }
        out[i] = a;
    }
    return 0;
}

static void release(PyObject** owned, Py_ssize_t n) {
    for (Py_ssize_t i = 0; i < n; ++i) Py_DECREF(owned[i]);
}

/* ---- request/response ---- */

static PyObject* response(int status, const char* res, int res_len) {
    PyObject* st = PyLong_FromLong(status);
    if (!st) return NULL;
    int ok = is_success(st, status);
    PyObject* payload;
    if (ok > 0) {
        payload = PyBytes_FromStringAndSize(res, res_len);
    } else if (ok == 0) {
        payload = Py_None;
        Py_INCREF(payload);
    } else {
        payload = NULL;
    }
    if (!payload) {
        Py_DECREF(st);
        return NULL;
    }
    PyObject* t = PyTuple_New(2);
    if (!t) {
        Py_DECREF(st);
        Py_DECREF(payload);
        return NULL;
    }
    PyTuple_SET_ITEM(t, 0, st);
    PyTuple_SET_ITEM(t, 1, payload);
    return t;
}

typedef int (*request_fn)(char*, int, char**, int*);

static PyObject* request(PyObject* req, request_fn fn, int str_ok) {
    char* p;
    Py_ssize_t n;
    if (PyBytes_CheckExact(req)) {
        p = PyBytes_AS_STRING(req);
        n = PyBytes_GET_SIZE(req);
    } else if (str_ok && PyUnicode_CheckExact(req)) {
        p = (char*)PyUnicode_DATA(req);
        n = PyUnicode_GET_LENGTH(req);
    } else {
        n = PyObject_Size(req);
        if (n < 0) return NULL;
        if (PyBytes_Check(req)) p = PyBytes_AS_STRING(req);
        else if (PyByteArray_Check(req)) p = PyByteArray_AS_STRING(req);
        else return expected_bytes(req), NULL;
    }
    if (n > INT_MAX) {
        PyErr_SetString(PyExc_OverflowError, "request too long");
        return NULL;
    }
    char* res = NULL;
    int res_len = 0;
    int status = fn(p, (int)n, &res, &res_len);
    return response(status, res, res_len);
}

static const char* const req_names[] = {"req"};
static Params history_params = {"py_vqi_history_bars_pb", 1, req_names};
static Params order_params = {"py_vqi_place_order", 1, req_names};

static PyObject* history_bars(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    PyObject* buf[1];
    PyObject* const* a = bind(&history_params, args, nargsf, kwnames, buf);
    if (!a) return NULL;
    return request(a[0], vqi_history_bars_pb, 0);
}

static PyObject* place_order(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    PyObject *buf[1], *conv[1], *owned[1];
    Py_ssize_t nowned;
    PyObject* const* a = bind(&order_params, args, nargsf, kwnames, buf);
    if (!a || adapt_args(a, 1, conv, owned, &nowned) < 0) return NULL;
    PyObject* r = request(conv[0], vqi_place_order_pb, 1);
    release(owned, nowned);
    return r;
}

/* ---- setters ---- */

static const char* const subscribe_names[] = {"symbols", "frequency", "unsubscribe_previous"};
static Params subscribe_params = {"py_vqi_subscribe", 3, subscribe_names};

static PyObject* subscribe(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    PyObject *buf[3], *conv[3], *owned[3];
    Py_ssize_t nowned;
    PyObject* const* a = bind(&subscribe_params, args, nargsf, kwnames, buf);
    if (!a || adapt_args(a, 3, conv, owned, &nowned) < 0) return NULL;
    PyObject* r = NULL;
    const char *symbols, *frequency;
    int flag;
    if (as_cstr(conv[0], &symbols, 1) == 0 && as_cstr(conv[1], &frequency, 1) == 0 &&
        (flag = PyObject_IsTrue(conv[2])) >= 0)
        r = PyLong_FromLong(vqi_subscribe(symbols, frequency, flag != 0));
    release(owned, nowned);
    return r;
}

static const char* const backtest_names[] = {
    "start_time",        "end_time",       "initial_cash",
    "transaction_ratio", "commission_ratio", "commission_unit",
    "slippage_ratio",    "option_float_margin_ratio1", "option_float_margin_ratio2",
    "adjust",            "match_mode",     "check_cache"};
static Params backtest_params = {"py_vqi_set_backtest_config", 12, backtest_names};

static PyObject* set_backtest_config(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    PyObject *buf[12], *conv[12], *owned[12];
    Py_ssize_t nowned;
    PyObject* const* a = bind(&backtest_params, args, nargsf, kwnames, buf);
    if (!a || adapt_args(a, 12, conv, owned, &nowned) < 0) return NULL;
    PyObject* r = NULL;
    const char *start, *end;
    double d[7];
    int adjust, match_mode, check_cache;
    if (as_cstr(conv[0], &start, 1) == 0 && as_cstr(conv[1], &end, 1) == 0 && as_double(conv[2], &d[0]) == 0 &&
        as_double(conv[3], &d[1]) == 0 && as_double(conv[4], &d[2]) == 0 && as_double(conv[5], &d[3]) == 0 &&
        as_double(conv[6], &d[4]) == 0 && as_double(conv[7], &d[5]) == 0 && as_double(conv[8], &d[6]) == 0 &&
        as_int(conv[9], &adjust) == 0 && as_int(conv[10], &match_mode) == 0 && as_int(conv[11], &check_cache) == 0)
        r = PyLong_FromLong(vqi_set_backtest_config(start, end, d[0], d[1], d[2], d[3], d[4], d[5], d[6], adjust,
                                                    match_mode, check_cache));
    release(owned, nowned);
    return r;
}

/* ---- texts and the clock ---- */

static const char* const strerror_names[] = {"errorno"};
static Params strerror_params = {"py_vqi_strerror", 1, strerror_names};

static PyObject* strerror_(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    PyObject* buf[1];
    PyObject* const* a = bind(&strerror_params, args, nargsf, kwnames, buf);
    int e;
    if (!a || as_int(a[0], &e) < 0) return NULL;
    return PyBytes_FromString(vqi_strerror(e));
}

static PyObject* now(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    if (vc_nargs(nargsf) || kwnames) return count_error("vqi_now", 0, vc_nargs(nargsf)), NULL;
    return PyLong_FromLongLong(vqi_now());
}

/* ---- events ---- */

static void callback(const char* text, const char* data, int len) {
    PyObject *args[3] = {NULL, NULL, NULL}, *fn, *r = NULL;
    int py2 = is_py2();
    if (py2 >= 0 &&
        (args[1] = py2 ? PyBytes_FromString(text) : PyUnicode_DecodeUTF8(text, (Py_ssize_t)strlen(text), NULL)) &&
        (fn = global(&g_f)) && (args[2] = PyBytes_FromStringAndSize(data, len))) {
        Py_INCREF(fn);
        r = vectorcall(fn, args + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, NULL);
        Py_DECREF(fn);
    }
    Py_XDECREF(args[1]);
    Py_XDECREF(args[2]);
    if (r) {
        Py_DECREF(r);
        return;
    }
    PyErr_WriteUnraisable(NULL);
}

static PyObject* set_data_callback(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    if (vc_nargs(nargsf) != 1 || kwnames) return count_error("py_vqi_set_data_callback", 1, vc_nargs(nargsf)), NULL;
    if (PyDict_SetItem(module_dict, g_f.name, args[0]) < 0) return NULL;
    vqi_set_event_callback_pb(callback);
    Py_RETURN_NONE;
}

static PyObject* run(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    if (vc_nargs(nargsf) || kwnames) return count_error("py_vqi_run", 0, vc_nargs(nargsf)), NULL;
    return PyLong_FromLong(vqi_run());
}

/* The same, for a run loop that lets go of the interpreter lock while it is
 * inside the SDK: the callback takes it back for the callable, then lets it
 * go again, as c_sdk does with CSDK_RUN_UNLOCKED=1. */
static PyThreadState* released;

static void callback_unlocked(const char* text, const char* data, int len) {
    PyEval_RestoreThread(released);
    callback(text, data, len);
    released = PyEval_SaveThread();
}

static PyObject* set_data_callback_unlocked(PyObject* self, PyObject* const* args, size_t nargsf,
                                            PyObject* kwnames) {
    if (vc_nargs(nargsf) != 1 || kwnames) return count_error("py_vqi_set_data_callback", 1, vc_nargs(nargsf)), NULL;
    if (PyDict_SetItem(module_dict, g_f.name, args[0]) < 0) return NULL;
    vqi_set_event_callback_pb(callback_unlocked);
    Py_RETURN_NONE;
}

static PyObject* run_unlocked(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    int status;
    if (vc_nargs(nargsf) || kwnames) return count_error("py_vqi_run", 0, vc_nargs(nargsf)), NULL;
    released = PyEval_SaveThread();
    status = vqi_run();
    PyEval_RestoreThread(released);
    return PyLong_FromLong(status);
}

static const struct {
    const char* name;
    vectorcallfunc impl;
} functions[] = {
    {"py_vqi_history_bars_pb", history_bars},
    {"py_vqi_place_order", place_order},
    {"py_vqi_subscribe", subscribe},
    {"py_vqi_set_backtest_config", set_backtest_config},
    {"py_vqi_strerror", strerror_},
    {"vqi_now", now},
    {"py_vqi_set_data_callback", set_data_callback},
    {"py_vqi_run", run},
    {"py_vqi_set_data_callback_unlocked", set_data_callback_unlocked},
    {"py_vqi_run_unlocked", run_unlocked},
};

static struct PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "bench_floor", NULL, -1, NULL};

PyMODINIT_FUNC PyInit_bench_floor(void) {
    if (PyType_Ready(&FunctionType) < 0) return NULL;
    PyObject* m = PyModule_Create(&module_def);
    if (!m) return NULL;
    for (size_t i = 0; i < sizeof functions / sizeof functions[0]; ++i)
        if (add_function(m, functions[i].name, functions[i].impl) < 0) {
            Py_DECREF(m);
            return NULL;
        }
    module_dict = PyModule_GetDict(m);
    if (watch_dict(module_dict) < 0) {
        Py_DECREF(m);
        return NULL;
    }
    Params* params[] = {&history_params, &order_params, &subscribe_params, &backtest_params, &strerror_params};
    for (size_t i = 0; i < sizeof params / sizeof params[0]; ++i)
        if (intern_params(params[i]) < 0) return NULL;
    Global* all[] = {&g_success, &g_is_py2, &g_f};
    for (size_t i = 0; i < sizeof all / sizeof all[0]; ++i)
        if (!(all[i]->name = PyUnicode_InternFromString(all[i]->text))) return NULL;
    PyObject* constant = PyImport_ImportModule("vq.constant");
    PyObject* success = constant ? PyObject_GetAttrString(constant, "CSDK_OPERATE_SUCCESS") : NULL;
    Py_XDECREF(constant);
    if (!success || PyDict_SetItem(module_dict, g_success.name, success) < 0 ||
        PyDict_SetItem(module_dict, g_is_py2.name, Py_False) < 0) {
        Py_XDECREF(success);
        Py_DECREF(m);
        return NULL;
    }
    Py_DECREF(success);
    return m;
}
