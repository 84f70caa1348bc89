#include "module/globals.h"

#include <climits>

namespace csdk {

PyObject* module_dict = nullptr;
PyObject* builtins_dict = nullptr;

namespace globals {
Global CSDK_OPERATE_SUCCESS{"CSDK_OPERATE_SUCCESS"};
Global IS_PY2{"IS_PY2"};
Global f{"f"};
Global vqsdklogger{"vqsdklogger"};
Global adapt_to_python3{"adapt_to_python3"};
Global py_vqi_strerror{"py_vqi_strerror"};
Global platform{"platform"};
}  // namespace globals

namespace {
Global* const all_globals[] = {
    &globals::CSDK_OPERATE_SUCCESS, &globals::IS_PY2, &globals::f, &globals::vqsdklogger,
    &globals::adapt_to_python3, &globals::py_vqi_strerror, &globals::platform,
};

PyObject* name_error(PyObject* name) {
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return nullptr;
}
}  // namespace

int init_globals(PyObject* module_namespace) {
    for (Global* g : all_globals) {
        if (!g->name && !(g->name = PyUnicode_InternFromString(g->text))) return -1;
        g->value = nullptr;
    }
    PyObject* builtins = PyImport_ImportModule("builtins");
    if (!builtins) return -1;
    Py_XSETREF(builtins_dict, PyModule_GetDict(builtins));
    Py_INCREF(builtins_dict);
    Py_DECREF(builtins);
    Py_INCREF(module_namespace);
    Py_XSETREF(module_dict, module_namespace);
    return compat::watch_dict(module_dict) < 0 || compat::watch_dict(builtins_dict) < 0 ? -1 : 0;
}

PyObject* lookup_slow(Global& g) {
    g.value = nullptr;
    bool from_builtins = false;
    PyObject* v = PyDict_GetItemWithError(module_dict, g.name);
    if (!v) {
        if (PyErr_Occurred()) return nullptr;
        v = PyDict_GetItemWithError(builtins_dict, g.name);
        if (!v) return PyErr_Occurred() ? nullptr : name_error(g.name);
        from_builtins = true;
    }
    g.small_int = false;
    if (PyLong_CheckExact(v)) {
        int overflow = 0;
        long iv = PyLong_AsLongAndOverflow(v, &overflow);
        if (!overflow) {
            g.small_int = true;
            g.int_value = iv;
        }
    }
    g.module_version = dict_version(module_dict);
    g.builtins_version = dict_version(builtins_dict);
    g.from_builtins = from_builtins;
    g.value = v;
    return v;
}

PyObject* lookup_name(PyObject* name) {
    PyObject* v = PyDict_GetItemWithError(module_dict, name);
    if (v || PyErr_Occurred()) return v;
    v = PyDict_GetItemWithError(builtins_dict, name);
    if (v || PyErr_Occurred()) return v;
    return name_error(name);
}

}  // namespace csdk
