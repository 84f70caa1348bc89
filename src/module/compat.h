// What differs between the interpreters the module is built for (CPython 3.8
// to 3.13), in one place.  Everything else in the module uses the C API that
// all of them share.  Each entry says why it is here; where an entry reads a
// structure or uses a name the interpreter does not document as public, the
// suite's compat test (tests/compat_test.cpp) checks the assumption against
// the interpreter it runs on, and the module checks it again where a wrong
// guess would misread memory.
#pragma once
#include <cstdint>

#include "module/python.h"

#if PY_VERSION_HEX < 0x03080000 || PY_VERSION_HEX >= 0x03100000
#error "c_sdk is built for CPython 3.8 to 3.15"
#endif

#include <frameobject.h>   // PyFrame_New: not included by Python.h from 3.11
#include <structmember.h>  // member types, for 3.8 to 3.11

namespace csdk {
namespace compat {

// ---- calls ----

// The vectorcall entry points are public from 3.9; on 3.8 they carry an
// underscore (same functions, same semantics).
inline PyObject* vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
#if PY_VERSION_HEX >= 0x03090000
    return PyObject_Vectorcall(callable, args, nargsf, kwnames);
#else
    return _PyObject_Vectorcall(callable, args, nargsf, kwnames);
#endif
}

#if PY_VERSION_HEX >= 0x03090000
constexpr unsigned long tpflags_have_vectorcall = Py_TPFLAGS_HAVE_VECTORCALL;
#else
constexpr unsigned long tpflags_have_vectorcall = _Py_TPFLAGS_HAVE_VECTORCALL;
#endif

// ---- interpreters and thread states ----

inline PyInterpreterState* current_interpreter() {
#if PY_VERSION_HEX >= 0x03090000
    return PyInterpreterState_Get();
#else
    return PyThreadState_Get()->interp;  // the 3.8 struct is public
#endif
}

// The calling thread's thread state, or null when it has none, without
// the fatal error PyThreadState_Get() raises when it has none.  From 3.12 the
// current thread state is per thread, so a native thread the interpreter does
// not know has none; before 3.12 it is process-wide, and the caller parked in
// the SDK holds it for every thread.
#if PY_VERSION_HEX >= 0x030C0000
constexpr bool per_thread_state = true;
inline PyThreadState* thread_state_if_any() {
#if PY_VERSION_HEX >= 0x030D0000
    return PyThreadState_GetUnchecked();
#else
    // Exported under this name in 3.12; made public as above in 3.13.
    return _PyThreadState_UncheckedGet();
#endif
}
#else
constexpr bool per_thread_state = false;
// Exported under this name up to 3.11, without the fatal error.
inline PyThreadState* thread_state_if_any() { return _PyThreadState_UncheckedGet(); }
#endif

// ---- threads of the SDK (the event bridge, module/sdkcall.h) ----
// The calling thread's identity: PyThread_get_thread_ident() is
// pthread_self() on Linux, and glibc's pthread_self() on x86-64 is the
// thread pointer, read here in one instruction instead of a call;
// tests/compat_test.cpp checks both.
inline unsigned long this_thread_id() { return reinterpret_cast<unsigned long>(__builtin_thread_pointer()); }

// Whether the calling thread holds the interpreter, `ts` being the current
// thread state (thread_state_if_any()).  From 3.12 a thread has a current
// thread state only while it holds the interpreter.  Up to 3.11 the current
// thread state is process-wide: it is the calling thread's own only if it is
// the one the interpreter's thread-state key gives this thread.  `ts` may
// belong to another thread, which may free it at any moment, so it is
// compared, never read.
inline bool owns_thread_state(PyThreadState* ts) {
#if PY_VERSION_HEX >= 0x030C0000
    return ts != nullptr;
#else
    return ts && ts == PyGILState_GetThisThreadState();
#endif
}

// ---- recursion ----

// Levels of calls still allowed on this thread before a RecursionError.
//
// The event bridge calls the registered callable only while one is left,
// and contains the RecursionError it raises otherwise; a callable that runs
// the loop again from inside then gets that error reported for each event
// past the limit instead of recursing until the interpreter aborts (which
// the interpreter's own check would allow: 3.8 and 3.9 let calls through 50
// levels past the limit for as long as the depth stays near it after an
// overflow).  The count is read from the thread state, a public struct up
// to 3.10 whose counters each version renamed: a depth counting up to the
// limit (3.8 to 3.10), a count of levels remaining (3.11), in 3.12 and 3.13
// a count for Python frames and a fixed one for C frames, which the bridge's
// levels also use and which leaves room to report the error, and from 3.14
// the Python frames' count alone: the C count is gone, and the interpreter
// checks C recursion against the thread's stack itself (raising
// RecursionError, which the bridge reports like any other failure).
inline int recursion_left(PyThreadState* ts) {
#if PY_VERSION_HEX >= 0x030E0000
    return ts->py_recursion_remaining;
#elif PY_VERSION_HEX >= 0x030C0000
    constexpr int report_room = 50;
    int c_left = ts->c_recursion_remaining - report_room;
    return ts->py_recursion_remaining < c_left ? ts->py_recursion_remaining : c_left;
#elif PY_VERSION_HEX >= 0x030B0000
    return ts->recursion_remaining;
#else
    return Py_GetRecursionLimit() - ts->recursion_depth;
#endif
}
inline int recursion_left() { return recursion_left(PyThreadState_Get()); }

// ---- exceptions ----

// The pending exception as one object (its traceback attached), and back.
// 3.12 deprecates the (type, value, traceback) triple for this pair.
inline PyObject* take_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (!type) return nullptr;
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && value) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return value;
#endif
}

// Steals `exc`.
inline void restore_exception(PyObject* exc) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc);
#else
    if (!exc) return;
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc));
    Py_INCREF(type);
    PyErr_Restore(type, exc, PyException_GetTraceback(exc));
#endif
}

// Adds an entry "File <file>, line <line>, in <function>" to the pending
// exception's traceback, as the interpreter does for a frame of Python code.
// Built from public calls on every version: the interpreter's own helper for
// this became internal in 3.13.  A frame made for an empty code object
// reports the code's first line on every version.
inline void add_traceback(const char* function, const char* file, int line) {
    PyObject* exc = take_exception();
    PyObject* globals = PyDict_New();
    PyCodeObject* code = globals ? PyCode_NewEmpty(file, function, line) : nullptr;
    PyFrameObject* frame = code ? PyFrame_New(PyThreadState_Get(), code, globals, nullptr) : nullptr;
    Py_XDECREF(code);
    Py_XDECREF(globals);
    if (!frame) {  // keep the original exception rather than this one
        PyErr_Clear();
        restore_exception(exc);
        return;
    }
    restore_exception(exc);
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
}

// ---- strings ----

// Equality of two str objects, without calling anything (str subclasses
// compare by value, as their __eq__ cannot be reached from here).
inline bool str_equal(PyObject* a, PyObject* b) {
    return a == b || (PyUnicode_GET_LENGTH(a) == PyUnicode_GET_LENGTH(b) && PyUnicode_Compare(a, b) == 0);
}

// ---- dictionaries ----

// The module's global lookups are cached against the state of two
// dictionaries (the module namespace and the builtins).  Up to 3.11 a
// dictionary carries a version tag that changes at every modification (the
// field is public in those versions); 3.12 deprecates the tag and offers
// dictionary watchers instead, which here advance one counter shared by the
// watched dictionaries.
#if PY_VERSION_HEX >= 0x030C0000
extern uint64_t watched_generation;
inline uint64_t dict_version(PyObject*) { return watched_generation; }
#else
inline uint64_t dict_version(PyObject* d) { return reinterpret_cast<PyDictObject*>(d)->ma_version_tag; }
#endif

// Makes dict_version() follow `d`; 0, or -1 with an exception set.
int watch_dict(PyObject* d);

// ---- types ----

// Lookup of a name along a type's MRO, without calling anything: what the
// interpreter's own attribute lookup does first.  No public equivalent
// exists up to 3.13; the function is exported and declared in the
// interpreter's headers on every version.  Borrowed reference or null
// (without an exception).
inline PyObject* type_lookup(PyTypeObject* tp, PyObject* name) { return _PyType_Lookup(tp, name); }

// Generic attribute lookup that answers a miss with null and no exception,
// instead of making an AttributeError only to discard it.  Exported and
// declared on every version; no public equivalent.
inline PyObject* generic_getattr_nothrow(PyObject* obj, PyObject* name) {
    return _PyObject_GenericGetAttrWithDict(obj, name, nullptr, 1);
}

// The tag a type has while its attributes have not changed since it was
// given, or 0.  Up to 3.11 a tag is valid while the type has the flag
// Py_TPFLAGS_VALID_VERSION_TAG; from 3.12 the flag is no longer kept and a
// changed type has tag 0.  A type that has none yet is given one.
inline unsigned int type_tag(PyTypeObject* tp) {
#if PY_VERSION_HEX >= 0x030C0000
    if (tp->tp_version_tag == 0) PyUnstable_Type_AssignVersionTag(tp);
    return tp->tp_version_tag;
#else
    return PyType_HasFeature(tp, Py_TPFLAGS_VALID_VERSION_TAG) ? tp->tp_version_tag : 0;
#endif
}

inline bool type_tag_is(PyTypeObject* tp, unsigned int tag) {
#if PY_VERSION_HEX >= 0x030C0000
    return tp->tp_version_tag == tag;  // 0 is never remembered
#else
    return tp->tp_version_tag == tag && PyType_HasFeature(tp, Py_TPFLAGS_VALID_VERSION_TAG);
#endif
}

// The member type of a `__slots__` entry holding an object (AttributeError
// when unset); the names moved from structmember.h to Python.h in 3.12.
#if PY_VERSION_HEX >= 0x030C0000
constexpr int member_object_ex = Py_T_OBJECT_EX;
#else
constexpr int member_object_ex = T_OBJECT_EX;
#endif

// The getter of a property object.  The property type keeps its getter,
// setter, deleter and docstring as its first four fields in every version
// from 3.8 to 3.13 (3.12 adds a name after them); there is no public way to
// read the getter without an attribute lookup.  check_property_layout()
// verifies the layout once at initialisation on a property it makes; while
// it does not hold, property_getter() answers null and the callers take the
// ordinary path.
struct PropertyLayout {
    PyObject_HEAD
    PyObject* prop_get;
    PyObject* prop_set;
    PyObject* prop_del;
    PyObject* prop_doc;
};
extern bool property_layout_ok;
int check_property_layout();  // 0, or -1 with an exception set
inline PyObject* property_getter(PyObject* prop) {
    return property_layout_ok ? reinterpret_cast<PropertyLayout*>(prop)->prop_get : nullptr;
}

// ---- module definition ----

// Slots that newer interpreters read from a module definition: the module
// serves one interpreter per process and says so itself (its create step
// refuses a second one), so sub-interpreters sharing the main interpreter's
// lock are let through to that check; one with a lock of its own is refused
// by the import system.  On 3.13 a free-threaded interpreter turns its lock
// back on when the module is imported.
#if PY_VERSION_HEX >= 0x030C0000
#define CSDK_MODULE_VERSION_SLOTS {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_SUPPORTED},
#else
#define CSDK_MODULE_VERSION_SLOTS
#endif
#if PY_VERSION_HEX >= 0x030D0000
#define CSDK_MODULE_GIL_SLOT {Py_mod_gil, Py_MOD_GIL_USED},
#else
#define CSDK_MODULE_GIL_SLOT
#endif

}  // namespace compat
}  // namespace csdk
