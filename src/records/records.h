// The record classes' shared state and their access to the wrapped mapping.
//
// A record is an instance of an ordinary class with `__slots__ = ['data']`:
// the mapping lives in that one slot.  Every method and property accessor
// reads the slot straight from the instance when the instance's type is known
// to store `data` in this class's slot, and otherwise falls back to an
// ordinary attribute read, as Python code would.
#pragma once
#include "module/compat.h"
#include "module/function.h"

namespace csdk {
namespace records {

enum ClassIndex { Quote, Tick, Bar, Object, NumClasses };

struct RecordClass {
    const char* name;
    const char* const* methods;  // method names in class-body order
    size_t nmethods;

    PyObject* name_obj = nullptr;    // interned; the global that __setattr__ fetches
    PyTypeObject* type = nullptr;    // the class as created
    PyObject* slot = nullptr;        // its `data` member descriptor
    Py_ssize_t offset = 0;           // where that slot lives in an instance
    PyObject* getattr = nullptr;     // its __getattr__

    // The last type found to keep `data` in this class's slot, with its
    // version tag at the time.  The interpreter gives a type a new tag (or
    // none) whenever the type or one of its bases is changed, so a matching
    // valid tag means the finding still holds.
    PyTypeObject* seen = nullptr;
    unsigned int seen_tag = 0;
};

extern RecordClass classes[NumClasses];

struct Names {
    PyObject* data;
    PyObject* get;
    PyObject* str;
    PyObject* repr;
    PyObject* setattr;
    PyObject* getitem;
    PyObject* getattr;
};
extern Names names;

// Slow half of record_data: checks the type, remembers it, or reads `data`
// as an ordinary attribute.  `item` is the name asked of __getattr__ (null
// elsewhere): a non-record asked for "data" itself fails at once instead of
// coming back through __getattr__.
PyObject* data_slow(RecordClass& rc, PyObject* self, PyObject* item);

inline PyObject* empty_slot() {
    PyErr_SetObject(PyExc_AttributeError, names.data);
    return nullptr;
}

// New reference to the mapping `self` wraps, or null with an exception set.
// A record whose `data` was never set fails with the slot's own
// AttributeError('data').
inline PyObject* record_data(RecordClass& rc, PyObject* self, PyObject* item = nullptr) {
    PyTypeObject* tp = Py_TYPE(self);
    if (CSDK_LIKELY(tp == rc.seen && compat::type_tag_is(tp, rc.seen_tag))) {
        PyObject* d = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + rc.offset);
        if (CSDK_UNLIKELY(!d)) return empty_slot();
        Py_INCREF(d);
        return d;
    }
    return data_slow(rc, self, item);
}

// `data.get(key)`; an exact dict is read directly, with the same result.
inline PyObject* mapping_get(PyObject* data, PyObject* key) {
    if (CSDK_LIKELY(PyDict_CheckExact(data))) {
        PyObject* v = PyDict_GetItemWithError(data, key);
        if (!v) {
            if (PyErr_Occurred()) return nullptr;
            v = Py_None;
        }
        Py_INCREF(v);
        return v;
    }
    CallOut guard;  // the mapping may be a record, even this one
    if (!guard) return nullptr;
    return PyObject_CallMethodObjArgs(data, names.get, key, nullptr);
}

// `data[key] = value`.
inline int mapping_set(PyObject* data, PyObject* key, PyObject* value) {
    if (PyDict_CheckExact(data)) return PyDict_SetItem(data, key, value);
    CallOut guard;
    if (!guard) return -1;
    return PyObject_SetItem(data, key, value);
}

// Iteration guard; see records.cpp.
void guard_iteration(RecordClass& rc, PyTypeObject* tp);

// The methods and field accessors (methods.cpp).
const FuncDef* method_def(int cls, const char* name);  // null when unknown
bool is_record_getitem(PyObject* f);
getattrofunc attribute_reader(int cls);  // the class's tp_getattro  // one of the classes' own __getitem__
int init_fields();
int add_properties(int cls, PyObject* ns);  // the class's fields, in order

}  // namespace records
}  // namespace csdk
