// The module's compatibility layer checked against the interpreter it is
// built for: each assumption about a structure or a name the interpreter
// does not document as public must hold here, or this test fails.
#include <gtest/gtest.h>

#include <pthread.h>

#include <string>
#include <thread>

#include "module/compat.h"

namespace {

using namespace csdk;

class Interpreter : public ::testing::Environment {
public:
    void SetUp() override { Py_InitializeEx(0); }
    void TearDown() override { Py_FinalizeEx(); }
};

PyObject* run(const char* code) {  // new reference to the value of `result`, or null
    PyObject* ns = PyDict_New();
    PyObject* r = PyRun_String(code, Py_file_input, ns, ns);
    Py_XDECREF(r);
    PyObject* result = r ? PyDict_GetItemString(ns, "result") : nullptr;
    Py_XINCREF(result);
    Py_DECREF(ns);
    if (!result) PyErr_Print();
    return result;
}

TEST(Compat, PropertyGetterIsReadFromTheLayout) {
    ASSERT_EQ(compat::check_property_layout(), 0);
    ASSERT_TRUE(compat::property_layout_ok);
    PyObject* prop = run("def g(self): pass\nresult = property(g)");
    ASSERT_NE(prop, nullptr);
    PyObject* fget = PyObject_GetAttrString(prop, "fget");
    EXPECT_EQ(compat::property_getter(prop), fget);
    Py_XDECREF(fget);
    Py_DECREF(prop);
}

TEST(Compat, DictVersionFollowsEveryChange) {
    PyObject* d = PyDict_New();
    ASSERT_EQ(compat::watch_dict(d), 0);
    uint64_t v0 = compat::dict_version(d);
    PyObject* one = PyLong_FromLong(1);
    ASSERT_EQ(PyDict_SetItemString(d, "a", one), 0);
    uint64_t v1 = compat::dict_version(d);
    EXPECT_NE(v0, v1);
    ASSERT_EQ(PyDict_SetItemString(d, "a", Py_None), 0);  // a new value under the same key
    uint64_t v2 = compat::dict_version(d);
    EXPECT_NE(v1, v2);
    ASSERT_EQ(PyDict_DelItemString(d, "a"), 0);
    EXPECT_NE(v2, compat::dict_version(d));
    uint64_t v3 = compat::dict_version(d);
    PyDict_Clear(d);
    PyObject* found = PyDict_GetItemString(d, "zz");  // a read is no change
    EXPECT_EQ(found, nullptr);
    EXPECT_NE(v3, compat::dict_version(d));  // clearing an empty dict may count; it must not go back
    Py_DECREF(one);
    Py_DECREF(d);
}

TEST(Compat, RecursionLeftCountsNestedCalls) {
    int before = compat::recursion_left();
    EXPECT_GT(before, 0);
    EXPECT_LE(before, Py_GetRecursionLimit());
    // A Python function calling itself uses the budget the bridge reads: at
    // a depth of 100 it reads less than at the top.
    PyObject* depth_left = run(
        "import sys\n"
        "def down(n, probe):\n"
        "    return probe() if n == 0 else down(n - 1, probe)\n"
        "result = down\n");
    ASSERT_NE(depth_left, nullptr);
    static int seen;
    PyMethodDef def = {"probe", [](PyObject*, PyObject*) -> PyObject* {
                           seen = compat::recursion_left();
                           Py_RETURN_NONE;
                       }, METH_NOARGS, nullptr};
    PyObject* probe = PyCFunction_New(&def, nullptr);
    PyObject* r = PyObject_CallFunction(depth_left, "iO", 100, probe);
    ASSERT_NE(r, nullptr);
    Py_DECREF(r);
    EXPECT_LT(seen, before);
    EXPECT_GT(seen, before - 500);
    // Raising the limit leaves as many more levels (the Python frames' count;
    // the separate C count of 3.12 and later is fixed, and higher here).
    int limit = Py_GetRecursionLimit();
    int at = compat::recursion_left();
    Py_SetRecursionLimit(limit + 50);
    int raised = compat::recursion_left();
    Py_SetRecursionLimit(limit);
    EXPECT_EQ(raised, at + 50);
    Py_DECREF(probe);
    Py_DECREF(depth_left);
}

TEST(Compat, ThreadStateIsSeenPerThread) {
    EXPECT_NE(compat::thread_state_if_any(), nullptr);
    bool other = true;
    std::thread([&other] { other = compat::thread_state_if_any() != nullptr; }).join();
    // Before 3.12 the current thread state is process-wide.
    EXPECT_EQ(other, !compat::per_thread_state);
    PyThreadState* ts = compat::thread_state_if_any();
    EXPECT_EQ(ts->thread_id, PyThread_get_thread_ident());
    EXPECT_EQ(compat::this_thread_id(), static_cast<unsigned long>(pthread_self()));
    EXPECT_TRUE(compat::owns_thread_state(ts));
    // Another thread, without the interpreter and then with a thread state
    // of its own; the one it sees (up to 3.11, ours) is never its own.
    bool own = false;
    PyThreadState* saved = PyEval_SaveThread();
    std::thread([&other, &own] {
        other = compat::owns_thread_state(compat::thread_state_if_any());
        PyGILState_STATE g = PyGILState_Ensure();
        own = compat::owns_thread_state(compat::thread_state_if_any());
        PyGILState_Release(g);
    }).join();
    PyEval_RestoreThread(saved);
    EXPECT_FALSE(other);
    EXPECT_TRUE(own);
    // While this thread holds the interpreter (up to 3.11 its thread state is
    // the current one for every thread).
    std::thread([&other] { other = compat::owns_thread_state(compat::thread_state_if_any()); }).join();
    EXPECT_FALSE(other);
}

TEST(Compat, TypeTagsChangeWithTheType) {
    PyObject* cls = run("class C:\n    x = 1\nresult = C");
    ASSERT_NE(cls, nullptr);
    auto* tp = reinterpret_cast<PyTypeObject*>(cls);
    PyObject* name = PyUnicode_InternFromString("x");
    ASSERT_NE(compat::type_lookup(tp, name), nullptr);  // also gives the type a tag
    unsigned int tag = compat::type_tag(tp);
    ASSERT_NE(tag, 0u);
    EXPECT_TRUE(compat::type_tag_is(tp, tag));
    ASSERT_EQ(PyObject_SetAttr(cls, name, Py_None), 0);
    EXPECT_FALSE(compat::type_tag_is(tp, tag));
    unsigned int again = compat::type_tag(tp);
    EXPECT_NE(again, tag);
    EXPECT_EQ(compat::type_lookup(tp, name), Py_None);
    Py_DECREF(name);
    Py_DECREF(cls);
}

TEST(Compat, GenericLookupMissesWithoutAnError) {
    PyObject* obj = run("class C:\n    pass\nresult = C()");
    ASSERT_NE(obj, nullptr);
    PyObject* name = PyUnicode_FromString("absent");
    EXPECT_EQ(compat::generic_getattr_nothrow(obj, name), nullptr);
    EXPECT_FALSE(PyErr_Occurred());
    Py_DECREF(name);
    Py_DECREF(obj);
}

TEST(Compat, SlotMemberTypeIsTheObjectOne) {
    PyObject* cls = run("class C:\n    __slots__ = ['data']\nresult = C");
    ASSERT_NE(cls, nullptr);
    PyObject* slot = PyObject_GetAttrString(cls, "data");
    ASSERT_EQ(Py_TYPE(slot), &PyMemberDescr_Type);
    EXPECT_EQ(reinterpret_cast<PyMemberDescrObject*>(slot)->d_member->type, compat::member_object_ex);
    Py_DECREF(slot);
    Py_DECREF(cls);
}

TEST(Compat, TracebackEntryAndExceptionRoundTrip) {
    PyErr_SetString(PyExc_ValueError, "x");
    compat::add_traceback("init c_sdk", "c_sdk", 7);
    PyObject* exc = compat::take_exception();
    ASSERT_NE(exc, nullptr);
    EXPECT_FALSE(PyErr_Occurred());
    PyObject* tb = PyException_GetTraceback(exc);
    ASSERT_NE(tb, nullptr);
    PyObject* line = PyObject_GetAttrString(tb, "tb_lineno");
    PyObject* frame = PyObject_GetAttrString(tb, "tb_frame");
    PyObject* code = frame ? PyObject_GetAttrString(frame, "f_code") : nullptr;
    PyObject* name = code ? PyObject_GetAttrString(code, "co_name") : nullptr;
    PyObject* file = code ? PyObject_GetAttrString(code, "co_filename") : nullptr;
    ASSERT_TRUE(line && name && file);
    EXPECT_EQ(PyLong_AsLong(line), 7);
    EXPECT_STREQ(PyUnicode_AsUTF8(name), "init c_sdk");
    EXPECT_STREQ(PyUnicode_AsUTF8(file), "c_sdk");
    Py_XDECREF(line);
    Py_XDECREF(frame);
    Py_XDECREF(code);
    Py_XDECREF(name);
    Py_XDECREF(file);
    Py_DECREF(tb);
    compat::restore_exception(exc);
    EXPECT_TRUE(PyErr_ExceptionMatches(PyExc_ValueError));
    PyErr_Clear();
}

TEST(Compat, BuiltForThisInterpreter) {
    // The headers the layer was compiled against are the running library's.
    std::string version = Py_GetVersion();
    std::string built = std::to_string(PY_MAJOR_VERSION) + "." + std::to_string(PY_MINOR_VERSION) + ".";
    EXPECT_EQ(version.rfind(built, 0), 0u) << version;
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new Interpreter);
    return RUN_ALL_TESTS();
}
