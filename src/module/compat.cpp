#include "module/compat.h"

namespace csdk {
namespace compat {

#if PY_VERSION_HEX >= 0x030C0000
uint64_t watched_generation = 1;

namespace {

int watcher_id = -1;

// Called before every change to a watched dictionary: whatever was looked up
// in it is looked up again.
int on_dict_event(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    ++watched_generation;
    return 0;
}

}  // namespace

int watch_dict(PyObject* d) {
    // One watcher for the process: an interpreter has only a few, and a body
    // that failed and runs again must not take another.
    if (watcher_id < 0 && (watcher_id = PyDict_AddWatcher(on_dict_event)) < 0) return -1;
    ++watched_generation;
    return PyDict_Watch(watcher_id, d);
}
#else
int watch_dict(PyObject*) { return 0; }
#endif

bool property_layout_ok = false;

int check_property_layout() {
    PyObject* getter = PyDict_New();  // any object will do
    if (!getter) return -1;
    PyObject* prop =
        PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PyProperty_Type), getter, Py_None, Py_None, nullptr);
    if (!prop) {
        Py_DECREF(getter);
        return -1;
    }
    PyObject* fget = PyObject_GetAttrString(prop, "fget");
    auto* layout = reinterpret_cast<PropertyLayout*>(prop);
    property_layout_ok = Py_TYPE(prop)->tp_basicsize >= Py_ssize_t(sizeof(PropertyLayout)) && fget == getter &&
                         layout->prop_get == getter && layout->prop_set == nullptr && layout->prop_del == nullptr;
    Py_XDECREF(fget);
    Py_DECREF(prop);
    Py_DECREF(getter);
    return PyErr_Occurred() ? -1 : 0;
}

}  // namespace compat
}  // namespace csdk
