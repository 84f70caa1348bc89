#include "module/function.h"
#include "module/compat.h"

#include <cstddef>
#include <string>

namespace csdk {

namespace {

PyObject* parse_params(const char* names_text) {
    PyObject* names = PyList_New(0);
    if (!names) return nullptr;
    std::string cur;
    auto flush = [&]() -> bool {
        size_t b = cur.find_first_not_of(' '), e = cur.find_last_not_of(' ');
        if (b == std::string::npos) return true;
        PyObject* s = PyUnicode_InternFromString(cur.substr(b, e - b + 1).c_str());
        if (!s) return false;
        int rc = PyList_Append(names, s);
        Py_DECREF(s);
        return rc == 0;
    };
    for (const char* p = names_text; ; ++p) {
        if (*p == ',' || *p == '\0') {
            if (!flush()) { Py_DECREF(names); return nullptr; }
            cur.clear();
            if (*p == '\0') break;
        } else {
            cur += *p;
        }
    }
    PyObject* tuple = PyList_AsTuple(names);
    Py_DECREF(names);
    return tuple;
}

void func_dealloc(PyObject* self) {
    Function* f = as_function(self);
    PyObject_GC_UnTrack(self);
    if (f->weakrefs) PyObject_ClearWeakRefs(self);
    Py_CLEAR(f->params);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->closure);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->defaults);
    PyObject_GC_Del(self);
}

int func_traverse(PyObject* self, visitproc visit, void* arg) {
    Function* f = as_function(self);
    Py_VISIT(f->params);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->closure);
    Py_VISIT(f->dict);
    Py_VISIT(f->defaults);
    return 0;
}

int func_clear(PyObject* self) {
    Function* f = as_function(self);
    Py_CLEAR(f->closure);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->defaults);
    return 0;
}

PyObject* func_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

// Functions bind to instances as Python functions do.
PyObject* func_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, obj);
}

PyObject* get_str_field(PyObject* v) {
    Py_INCREF(v);
    return v;
}

int set_str_field(PyObject** slot, PyObject* value, const char* what) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_INCREF(value);
    Py_SETREF(*slot, value);
    return 0;
}

PyObject* get_name(PyObject* self, void*) { return get_str_field(as_function(self)->name); }
int set_name(PyObject* self, PyObject* v, void*) { return set_str_field(&as_function(self)->name, v, "__name__"); }
PyObject* get_qualname(PyObject* self, void*) { return get_str_field(as_function(self)->qualname); }
int set_qualname(PyObject* self, PyObject* v, void*) {
    return set_str_field(&as_function(self)->qualname, v, "__qualname__");
}

PyObject* get_any(PyObject* v) {
    PyObject* r = v ? v : Py_None;
    Py_INCREF(r);
    return r;
}
int set_any(PyObject** slot, PyObject* v) {
    Py_XINCREF(v);
    Py_XSETREF(*slot, v);
    return 0;
}
PyObject* get_module(PyObject* self, void*) { return get_any(as_function(self)->module); }
int set_module(PyObject* self, PyObject* v, void*) { return set_any(&as_function(self)->module, v); }
PyObject* get_doc(PyObject* self, void*) { return get_any(as_function(self)->doc); }
int set_doc(PyObject* self, PyObject* v, void*) { return set_any(&as_function(self)->doc, v); }
PyObject* get_closure(PyObject* self, void*) { return get_any(as_function(self)->closure); }

// What inspect.signature reads for callables that are not Python functions.
PyObject* get_text_signature(PyObject* self, void*) {
    Function* f = as_function(self);
    if (f->def->text_signature) return PyUnicode_FromString(f->def->text_signature);
    PyObject* sep = PyUnicode_FromString(", ");
    if (!sep) return nullptr;
    PyObject* joined = PyUnicode_Join(sep, f->params);
    Py_DECREF(sep);
    if (!joined) return nullptr;
    PyObject* sig = PyUnicode_FromFormat("(%U)", joined);
    Py_DECREF(joined);
    return sig;
}

PyGetSetDef func_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__closure__", get_closure, nullptr, nullptr, nullptr},
    {"__text_signature__", get_text_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* module_name_str = nullptr;

}  // namespace

PyTypeObject FunctionType = {
    PyVarObject_HEAD_INIT(&PyType_Type, 0)
    "c_sdk.function",                         // tp_name
    sizeof(Function),                         // tp_basicsize
    0,                                        // tp_itemsize
    func_dealloc,                             // tp_dealloc
    offsetof(Function, vectorcall),           // tp_vectorcall_offset
    nullptr,                                  // tp_getattr
    nullptr,                                  // tp_setattr
    nullptr,                                  // tp_as_async
    func_repr,                                // tp_repr
    nullptr,                                  // tp_as_number
    nullptr,                                  // tp_as_sequence
    nullptr,                                  // tp_as_mapping
    nullptr,                                  // tp_hash
    PyVectorcall_Call,                        // tp_call
    nullptr,                                  // tp_str
    PyObject_GenericGetAttr,                  // tp_getattro
    PyObject_GenericSetAttr,                  // tp_setattro
    nullptr,                                  // tp_as_buffer
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | compat::tpflags_have_vectorcall |
        Py_TPFLAGS_METHOD_DESCRIPTOR,         // tp_flags
    nullptr,                                  // tp_doc
    func_traverse,                            // tp_traverse
    func_clear,                               // tp_clear
    nullptr,                                  // tp_richcompare
    offsetof(Function, weakrefs),             // tp_weaklistoffset
    nullptr,                                  // tp_iter
    nullptr,                                  // tp_iternext
    nullptr,                                  // tp_methods
    nullptr,                                  // tp_members
    func_getset,                              // tp_getset
    nullptr,                                  // tp_base
    nullptr,                                  // tp_dict
    func_descr_get,                           // tp_descr_get
    nullptr,                                  // tp_descr_set
    offsetof(Function, dict),                 // tp_dictoffset
};

int init_function_type() {
    if (!module_name_str) {
        module_name_str = PyUnicode_InternFromString("c_sdk");
        if (!module_name_str) return -1;
    }
    if (FunctionType.tp_flags & Py_TPFLAGS_READY) return 0;
    return PyType_Ready(&FunctionType);
}

PyObject* make_function(const FuncDef* def, PyObject* qualname, PyObject* closure, PyObject* defaults) {
    PyObject* params = parse_params(def->params);
    if (!params) return nullptr;
    PyObject* name = PyUnicode_InternFromString(def->name);
    if (!name) {
        Py_DECREF(params);
        return nullptr;
    }
    PyObject* doc = nullptr;
    if (def->doc && !(doc = PyUnicode_FromString(def->doc))) {
        Py_DECREF(params);
        Py_DECREF(name);
        return nullptr;
    }
    Function* f = PyObject_GC_New(Function, &FunctionType);
    if (!f) {
        Py_DECREF(params);
        Py_DECREF(name);
        Py_XDECREF(doc);
        return nullptr;
    }
    f->vectorcall = def->impl;
    f->def = def;
    f->params = params;
    f->name = name;
    f->qualname = qualname ? qualname : name;
    Py_INCREF(f->qualname);
    f->module = module_name_str;
    Py_INCREF(module_name_str);
    f->doc = doc;
    f->closure = closure;
    Py_XINCREF(closure);
    f->dict = nullptr;
    f->weakrefs = nullptr;
    f->defaults = defaults;
    Py_XINCREF(defaults);
    PyObject_GC_Track(f);
    return reinterpret_cast<PyObject*>(f);
}

}  // namespace csdk
