// One place that pulls in the interpreter's headers with the settings the
// whole module uses.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if PY_VERSION_HEX < 0x03080000 || PY_VERSION_HEX >= 0x03090000
#error "c_sdk is built for CPython 3.8"
#endif

#define CSDK_LIKELY(x) __builtin_expect(!!(x), 1)
#define CSDK_UNLIKELY(x) __builtin_expect(!!(x), 0)
