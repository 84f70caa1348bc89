// Methods and field accessors of the record classes.
//
// Each method exists once per class (a template instance per class index),
// so that it knows which class's slot it reads and which class name its
// __setattr__ fetches.  The field accessors share one implementation each;
// the field is found from the accessor's own definition.
#include <cstring>

#include "module/args.h"
#include "module/compat.h"
#include "module/globals.h"
#include "records/records.h"

namespace csdk {
namespace records {

namespace {

template <int K>
PyObject* init_method(PyObject* fn, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    PyObject* buf[2];
    PyObject* const* a = bind<2>(fn, args, nargsf, kwnames, buf);
    if (!a) return nullptr;
    guard_iteration(classes[K], Py_TYPE(a[0]));
    // Through the record's own attribute assignment, as `self.data = data`.
    if (PyObject_SetAttr(a[0], names.data, a[1]) < 0) return nullptr;
    Py_RETURN_NONE;
}

template <int K>
PyObject* getitem_method(PyObject* fn, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    PyObject* buf[2];
    PyObject* const* a = bind<2>(fn, args, nargsf, kwnames, buf);
    if (!a) return nullptr;
    PyObject* data = record_data(classes[K], a[0]);
    if (!data) return nullptr;
    PyObject* result = mapping_get(data, a[1]);
    Py_DECREF(data);
    return result;
}

// Reached only once ordinary lookup has failed.  For a record the slot is
// read directly, so a never-set `data` fails at once instead of coming back
// here through the failed lookup of `data`.
template <int K>
PyObject* getattr_method(PyObject* fn, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    PyObject* buf[2];
    PyObject* const* a = bind<2>(fn, args, nargsf, kwnames, buf);
    if (!a) return nullptr;
    PyObject* data = record_data(classes[K], a[0], a[1]);
    if (!data) return nullptr;
    PyObject* result = mapping_get(data, a[1]);
    Py_DECREF(data);
    return result;
}

// Attribute reads on the record classes themselves: the interpreter's own
// hook for a class with __getattr__ would run the generic lookup, build an
// AttributeError on a miss, clear it, and call __getattr__ through a bound
// method.  This does the same without the throw-away error and method.  It
// serves only while the class's __getattr__ and __getattribute__ are the
// ones it was made with: assigning either on the class, or defining a
// subclass, makes the interpreter recompute the slot to its own hook.
// A field is read straight away when the name finds one of the field
// properties (field_read, below), without the property's call of its getter.
PyObject* field_read(PyObject* self, PyObject* descr);

template <int K>
PyObject* record_getattro(PyObject* self, PyObject* name) {
    PyObject* descr = compat::type_lookup(Py_TYPE(self), name);
    PyObject* found = descr && Py_TYPE(descr) == &PyProperty_Type ? field_read(self, descr) : Py_NotImplemented;
    if (found == Py_NotImplemented) {
        found = compat::generic_getattr_nothrow(self, name);
    } else if (!found && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();  // as the generic lookup does when a getter fails so
    }
    if (found || PyErr_Occurred()) return found;
    PyObject* args[2] = {self, name};
    return getattr_method<K>(classes[K].getattr, args, 2, nullptr);
}

template <int K>
PyObject* setitem_method(PyObject* fn, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    PyObject* buf[3];
    PyObject* const* a = bind<3>(fn, args, nargsf, kwnames, buf);
    if (!a) return nullptr;
    PyObject* data = record_data(classes[K], a[0]);
    if (!data) return nullptr;
    int rc = mapping_set(data, a[1], a[2]);
    Py_DECREF(data);
    if (rc < 0) return nullptr;
    Py_RETURN_NONE;
}

// `item != 'data'`, with the ordinary comparison.
int differs_from_data(PyObject* item) {
    if (PyUnicode_CheckExact(item)) return !compat::str_equal(item, names.data);
    PyObject* cmp = PyObject_RichCompare(item, names.data, Py_NE);
    if (!cmp) return -1;
    int result = truth(cmp);
    Py_DECREF(cmp);
    return result;
}

// `super(cls, self).__setattr__(item, value)`.  When the class after `cls` in
// type(self)'s MRO is `object`, that is object.__setattr__, the generic
// assignment, which is called directly.
int super_setattr(PyObject* cls, PyObject* self, PyObject* item, PyObject* value) {
    PyObject* mro = Py_TYPE(self)->tp_mro;
    if (mro) {
        Py_ssize_t n = PyTuple_GET_SIZE(mro);
        for (Py_ssize_t i = 0; i + 1 < n; ++i) {
            if (PyTuple_GET_ITEM(mro, i) != cls) continue;
            if (PyTuple_GET_ITEM(mro, i + 1) == reinterpret_cast<PyObject*>(&PyBaseObject_Type))
                return PyObject_GenericSetAttr(self, item, value);
            break;
        }
    }
    CallOut guard;  // the class fetched by name may lead back here
    if (!guard) return -1;
    PyObject* super_args[2] = {cls, self};
    PyObject* super = compat::vectorcall(reinterpret_cast<PyObject*>(&PySuper_Type), super_args, 2, nullptr);
    if (!super) return -1;
    PyObject* method = PyObject_GetAttr(super, names.setattr);
    Py_DECREF(super);
    if (!method) return -1;
    PyObject* call_args[2] = {item, value};
    PyObject* result = compat::vectorcall(method, call_args, 2, nullptr);
    Py_DECREF(method);
    if (!result) return -1;
    Py_DECREF(result);
    return 0;
}

template <int K>
PyObject* setattr_method(PyObject* fn, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    PyObject* buf[3];
    PyObject* const* a = bind<3>(fn, args, nargsf, kwnames, buf);
    if (!a) return nullptr;
    PyObject *self = a[0], *item = a[1], *value = a[2];
    int differs = differs_from_data(item);
    if (differs < 0) return nullptr;
    if (differs) {
        // Every other name, methods and fields included, goes into the mapping.
        PyObject* data = record_data(classes[K], self);
        if (!data) return nullptr;
        int rc = mapping_set(data, item, value);
        Py_DECREF(data);
        if (rc < 0) return nullptr;
        Py_RETURN_NONE;
    }
    // The class is fetched by name at every call, so a rebound or deleted
    // global takes effect at once.
    PyObject* cls = lookup_name(classes[K].name_obj);
    if (!cls) return nullptr;
    Py_INCREF(cls);
    guard_iteration(classes[K], Py_TYPE(self));
    int rc = super_setattr(cls, self, item, value);
    Py_DECREF(cls);
    if (rc < 0) return nullptr;
    Py_RETURN_NONE;
}

// The mapping's own __str__ or __repr__, called without arguments; the
// result is returned as it comes.
template <int K, bool Repr>
PyObject* text_method(PyObject* fn, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    PyObject* buf[1];
    PyObject* const* a = bind<1>(fn, args, nargsf, kwnames, buf);
    if (!a) return nullptr;
    PyObject* data = record_data(classes[K], a[0]);
    if (!data) return nullptr;
    CallOut guard;  // the mapping may be a record, even this one
    PyObject* result = guard ? PyObject_CallMethodObjArgs(data, Repr ? names.repr : names.str, nullptr) : nullptr;
    Py_DECREF(data);
    return result;
}

template <int K>
PyObject* contains_method(PyObject* fn, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    PyObject* buf[2];
    PyObject* const* a = bind<2>(fn, args, nargsf, kwnames, buf);
    if (!a) return nullptr;
    PyObject* data = record_data(classes[K], a[0]);
    if (!data) return nullptr;
    int found;
    if (PyDict_CheckExact(data)) {
        found = PyDict_Contains(data, a[1]);
    } else {
        CallOut guard;  // the mapping may be a record, even this one
        found = guard ? PySequence_Contains(data, a[1]) : -1;
    }
    Py_DECREF(data);
    if (found < 0) return nullptr;
    return PyBool_FromLong(found);
}

template <int K>
const FuncDef method_defs[] = {
    {"__init__", init_method<K>, "self, data", nullptr, nullptr},
    {"__getitem__", getitem_method<K>, "self, item", nullptr, nullptr},
    {"__getattr__", getattr_method<K>, "self, item", nullptr, nullptr},
    {"__setitem__", setitem_method<K>, "self, item, value", nullptr, nullptr},
    {"__setattr__", setattr_method<K>, "self, item, value", nullptr, nullptr},
    {"__str__", text_method<K, false>, "self", nullptr, nullptr},
    {"__repr__", text_method<K, true>, "self", nullptr, nullptr},
    {"__contains__", contains_method<K>, "self, key", nullptr, nullptr},
};

const FuncDef* const all_method_defs[NumClasses] = {
    method_defs<Quote>, method_defs<Tick>, method_defs<Bar>, method_defs<Object>,
};
const getattrofunc all_getattro[NumClasses] = {
    record_getattro<Quote>, record_getattro<Tick>, record_getattro<Bar>, record_getattro<Object>,
};
constexpr size_t methods_per_class = sizeof(method_defs<Quote>) / sizeof(FuncDef);

// ---- fields ----

struct Field {
    int cls;
    const char* name;  // the property's name and the key it reads and writes
    bool settable;
};

const Field fields[] = {
    {Quote, "bid_p", false},
    {Quote, "bid_v", false},
    {Quote, "ask_p", false},
    {Quote, "ask_v", false},

    {Tick, "quotes", true},
    {Tick, "symbol", true},
    {Tick, "created_at", true},
    {Tick, "price", true},
    {Tick, "open", true},
    {Tick, "high", true},
    {Tick, "low", true},
    {Tick, "cum_volume", true},
    {Tick, "cum_amount", true},
    {Tick, "cum_position", true},
    {Tick, "last_amount", true},
    {Tick, "last_volume", true},
    {Tick, "trade_type", true},
    {Tick, "receive_local_time", true},

    {Bar, "symbol", true},
    {Bar, "eob", true},
    {Bar, "bob", true},
    {Bar, "open", true},
    {Bar, "close", true},
    {Bar, "high", true},
    {Bar, "low", true},
    {Bar, "volume", true},
    {Bar, "amount", true},
    {Bar, "pre_close", true},
    {Bar, "position", true},
    {Bar, "frequency", true},
    {Bar, "receive_local_time", true},
};
constexpr size_t num_fields = sizeof(fields) / sizeof(fields[0]);

FuncDef getter_defs[num_fields];
FuncDef setter_defs[num_fields];
PyObject* field_keys[num_fields];

PyObject* field_get(PyObject* fn, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    PyObject* buf[1];
    PyObject* const* a = bind<1>(fn, args, nargsf, kwnames, buf);
    if (!a) return nullptr;
    size_t i = static_cast<size_t>(as_function(fn)->def - getter_defs);
    PyObject* data = record_data(classes[fields[i].cls], a[0]);
    if (!data) return nullptr;
    PyObject* result = mapping_get(data, field_keys[i]);
    Py_DECREF(data);
    return result;
}

// `descr` is a property found on the type of `self`.  When its getter is one
// of the field accessors, the field is read as that accessor reads it (what
// the property's __get__ would have called); otherwise NotImplemented
// (borrowed), and the ordinary lookup runs.
PyObject* field_read(PyObject* self, PyObject* descr) {
    PyObject* fget = compat::property_getter(descr);
    if (!fget || Py_TYPE(fget) != &FunctionType || as_function(fget)->def->impl != field_get)
        return Py_NotImplemented;
    size_t i = static_cast<size_t>(as_function(fget)->def - getter_defs);
    PyObject* data = record_data(classes[fields[i].cls], self);
    if (!data) return nullptr;
    PyObject* result = mapping_get(data, field_keys[i]);
    Py_DECREF(data);
    return result;
}

PyObject* field_set(PyObject* fn, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    PyObject* buf[2];
    PyObject* const* a = bind<2>(fn, args, nargsf, kwnames, buf);
    if (!a) return nullptr;
    size_t i = static_cast<size_t>(as_function(fn)->def - setter_defs);
    PyObject* data = record_data(classes[fields[i].cls], a[0]);
    if (!data) return nullptr;
    int rc = mapping_set(data, field_keys[i], a[1]);
    Py_DECREF(data);
    if (rc < 0) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace

const FuncDef* method_def(int cls, const char* name) {
    const FuncDef* defs = all_method_defs[cls];
    for (size_t i = 0; i < methods_per_class; ++i)
        if (std::strcmp(defs[i].name, name) == 0) return &defs[i];
    return nullptr;
}

getattrofunc attribute_reader(int cls) { return all_getattro[cls]; }

bool is_record_getitem(PyObject* f) {
    if (!f || Py_TYPE(f) != &FunctionType) return false;
    vectorcallfunc impl = as_function(f)->def->impl;
    return impl == getitem_method<Quote> || impl == getitem_method<Tick> || impl == getitem_method<Bar> ||
           impl == getitem_method<Object>;
}

int init_fields() {
    for (size_t i = 0; i < num_fields; ++i) {
        getter_defs[i] = FuncDef{fields[i].name, field_get, "self", nullptr, nullptr};
        setter_defs[i] = FuncDef{fields[i].name, field_set, "self, value", nullptr, nullptr};
        if (!field_keys[i] && !(field_keys[i] = PyUnicode_InternFromString(fields[i].name))) return -1;
    }
    return 0;
}

// property(fget) or property(fget, fset) for each field of the class.
int add_properties(int cls, PyObject* ns) {
    for (size_t i = 0; i < num_fields; ++i) {
        if (fields[i].cls != cls) continue;
        PyObject* qualname = PyUnicode_FromFormat("%s.%s", classes[cls].name, fields[i].name);
        if (!qualname) return -1;
        PyObject* fget = make_function(&getter_defs[i], qualname);
        PyObject* fset = fget && fields[i].settable ? make_function(&setter_defs[i], qualname) : nullptr;
        Py_DECREF(qualname);
        PyObject* prop = nullptr;
        if (fget && (fset || !fields[i].settable))
            prop = PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PyProperty_Type), fget, fset, nullptr);
        Py_XDECREF(fget);
        Py_XDECREF(fset);
        if (!prop) return -1;
        int rc = PyDict_SetItem(ns, field_keys[i], prop);
        Py_DECREF(prop);
        if (rc < 0) return -1;
    }
    return 0;
}

}  // namespace records
}  // namespace csdk
