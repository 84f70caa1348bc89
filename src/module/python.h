// One place that pulls in the interpreter's headers with the settings the
// whole module uses.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define CSDK_LIKELY(x) __builtin_expect(!!(x), 1)
#define CSDK_UNLIKELY(x) __builtin_expect(!!(x), 0)

namespace csdk {

// Held while the module calls out to an object that may call back into it (a
// conversion slot, a callable it was given, a wrapped mapping): the call
// counts towards the interpreter's recursion limit, as calls of the
// interpreter's own C functions do.  A cycle made only of c_sdk functions
// (a binding installed as some class's __len__, a record wrapping itself)
// then ends in RecursionError instead of overflowing the C stack.
class CallOut {
public:
    CallOut() : entered_(Py_EnterRecursiveCall(" while calling a Python object") == 0) {}
    ~CallOut() {
        if (entered_) Py_LeaveRecursiveCall();
    }
    CallOut(const CallOut&) = delete;
    CallOut& operator=(const CallOut&) = delete;
    explicit operator bool() const { return entered_; }

private:
    bool entered_;
};

// An owned reference, released when it goes out of scope.  Whatever the
// module still needs after it has called Python code (a comparison, a
// conversion hook, a callable, a mapping method) is held through one of
// these: that code may rebind or delete the name the object was found under
// and so drop the last other reference to it.
class Ref {
public:
    Ref() = default;
    explicit Ref(PyObject* owned) : p_(owned) {}
    static Ref borrow(PyObject* o) {
        Py_XINCREF(o);
        return Ref(o);
    }
    ~Ref() { Py_XDECREF(p_); }
    Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    Ref& operator=(Ref&& o) noexcept {
        PyObject* old = p_;
        p_ = o.p_;
        o.p_ = nullptr;
        Py_XDECREF(old);
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    PyObject* get() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    PyObject* release() {
        PyObject* o = p_;
        p_ = nullptr;
        return o;
    }

private:
    PyObject* p_ = nullptr;
};

}  // namespace csdk
