// The record classes QuoteItemLikeDict2, TickLikeDict2, BarLikeDict2 and
// ObjectLikeDict2.
//
// Each is an ordinary class, made as `type(name, (object,), namespace)` with
// `__module__`, `__slots__ = ['data']`, the methods and then the field
// properties, in the order of its class body.  The methods and the property
// accessors are the module's Function objects (methods.cpp).
//
// Attribute reads.  The classes' tp_getattro is set to a reader equivalent
// to the interpreter's hook for a class with __getattr__, minus its
// throw-away exception on every miss (methods.cpp).
//
// Iteration.  A record answers every item read (absent keys give None), so
// the interpreter's fallback iteration, which probes 0, 1, 2, ... through
// __getitem__ until IndexError, would never end, and neither would a
// membership test on the records without __contains__.  Each class therefore
// gets a tp_iter that raises TypeError, and the classes without __contains__
// a membership slot that searches by iteration as the interpreter does and
// fails with "argument of type '...' is not iterable" (the interpreter's own
// search words this differently from 3.14).  The class namespace is
// untouched: no __iter__ or __contains__ member is added.
//
// Text forms.  str() and repr() of a record call its class's __str__ and
// __repr__ and refuse a result that is not a str with "__str__ returned
// non-string (type ...)" ("__repr__ ..."), through slots of the classes'
// own: the interpreter's check words this differently from 3.15.  A
// subclass or a class whose __str__ or __repr__ is reassigned gets the
// interpreter's slot back, and its wording.
//
// A subclass has its slots recomputed by the interpreter from the members
// found along its MRO, and since no class defines __iter__, a subclass that
// redefines nothing gets tp_iter reset to null, and with it the endless
// fallback; so does a record class whose __iter__ is assigned and deleted
// again.  No hook runs when a subclass is made without adding a member to
// the class (__init_subclass__) or giving it a metaclass, so the guard is
// put back on such a type the first time one of its records is constructed,
// has `data` assigned, or has its mapping read (guard_iteration).  A record
// iterated before any of these has happened to its type, for instance one
// of a fresh subclass whose `data` was filled with object.__setattr__, still
// falls to the endless fallback.
#include "module/namespace.h"
#include "records/records.h"

#include "module/compat.h"

namespace csdk {
namespace records {

namespace {

const char* const quote_members[] = {"__init__", "__getitem__", "__setitem__", "__getattr__",
                                     "__setattr__", "__str__", "__repr__"};
const char* const tick_members[] = {"__init__", "__getitem__", "__setitem__", "__getattr__",
                                    "__setattr__", "__str__", "__repr__"};
const char* const bar_members[] = {"__init__", "__getitem__", "__setitem__", "__contains__", "__getattr__",
                                   "__setattr__", "__str__", "__repr__"};
const char* const object_members[] = {"__init__", "__getitem__", "__getattr__", "__setitem__",
                                      "__setattr__", "__str__", "__repr__"};

template <size_t N>
constexpr size_t count(const char* const (&)[N]) { return N; }

PyObject* module_name = nullptr;

// tp_iter of the record classes.  Where a class has since been given a
// __getitem__ of its own, which may end with IndexError, the interpreter's
// fallback is kept.
PyObject* refuse_iteration(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    if (!is_record_getitem(compat::type_lookup(tp, names.getitem)) && PySequence_Check(self))
        return PySeqIter_New(self);
    PyErr_Format(PyExc_TypeError, "'%.200s' object is not iterable", tp->tp_name);
    return nullptr;
}

// sq_contains of the records without __contains__: the interpreter's search
// by iteration, with the wording it has up to 3.13.
int contains_by_iteration(PyObject* self, PyObject* value) {
    PyObject* it = PyObject_GetIter(self);
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError))
            PyErr_Format(PyExc_TypeError, "argument of type '%.200s' is not iterable", Py_TYPE(self)->tp_name);
        return -1;
    }
    int found = 0;
    while (PyObject* item = PyIter_Next(it)) {
        found = PyObject_RichCompareBool(item, value, Py_EQ);
        Py_DECREF(item);
        if (found) break;
    }
    Py_DECREF(it);
    return found == 0 && PyErr_Occurred() ? -1 : found;
}

// tp_str and tp_repr: the class's __str__ / __repr__, whose result must be a str.
template <bool Repr>
PyObject* text_slot(PyObject* self) {
    PyObject* name = Repr ? names.repr : names.str;
    PyObject* method = compat::type_lookup(Py_TYPE(self), name);
    if (!method) return PyErr_Format(PyExc_AttributeError, "%U", name);
    Py_INCREF(method);  // the call may rebind it
    PyObject* result = PyObject_CallFunctionObjArgs(method, self, nullptr);
    Py_DECREF(method);
    if (result && !PyUnicode_Check(result)) {
        PyErr_Format(PyExc_TypeError, "%s returned non-string (type %.200s)", Repr ? "__repr__" : "__str__",
                     Py_TYPE(result)->tp_name);
        Py_CLEAR(result);
    }
    return result;
}

int init_names() {
    if (names.data) return 0;
    struct { PyObject** slot; const char* text; } table[] = {
        {&names.data, "data"}, {&names.get, "get"}, {&names.str, "__str__"}, {&names.repr, "__repr__"},
        {&names.setattr, "__setattr__"}, {&names.getitem, "__getitem__"},
        {&names.getattr, "__getattr__"}, {&module_name, "c_sdk"},
    };
    for (auto& e : table)
        if (!(*e.slot = PyUnicode_InternFromString(e.text))) return -1;
    return 0;
}

// Fills the class namespace in class-body order.
int fill_namespace(int k, PyObject* ns) {
    RecordClass& rc = classes[k];
    if (PyDict_SetItemString(ns, "__module__", module_name) < 0) return -1;
    PyObject* slots = Py_BuildValue("[O]", names.data);
    if (!slots) return -1;
    int rc_set = PyDict_SetItemString(ns, "__slots__", slots);
    Py_DECREF(slots);
    if (rc_set < 0) return -1;
    for (size_t i = 0; i < rc.nmethods; ++i) {
        const FuncDef* def = method_def(k, rc.methods[i]);
        if (!def) {
            PyErr_Format(PyExc_SystemError, "no method %s", rc.methods[i]);
            return -1;
        }
        PyObject* qualname = PyUnicode_FromFormat("%s.%s", rc.name, def->name);
        if (!qualname) return -1;
        PyObject* fn = make_function(def, qualname);
        Py_DECREF(qualname);
        if (!fn) return -1;
        rc_set = PyDict_SetItemString(ns, def->name, fn);
        Py_DECREF(fn);
        if (rc_set < 0) return -1;
    }
    return add_properties(k, ns);
}

// Makes the class, records where its `data` slot lives, installs the
// iteration guard and binds the class in the module namespace.
int create_class(int k, PyObject* module_namespace) {
    RecordClass& rc = classes[k];
    if (!rc.name_obj && !(rc.name_obj = PyUnicode_InternFromString(rc.name))) return -1;
    PyObject* ns = PyDict_New();
    if (!ns) return -1;
    PyObject* cls = nullptr;
    if (fill_namespace(k, ns) == 0)
        cls = PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "O(O)O", rc.name_obj,
                                    reinterpret_cast<PyObject*>(&PyBaseObject_Type), ns);
    Py_DECREF(ns);
    if (!cls) return -1;
    PyTypeObject* tp = reinterpret_cast<PyTypeObject*>(cls);
    PyObject* slot = PyDict_GetItemWithError(tp->tp_dict, names.data);
    if (!slot || Py_TYPE(slot) != &PyMemberDescr_Type ||
        reinterpret_cast<PyMemberDescrObject*>(slot)->d_member->type != compat::member_object_ex) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_SystemError, "%s has no data slot", rc.name);
        Py_DECREF(cls);
        return -1;
    }
    PyObject* getattr = PyDict_GetItemWithError(tp->tp_dict, names.getattr);
    if (!getattr) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_SystemError, "%s has no __getattr__", rc.name);
        Py_DECREF(cls);
        return -1;
    }
    Py_INCREF(getattr);
    Py_XSETREF(rc.getattr, getattr);
    Py_INCREF(slot);
    Py_XSETREF(rc.slot, slot);
    rc.offset = reinterpret_cast<PyMemberDescrObject*>(slot)->d_member->offset;
    Py_XSETREF(rc.type, tp);  // takes the reference made by type()
    Py_CLEAR(rc.seen);
    tp->tp_iter = refuse_iteration;
    if (!tp->tp_as_sequence->sq_contains) tp->tp_as_sequence->sq_contains = contains_by_iteration;
    tp->tp_str = text_slot<false>;
    tp->tp_repr = text_slot<true>;
    tp->tp_getattro = attribute_reader(k);
    return PyDict_SetItem(module_namespace, rc.name_obj, cls);
}

}  // namespace

RecordClass classes[NumClasses] = {
    {"QuoteItemLikeDict2", quote_members, count(quote_members)},
    {"TickLikeDict2", tick_members, count(tick_members)},
    {"BarLikeDict2", bar_members, count(bar_members)},
    {"ObjectLikeDict2", object_members, count(object_members)},
};

Names names;

void guard_iteration(RecordClass& rc, PyTypeObject* tp) {
    if (CSDK_UNLIKELY(!tp->tp_iter) && rc.type && (tp == rc.type || PyType_IsSubtype(tp, rc.type))) {
        tp->tp_iter = refuse_iteration;
        if (!tp->tp_as_sequence->sq_contains) tp->tp_as_sequence->sq_contains = contains_by_iteration;
    }
}

PyObject* data_slow(RecordClass& rc, PyObject* self, PyObject* item) {
    PyTypeObject* tp = Py_TYPE(self);
    if (rc.type && (tp == rc.type || PyType_IsSubtype(tp, rc.type))) {
        guard_iteration(rc, tp);
        // A subclass keeps the base layout, but may declare a `data` of its own.
        if (compat::type_lookup(tp, names.data) == rc.slot) {
            if (unsigned int tag = compat::type_tag(tp)) {
                Py_INCREF(tp);
                Py_XSETREF(rc.seen, tp);
                rc.seen_tag = tag;
            }
            PyObject* d = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + rc.offset);
            if (!d) return empty_slot();
            Py_INCREF(d);
            return d;
        }
    }
    // Not this class's slot: an ordinary read of `data`.  __getattr__ asked
    // for "data" itself means that read has just failed; repeating it would
    // only come back here.
    if (item && PyUnicode_Check(item) && compat::str_equal(item, names.data))
        return empty_slot();
    CallOut guard;  // `data` may be a property leading back here
    if (!guard) return nullptr;
    return PyObject_GetAttr(self, names.data);
}

}  // namespace records

int create_record_classes(PyObject* module_namespace) {
    using namespace records;
    if (init_names() < 0 || init_fields() < 0 || compat::check_property_layout() < 0) return -1;
    for (int k = 0; k < NumClasses; ++k)  // Quote, Tick, Bar, Object
        if (create_class(k, module_namespace) < 0) return -1;
    return 0;
}

}  // namespace csdk
