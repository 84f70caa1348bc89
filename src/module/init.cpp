// Module initialisation: multi-phase, once per process.
//
// The create step records the interpreter and hands back the initialised
// module when there is one; the exec step runs the body once.  A failed body
// forgets the module, so that the next import runs the whole body again.
#include <cstdint>
#include <string_view>
#include <unordered_map>

#include "module/compat.h"
#include "module/function.h"
#include "module/globals.h"
#include "module/namespace.h"
#include "module/sdkcall.h"

namespace csdk {

namespace {

// Process-wide record, kept outside the module object.
int64_t loaded_interpreter = -1;
PyObject* initialised_module = nullptr;

// The import system resets the per-module state pointer of whatever module
// object the create step hands it, and PyModule_ExecDef then allocates a new
// state block before calling exec.  When create hands back the initialised
// module, its old block is kept here and freed by exec once it has been
// replaced, so that importing again does not leak one block each time.
void* replaced_state = nullptr;

PyObject* create(PyObject* spec, PyModuleDef*) {
    int64_t id = PyInterpreterState_GetID(compat::current_interpreter());
    if (id == -1) return nullptr;
    if (loaded_interpreter == -1) {
        loaded_interpreter = id;
    } else if (id != loaded_interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (initialised_module) {
        if (void* state = PyModule_GetState(initialised_module)) replaced_state = state;
        Py_INCREF(initialised_module);
        return initialised_module;
    }
    PyObject* name = PyObject_GetAttrString(spec, "name");
    if (!name) return nullptr;
    PyObject* module = PyModule_NewObject(name);
    Py_DECREF(name);
    if (!module) return nullptr;
    static const struct { const char* from; const char* to; bool none_skipped; } copies[] = {
        {"loader", "__loader__", false},
        {"origin", "__file__", false},
        {"parent", "__package__", false},
        {"submodule_search_locations", "__path__", true},
    };
    PyObject* ns = PyModule_GetDict(module);
    for (const auto& c : copies) {
        PyObject* v = PyObject_GetAttrString(spec, c.from);
        if (!v) {
            if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
                PyErr_Clear();
                continue;
            }
            Py_DECREF(module);
            return nullptr;
        }
        int rc = (c.none_skipped && v == Py_None) ? 0 : PyDict_SetItemString(ns, c.to, v);
        Py_DECREF(v);
        if (rc < 0) {
            Py_DECREF(module);
            return nullptr;
        }
    }
    return module;
}

int bind_name(PyObject* ns, const char* name, PyObject* value) {
    if (!value) return -1;
    int rc = PyDict_SetItemString(ns, name, value);
    Py_DECREF(value);
    return rc;
}

// `import name`, bound under the top-level name.
int import_module(PyObject* ns, const char* name) {
    PyObject* n = PyUnicode_FromString(name);
    if (!n) return -1;
    PyObject* m = PyImport_ImportModuleLevelObject(n, ns, nullptr, nullptr, 0);
    Py_DECREF(n);
    return bind_name(ns, name, m);
}

// `from package import name`: the attribute, or else the submodule of that
// name if it is already in sys.modules.
int import_from(PyObject* ns, const char* package, const char* name) {
    PyObject* pkg = PyUnicode_FromString(package);
    PyObject* n = PyUnicode_FromString(name);
    PyObject* fromlist = n ? PyTuple_Pack(1, n) : nullptr;
    PyObject* module = (pkg && fromlist) ? PyImport_ImportModuleLevelObject(pkg, ns, nullptr, fromlist, 0)
                                         : nullptr;
    Py_XDECREF(fromlist);
    PyObject* value = nullptr;
    if (module) {
        value = PyObject_GetAttr(module, n);
        if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            PyObject* full = PyUnicode_FromFormat("%U.%U", pkg, n);
            if (full) {
                value = PyDict_GetItemWithError(PyImport_GetModuleDict(), full);
                Py_XINCREF(value);
                Py_DECREF(full);
            }
            if (!value && !PyErr_Occurred()) PyErr_Format(PyExc_ImportError, "cannot import name %S", n);
        }
        Py_DECREF(module);
    }
    Py_XDECREF(pkg);
    Py_XDECREF(n);
    return bind_name(ns, name, value);
}

int bind_table(PyObject* ns, const MemberTable& t) {
    for (const Member& m : t)
        if (bind_name(ns, m.attr, make_function(&m.def)) < 0) return -1;
    return 0;
}

// The 181 bindings, in order; decorated ones are bound as what
// adapt_to_python3 returns for them.
int bind_bindings(PyObject* ns) {
    std::unordered_map<std::string_view, const Member*> rows;
    for (size_t t = 0; t < binding_tables_size; ++t)
        for (const Member& m : *binding_tables[t]) rows.emplace(m.attr, &m);
    for (size_t i = 0; i < binding_order_size; ++i) {
        auto it = rows.find(binding_order[i]);
        if (it == rows.end()) {
            PyErr_Format(PyExc_SystemError, "no member row for %s", binding_order[i]);
            return -1;
        }
        const Member& m = *it->second;
        PyObject* decorator = nullptr;
        if (m.decorated) {
            decorator = lookup(globals::adapt_to_python3);
            if (!decorator) return -1;
            Py_INCREF(decorator);
        }
        PyObject* fn = make_function(&m.def);
        if (fn && decorator) {
            PyObject* wrapped = compat::vectorcall(decorator, &fn, 1, nullptr);
            Py_DECREF(fn);
            fn = wrapped;
        }
        Py_XDECREF(decorator);
        if (bind_name(ns, m.attr, fn) < 0) return -1;
    }
    return 0;
}

int bind_direct_objects(PyObject* module) {
    for (const Member& m : direct_members) {
        PyObject* fn = make_function(&m.def);
        if (!fn) return -1;
        int rc = PyObject_SetAttrString(module, m.attr, fn);
        Py_DECREF(fn);
        if (rc < 0) return -1;
    }
    return 0;
}

// The module body; returns the number of the statement that failed, or 0.
int run_body(PyObject* module, PyObject* ns) {
    int step = 0;
    if (++step, import_module(ns, "functools") < 0) return step;
    if (++step, import_module(ns, "platform") < 0) return step;
    if (++step, import_from(ns, "vq.constant", "CSDK_OPERATE_SUCCESS") < 0) return step;
    if (++step, import_from(ns, "vq.utils", "vqsdklogger") < 0) return step;
    if (++step, PyDict_SetItemString(ns, "IS_PY2", Py_False) < 0) return step;
    if (++step, PyDict_SetItemString(ns, "IS_PY3", Py_True) < 0) return step;
    if (++step, create_record_classes(ns) < 0) return step;
    if (++step, bind_table(ns, helper_members) < 0) return step;
    if (++step, bind_bindings(ns) < 0) return step;
    if (++step, bind_direct_objects(module) < 0) return step;
    return 0;
}

int exec(PyObject* module) {
    if (initialised_module) {
        if (initialised_module == module) {
            if (replaced_state && PyModule_GetState(module) != replaced_state) PyMem_Free(replaced_state);
            replaced_state = nullptr;
            return 0;
        }
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'c_sdk' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    Py_INCREF(module);
    initialised_module = module;
    PyObject* ns = PyModule_GetDict(module);
    int failed_at = 0;
    PyObject* builtins = PyImport_ImportModule("builtins");
    if (!builtins || PyObject_SetAttrString(module, "__builtins__", builtins) < 0) failed_at = -1;
    Py_XDECREF(builtins);
    if (!failed_at) {
        PyObject* modules = PyImport_GetModuleDict();
        PyObject* present = PyDict_GetItemString(modules, "c_sdk");
        if (!present && PyDict_SetItemString(modules, "c_sdk", module) < 0) failed_at = -1;
    }
    if (!failed_at && (init_function_type() < 0 || init_globals(ns) < 0 || init_helpers() < 0 ||
                       sdkcall::init() < 0))
        failed_at = -1;
    if (!failed_at) failed_at = run_body(module, ns);
    if (!failed_at) return 0;
    Py_CLEAR(initialised_module);
    compat::add_traceback("init c_sdk", "c_sdk", failed_at > 0 ? failed_at : 0);
    return -1;
}

PyMethodDef no_methods[] = {{nullptr, nullptr, 0, nullptr}};

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create)},
    {Py_mod_exec, reinterpret_cast<void*>(exec)},
    CSDK_MODULE_VERSION_SLOTS
    CSDK_MODULE_GIL_SLOT
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "c_sdk", nullptr, 0, no_methods, slots, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace csdk

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_c_sdk(void) { return PyModuleDef_Init(&csdk::module_def); }
