/*
 * bench_cg: callgrind client requests for the benchmark driver.  Outside
 * valgrind every function is a no-op.
 *
 *   start()       zero the counters and start collecting
 *   stop(label)   stop collecting and write the counts as a dump named label
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <valgrind/callgrind.h>

static PyObject* start(PyObject* self, PyObject* unused) {
    CALLGRIND_ZERO_STATS;
    CALLGRIND_TOGGLE_COLLECT;
    Py_RETURN_NONE;
}

static PyObject* stop(PyObject* self, PyObject* label) {
    CALLGRIND_TOGGLE_COLLECT;
    const char* text = PyUnicode_AsUTF8(label);
    if (!text) return NULL;
    CALLGRIND_DUMP_STATS_AT(text);
    Py_RETURN_NONE;
}

static PyObject* running(PyObject* self, PyObject* unused) { return PyBool_FromLong(RUNNING_ON_VALGRIND); }

static PyMethodDef methods[] = {
    {"start", start, METH_NOARGS, NULL},
    {"stop", stop, METH_O, NULL},
    {"running", running, METH_NOARGS, NULL},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "bench_cg", NULL, -1, methods};

PyMODINIT_FUNC PyInit_bench_cg(void) { return PyModule_Create(&module_def); }
