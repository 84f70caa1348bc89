"""Initialisation, the namespace, function objects and the argument conventions."""
import ctypes
import importlib
import inspect
import os
import sys
import warnings

import pytest

import c_sdk
from conftest import python_call_text, run_python
from tables import BINDINGS, DIRECT, HELPERS, RECORD_CLASSES


def test_namespace_is_exactly_the_table():
    names = [n for n in vars(c_sdk) if not (n.startswith("__") and n.endswith("__"))]
    expected = (["functools", "platform", "CSDK_OPERATE_SUCCESS", "vqsdklogger", "IS_PY2", "IS_PY3"]
                + RECORD_CLASSES + HELPERS + [n for n, _ in BINDINGS] + DIRECT)
    if "f" in names:  # registered by an earlier test
        names.remove("f")
    assert names == expected
    assert len(BINDINGS) == 181 and sum(d for _, d in BINDINGS) == 60
    assert c_sdk.IS_PY2 is False and c_sdk.IS_PY3 is True
    assert c_sdk.__doc__ is None
    assert sys.modules["c_sdk"] is c_sdk
    assert c_sdk.__builtins__ is importlib.import_module("builtins")


@pytest.mark.parametrize("name,decorated", BINDINGS)
def test_binding_function_objects(name, decorated):
    fn = getattr(c_sdk, name)
    assert fn.__module__ == "c_sdk"
    if decorated:
        assert fn.__name__ == "wrapper"
        assert fn.__qualname__ == "adapt_to_python3.<locals>.wrapper"
        assert str(inspect.signature(fn)) == "(*args, **kwargs)"
        inner = fn.__closure__[0].cell_contents
        assert inner.__name__ == name and inner.__module__ == "c_sdk"
    else:
        assert fn.__name__ == name and fn.__doc__ is None
        params = list(inspect.signature(fn).parameters.values())
        assert all(p.kind is p.POSITIONAL_OR_KEYWORD and p.default is p.empty for p in params)


def test_signatures_name_the_parameters():
    assert str(inspect.signature(c_sdk.py_vqi_history_bars_pb)) == "(req)"
    assert str(inspect.signature(c_sdk.py_vqi_set_serv_addr_v5)) == "(addr, orgcode, site_id)"
    assert str(inspect.signature(c_sdk.py_vqi_get_accounts)) == "()"
    assert str(inspect.signature(c_sdk.c_status_fail)) == "(status, cfunname='')"
    current = c_sdk.py_vqi_current.__closure__[0].cell_contents
    assert str(inspect.signature(current)) == "(symbols, fields, include_call_auction)"


def test_reimport_and_reload_keep_everything(module):
    run = c_sdk.py_vqi_run
    module.py_vqi_history_ticks_pb = "changed"
    del sys.modules["c_sdk"]
    again = importlib.import_module("c_sdk")
    assert again is c_sdk and again.py_vqi_run is run
    assert importlib.reload(c_sdk) is c_sdk
    assert c_sdk.py_vqi_history_ticks_pb == "changed" and c_sdk.py_vqi_run is run


def test_no_sdk_call_during_import():
    r = run_python("""
        import vqsim
        sdk = vqsim.sdk()
        sdk.reset(); sdk.recording(True)
        import c_sdk
        print(sdk.count(), hasattr(c_sdk, 'f'))
    """)
    assert r.returncode == 0, r.stderr
    assert r.stdout.split() == ["0", "False"]


def test_second_interpreter_is_refused():
    r = run_python("""
        import _testcapi, c_sdk
        print(_testcapi.run_in_subinterp("import c_sdk"))
    """)
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "-1"
    assert ("ImportError: Interpreter change detected - this module can only be loaded into one "
            "interpreter per process.") in r.stderr


@pytest.mark.skipif(sys.version_info < (3, 12), reason="interpreters with a lock of their own came with 3.12")
def test_interpreter_with_its_own_lock_is_refused_by_the_import_system():
    r = run_python("""
        import sys
        if sys.version_info >= (3, 13):
            import _interpreters as interpreters
            interp = interpreters.create("isolated")
            failure = interpreters.exec(interp, "import c_sdk")
            print(failure.type.__name__, failure.msg)
        else:
            import _xxsubinterpreters as interpreters
            interp = interpreters.create(isolated=True)
            try:
                interpreters.run_string(interp, "import c_sdk")
            except interpreters.RunFailedError as e:
                print(str(e).replace("<class 'ImportError'>", "ImportError"))
        interpreters.destroy(interp)
        import c_sdk  # the refused import left nothing behind
        print(c_sdk.__name__)
    """)
    assert r.returncode == 0, r.stderr
    refusal, name = r.stdout.strip().splitlines()
    assert refusal.startswith("ImportError") and "c_sdk" in refusal and "Interpreter change" not in refusal
    assert name == "c_sdk"


def module_slots():
    """The (id, value) slots of the module's definition, read from what
    PyInit_c_sdk returns."""
    class Def(ctypes.Structure):
        _fields_ = [("refcnt", ctypes.c_ssize_t), ("type", ctypes.c_void_p), ("m_init", ctypes.c_void_p),
                    ("m_index", ctypes.c_ssize_t), ("m_copy", ctypes.c_void_p), ("m_name", ctypes.c_char_p),
                    ("m_doc", ctypes.c_char_p), ("m_size", ctypes.c_ssize_t), ("m_methods", ctypes.c_void_p),
                    ("m_slots", ctypes.c_void_p)]

    class Slot(ctypes.Structure):
        _fields_ = [("slot", ctypes.c_int), ("value", ctypes.c_void_p)]
    init = ctypes.PyDLL(c_sdk.__file__).PyInit_c_sdk
    init.restype = ctypes.POINTER(Def)
    definition = init().contents
    assert definition.m_name == b"c_sdk"
    slots, i = [], 0
    while True:
        slot = Slot.from_address(definition.m_slots + i * ctypes.sizeof(Slot))
        if slot.slot == 0:
            return slots
        slots.append((slot.slot, slot.value or 0))
        i += 1


def test_declared_slots():
    # Py_mod_create 1, Py_mod_exec 2; from 3.12 Py_mod_multiple_interpreters 3
    # = supported with a shared lock (1); from 3.13 Py_mod_gil 4 = used (0).
    # 3.15's headers number them anew from 84 (the old numbers still load).
    base = 83 if sys.version_info >= (3, 15) else 0
    expected = {1, 2} | ({3} if sys.version_info >= (3, 12) else set()) | ({4} if sys.version_info >= (3, 13) else set())
    slots = dict(module_slots())
    assert set(slots) == {base + n for n in expected}
    assert slots.get(base + 3, 1) == 1 and slots.get(base + 4, 0) == 0


def test_exec_of_another_module_object_is_refused():
    r = run_python("""
        import importlib.util
        spec = importlib.util.find_spec('c_sdk')
        a = importlib.util.module_from_spec(spec)
        b = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(a)
        try:
            spec.loader.exec_module(b)
        except RuntimeError as e:
            print(e)
    """)
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "Module 'c_sdk' has already been imported. Re-initialisation is not supported."


def test_failed_body_runs_again_on_next_import(tmp_path):
    # A `vq` whose utils lacks the logger: the body stops there, the import
    # fails with the module's own text, and the next attempt starts over.
    pkg = tmp_path / "vq"
    pkg.mkdir()
    (pkg / "__init__.py").write_text("")
    (pkg / "constant.py").write_text("CSDK_OPERATE_SUCCESS = 7\n")
    (pkg / "utils.py").write_text("import sys\nabandoned = sys.modules['c_sdk']\n")
    r = run_python("""
        import sys, traceback
        try:
            import c_sdk
        except ImportError as e:
            print('1:', e)
            print('tb:', 'init c_sdk' in ''.join(traceback.format_tb(e.__traceback__)))
        import vq.utils
        ns = vars(vq.utils.abandoned)
        print('2:', ns['CSDK_OPERATE_SUCCESS'], 'vqsdklogger' in ns, 'c_sdk' in sys.modules)
        vq.utils.vqsdklogger = 'logger'
        import c_sdk
        print('3:', c_sdk is not vq.utils.abandoned, c_sdk.vqsdklogger, c_sdk.CSDK_OPERATE_SUCCESS,
              callable(c_sdk.py_vqi_run))
    """, extra_path=[str(tmp_path)])
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == ["1: cannot import name vqsdklogger", "tb: True",
                                     "2: 7 False False", "3: True logger 7 True"]


def test_missing_vq_fails_then_succeeds(tmp_path):
    r = run_python("""
        import sys
        sys.path = [p for p in sys.path if 'standin' not in p]
        try:
            import c_sdk
        except ImportError as e:
            print(type(e).__name__, e.name)
        sys.path.append(%r)
        import c_sdk
        print(c_sdk.CSDK_OPERATE_SUCCESS)
    """ % vars(sys.modules["vq"])["__path__"][0].rsplit("/", 1)[0])
    assert r.returncode == 0, r.stderr
    assert r.stdout.split() == ["ModuleNotFoundError", "vq", "0"]


# Settings read once at import: a bad value fails the import with a text
# that names the variable and what it takes; the namespace is the same in
# either mode.
@pytest.mark.parametrize("name,value,refusal", [
    ("CSDK_RUN_UNLOCKED", "0", None), ("CSDK_RUN_UNLOCKED", "1", None), ("CSDK_RUN_UNLOCKED", "", None),
    ("CSDK_RUN_UNLOCKED", "yes", "CSDK_RUN_UNLOCKED must be 0 (the run loop keeps the interpreter lock) "
                                 "or 1 (it lets go), not 'yes'"),
    ("CSDK_HELD_EVENTS_MAX_BYTES", "0", None), ("CSDK_HELD_EVENTS_MAX_BYTES", "4096", None),
    ("CSDK_HELD_EVENTS_MAX_BYTES", "-1", "CSDK_HELD_EVENTS_MAX_BYTES must be a number of bytes (0 for no limit), "
                                         "not '-1'"),
    ("CSDK_HELD_EVENTS_MAX_BYTES", "9" * 30, "CSDK_HELD_EVENTS_MAX_BYTES must be a number of bytes (0 for no limit), "
                                             "not '%s'" % ("9" * 30)),
])
def test_settings_at_import(name, value, refusal):
    r = run_python("""
        try:
            import c_sdk
        except ImportError as e:
            print("ImportError:", e)
        else:
            print(sorted(set(vars(c_sdk)) - {"f"}) == %r)
    """ % sorted(set(vars(c_sdk)) - {"f"}), env={name: value})
    assert (r.returncode, r.stdout.strip()) == (0, "ImportError: " + refusal if refusal else "True"), r.stderr


@pytest.mark.parametrize("flags", ["default", "RTLD_LAZY"])
def test_library_lacking_a_function_is_refused_at_import(flags):
    """Against a libvqsdk.so without vqi_poll (first on LD_LIBRARY_PATH, which
    wins over the module's RUNPATH) the import fails, even for a host that
    asks for lazy binding, instead of the first vqi_poll() killing the process."""
    lacking = os.path.join(os.environ["CSDK_BUILD_DIR"], "standin-without-poll")
    r = run_python("""
        import os, sys
        if %r == "RTLD_LAZY":
            sys.setdlopenflags(os.RTLD_LAZY)
        try:
            import c_sdk
        except ImportError as e:
            print("ImportError:", e)
        else:
            print("imported; vqi_poll() gives", c_sdk.vqi_poll())
    """ % flags, env={"LD_LIBRARY_PATH": os.pathsep.join(filter(None, [lacking, os.environ.get("LD_LIBRARY_PATH")]))})
    assert (r.returncode, r.stdout.split(":")[0]) == (0, "ImportError"), (r.stdout, r.stderr[-2000:])
    assert "vqi_poll" in r.stdout


# ---- argument binding: one piece of code, the same texts everywhere ----

ERRORS = [
    (c_sdk.py_vqi_history_bars_pb, (), {}, "py_vqi_history_bars_pb() takes exactly 1 positional argument (0 given)"),
    (c_sdk.py_vqi_history_bars_pb, (b"", b""), {}, "py_vqi_history_bars_pb() takes exactly 1 positional argument (2 given)"),
    (c_sdk.py_vqi_history_bars_pb, (b"",), {"x": 1}, "py_vqi_history_bars_pb() got an unexpected keyword argument 'x'"),
    (c_sdk.py_vqi_history_bars_pb, (b"",), {"req": 1}, "py_vqi_history_bars_pb() got multiple values for keyword argument 'req'"),
    (c_sdk.py_vqi_history_bars_pb, (b"",), {1: 1}, "py_vqi_history_bars_pb() keywords must be strings"),
    (c_sdk.py_vqi_set_serv_addr_v5, (), {"orgcode": b""}, "py_vqi_set_serv_addr_v5() takes exactly 3 positional arguments (0 given)"),
    (c_sdk.py_vqi_set_serv_addr_v5, (b"",), {"site_id": b"", "zz": 1}, "py_vqi_set_serv_addr_v5() takes exactly 3 positional arguments (1 given)"),
    (c_sdk.py_vqi_set_serv_addr_v5, (b"",), {"zz": 1, "orgcode": b"", "site_id": b""}, "py_vqi_set_serv_addr_v5() got an unexpected keyword argument 'zz'"),
    (c_sdk.py_vqi_get_accounts, (1,), {}, "py_vqi_get_accounts() takes no arguments (1 given)"),
    (c_sdk.py_vqi_get_accounts, (), {"a": 1}, "py_vqi_get_accounts() takes no keyword arguments"),
    (c_sdk.py_vqi_place_order, (), {}, "py_vqi_place_order() takes exactly 1 positional argument (0 given)"),
    (c_sdk.py_vqi_place_order, (b"",), {1: 2}, "wrapper() keywords must be strings"),
    (c_sdk.c_status_fail, (), {}, "c_status_fail() takes at least 1 positional argument (0 given)"),
    (c_sdk.c_status_fail, (1, 2, 3), {}, "c_status_fail() takes at most 2 positional arguments (3 given)"),
    (c_sdk.c_status_ok, (), {"cfunname": 1}, "c_status_ok() takes exactly 1 positional argument (0 given)"),
    (c_sdk.vqi_poll, (1,), {}, "wrap() takes no arguments (1 given)"),
    (c_sdk.vqi_poll, (), {"x": 1}, "wrap() takes no keyword arguments"),
    (c_sdk.vqi_set_mode, (), {}, "wrap() takes exactly 1 positional argument (0 given)"),
    (c_sdk.adapt_to_python3, (), {}, "adapt_to_python3() takes exactly 1 positional argument (0 given)"),
    (c_sdk.is_linux, (0,), {}, "is_linux() takes no arguments (1 given)"),
]


@pytest.mark.parametrize("fn,args,kwargs,message", ERRORS)
def test_argument_errors(sdk, fn, args, kwargs, message):
    with pytest.raises(TypeError) as e:
        fn(*args, **kwargs)
    assert str(e.value) == python_call_text(message)
    assert sdk.count() == 0


@pytest.mark.skipif(not hasattr(ctypes.pythonapi, "PyObject_Vectorcall"),
                    reason="this interpreter's vectorcall entry point is inline only")
@pytest.mark.parametrize("fn, name", [(c_sdk.py_vqi_history_bars_pb, "py_vqi_history_bars_pb"),
                                      (c_sdk.py_vqi_place_order, "wrapper")])
def test_keyword_names_that_are_not_strings(sdk, fn, name):
    """What reaches the module through the C API still gets its own text."""
    call = ctypes.pythonapi.PyObject_Vectorcall
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t, ctypes.py_object]
    args = (ctypes.py_object * 2)(b"", 1)
    with pytest.raises(TypeError) as e:
        call(fn, args, 1, (1,))
    assert str(e.value) == "%s() keywords must be strings" % name and sdk.count() == 0


def test_empty_keyword_mapping_is_no_argument(sdk):
    assert c_sdk.py_vqi_get_accounts(**{}) == (0, b"")
    assert c_sdk.vqi_init(**{}) == 0


# ---- conversions ----

class Int:
    def __init__(self, v): self.v = v
    def __int__(self): return self.v


class Index:
    def __index__(self): return 1


class Float:
    def __float__(self): return 2.5


@pytest.mark.parametrize("value,sent", [
    (7, 7), (True, 1), (False, 0), (-2 ** 31, -2 ** 31), (2 ** 31 - 1, 2 ** 31 - 1),
    (3.9, 3), (-3.9, -3), (Int(5), 5), (Int(True), 1),
])
def test_int_conversion(sdk, value, sent):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert c_sdk.vqi_set_mode(value) is None
    assert sdk.last("vqi_set_mode") == (sent,)


@pytest.mark.parametrize("value,error,message", [
    ("1", TypeError, "an integer is required"),
    (b"1", TypeError, "an integer is required"),
    (None, TypeError, "an integer is required"),
    (Index(), TypeError, "an integer is required"),
    (Int("x"), TypeError, "__int__ returned non-int (type str)"),
    (2 ** 31, OverflowError, "value too large to convert to int"),
    (-2 ** 31 - 1, OverflowError, "value too large to convert to int"),
    (2 ** 64, OverflowError, "Python int too large to convert to C long"),
    (float("nan"), ValueError, "cannot convert float NaN to integer"),
])
def test_int_conversion_errors(sdk, value, error, message):
    with pytest.raises(error) as e:
        c_sdk.vqi_set_mode(value)
    assert str(e.value) == message
    assert sdk.count() == 0


@pytest.mark.parametrize("value,sent", [(1.5, 1.5), (3, 3.0), (True, 1.0), (Float(), 2.5), (Index(), 1.0)])
def test_double_conversion(sdk, value, sent):
    args = [b"s", b"e"] + [value] * 7 + [1, 2, 3]
    assert c_sdk.py_vqi_set_backtest_config(*args) == 0
    recorded = sdk.last("vqi_set_backtest_config")
    assert recorded[2:9] == (sent,) * 7 and all(type(v) is float for v in recorded[2:9])


def test_double_conversion_error(sdk):
    with pytest.raises(TypeError, match="must be real number, not bytes"):
        c_sdk.py_vqi_smart_reorder(b"s", b"1", 1, 1, 1, 1, 1, 1, 1, 1, b"a")
    assert sdk.count() == 0


class Bytes(bytes):
    pass


class ByteArray(bytearray):
    pass


@pytest.mark.parametrize("value,sent", [
    (b"abc", b"abc"), (bytearray(b"abc"), b"abc"), (bytearray(), b""), (b"", b""),
    (Bytes(b"x"), b"x"), (ByteArray(b"yz"), b"yz"), (b"a\0b", b"a"),
])
def test_c_string_conversion(sdk, value, sent):
    c_sdk.vqi_add_bus_topic(value)
    assert sdk.last("vqi_add_bus_topic") == (sent,)


@pytest.mark.parametrize("value,message", [
    ("topic", "expected bytes, str found"), (None, "expected bytes, NoneType found"),
    (memoryview(b"x"), "expected bytes, memoryview found"), (1, "expected bytes, int found"),
])
def test_c_string_refuses_other_types(sdk, value, message):
    with pytest.raises(TypeError) as e:
        c_sdk.vqi_add_bus_topic(value)
    assert str(e.value) == message
    assert sdk.count() == 0


# ---- the decorator ----

def test_adapt_to_python3(module):
    wrapped = c_sdk.adapt_to_python3(len)
    assert wrapped("abc") == 3 and wrapped(b"ab") == 2
    assert c_sdk.adapt_to_python3(func=len) is not wrapped
    assert wrapped.__closure__[0].cell_contents is len
    echo = c_sdk.adapt_to_python3(lambda *a, **k: (a, k))
    assert echo("a", ["b"], 1, None, k="v", j=b"w") == ((b"a", ["b"], 1, None), {"k": b"v", "j": b"w"})

    class S(str):
        def encode(self, encoding):
            return ("sub", encoding)
    assert echo(S("x")) == ((("sub", "ascii"),), {})
    seen = []
    probe = c_sdk.adapt_to_python3(lambda *a, **k: seen.append(1))
    with pytest.raises(UnicodeEncodeError) as e:
        probe("ok", "\xe9", k="\u4e2d")
    assert e.value.object == "\xe9" and seen == []
    module.IS_PY2 = True
    assert echo("a", k="v") == (("a",), {"k": "v"})
    del module.IS_PY2
    with pytest.raises(NameError, match="name 'IS_PY2' is not defined"):
        echo()


class Str(str):
    def encode(self, encoding):
        return b"sub:" + str.encode(self, encoding)


def ascii_bytes(v):
    return v.encode("ascii") if type(v) is str else v


def outcome(sdk, fn, args, kwargs):
    """What a call gives (its result or its exception's type and text) and the SDK calls it makes."""
    before = sdk.count()
    try:
        result = fn(*args, **kwargs)
    except Exception as e:
        result = (type(e), str(e))
    return result, sdk.calls()[before:]


# A decorated binding given exact ASCII str arguments behaves as given their
# encodings as bytes, whichever parameter they reach and however they come.
@pytest.mark.parametrize("name,args,kwargs", [
    ("py_vqi_place_order", ("a\0b",), {}),
    ("py_vqi_place_order", (), {"req": "ord"}),
    ("py_vqi_place_order", ("a", "b"), {}),
    ("py_vqi_place_order", (), {"req": "a", "x": "b"}),
    ("py_vqi_add_bus_topic", ("a\0b",), {}),
    ("py_vqi_send_msg_to_bus", (Bytes(b"t"),), {"msg": ""}),
    ("py_vqi_send_msg_to_bus", (Str("t"), "m"), {}),
    ("py_vqi_subscribe", ("S", "60s", ""), {}),
    ("py_vqi_subscribe", ("S", "60s"), {"unsubscribe_previous": "x"}),
    ("py_vqi_current", ("S", "F", ""), {}),
    ("py_vqi_set_mode_consistency", ("1",), {}),
    ("py_vqi_user_timer", (1, "2"), {}),
    ("py_vqi_smart_reorder", ("S", "1.5", 1, 1, 1, 1, 1, 1.0, 1, 1, "a"), {}),
    ("py_vqi_smart_reorder", ("S", 1.5, 1, 1, 1, 1, 1, 1.0, 1, 1, None), {}),
])
def test_decorated_binding_takes_ascii_str_as_its_bytes(sdk, name, args, kwargs):
    fn = getattr(c_sdk, name)
    got = outcome(sdk, fn, args, kwargs)
    want = outcome(sdk, fn, [ascii_bytes(a) for a in args], {k: ascii_bytes(v) for k, v in kwargs.items()})
    assert got == want


@pytest.mark.parametrize("args,kwargs", [(("t\xe9", "m"), {}), (("t",), {"msg": "\u4e2d"}),
                                         ((Str("t"), "\xe9"), {})])
def test_decorated_binding_str_errors(sdk, module, args, kwargs):
    with pytest.raises(UnicodeEncodeError) as e:
        c_sdk.py_vqi_send_msg_to_bus(*args, **kwargs)
    with pytest.raises(UnicodeEncodeError) as direct:
        [a.encode("ascii") for a in list(args) + list(kwargs.values()) if type(a) is str]
    assert str(e.value) == str(direct.value) and sdk.count() == 0
    module.IS_PY2 = True
    with pytest.raises(TypeError, match="^expected bytes, str found$"):
        c_sdk.py_vqi_place_order("ord")


def test_decorated_binding_results_pass_unchanged(sdk):
    sdk.set_response("vqi_place_order_pb", b"resp")
    status, payload = c_sdk.py_vqi_place_order(req="ord")
    assert (status, payload) == (0, b"resp") and type(payload) is bytes
    assert c_sdk.py_vqi_get_orgcode() == b"ORG0"
