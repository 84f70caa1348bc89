"""c_sdk.pyi against the live module, and what help() and inspect tell."""
import ast
import inspect
import os
import pydoc
import re
import types

import pytest

import c_sdk
from tables import REQUEST_RESPONSE

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
STUB_PATH = os.path.join(ROOT, "src", "c_sdk.pyi")
STUB_SOURCE = open(STUB_PATH).read()
TREE = ast.parse(STUB_SOURCE, STUB_PATH)
STUB = types.ModuleType("c_sdk_stub")
exec(compile(TREE, STUB_PATH, "exec"), vars(STUB))

LIVE = {name: value for name, value in vars(c_sdk).items() if not (name.startswith("__") and name.endswith("__"))}
FUNCTIONS = [name for name, value in LIVE.items() if callable(value) and not isinstance(value, type)]
CLASSES = [name for name, value in LIVE.items() if isinstance(value, type)]


def stub_names():
    """Public names the stub defines, in order (typing helpers excluded)."""
    names = []
    for node in TREE.body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            names.append(node.name)
        elif isinstance(node, ast.AnnAssign):
            names.append(node.target.id)
        elif isinstance(node, ast.Import):
            names.extend(alias.asname or alias.name for alias in node.names)
    return [name for name in names if not name.startswith("_")]


def target(fn):
    """The binding behind a member registered through adapt_to_python3."""
    if getattr(fn, "__name__", None) == "wrapper" and fn.__closure__:
        return fn.__closure__[0].cell_contents
    return fn


def shape(fn):
    return [(p.name, p.kind, p.default is not p.empty) for p in inspect.signature(fn).parameters.values()]


def annotations(fn):
    return [p.annotation for p in inspect.signature(fn).parameters.values()]


def test_stub_names_the_namespace():
    names = stub_names()
    assert len(names) == len(set(names))
    live = [name for name in LIVE if name != "f"]  # f exists once a callable is registered
    assert [name for name in names if name != "f"] == live and "f" in names


@pytest.mark.parametrize("name", ["c_sdk.pyi", "c_sdk-stubs/__init__.pyi"])
def test_stub_copy_next_to_the_built_module(name):
    built = os.path.join(os.path.dirname(c_sdk.__file__), name)
    with open(built) as copy:
        assert copy.read() == STUB_SOURCE


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_parameters(name):
    live, stub = getattr(c_sdk, name), getattr(STUB, name)
    binding = target(live)
    assert shape(stub) == shape(binding)
    types_used = annotations(stub)
    if binding is not live:  # the decorated members take str for their byte strings
        assert STUB._Bytes not in types_used
    else:
        assert STUB._Text not in types_used
    if name in REQUEST_RESPONSE:
        assert inspect.signature(stub).return_annotation is STUB._Response


@pytest.mark.parametrize("name", CLASSES)
def test_record_class_members(name):
    live, stub = getattr(c_sdk, name), getattr(STUB, name)
    live_members = {k: v for k, v in vars(live).items() if k not in ("__module__", "__doc__", "__slots__", "data")}
    stub_members = {k: v for k, v in vars(stub).items()
                    if k not in ("__module__", "__doc__", "__dict__", "__weakref__", "__annotations__", "__qualname__",
                                 "__firstlineno__", "__static_attributes__",  # what 3.13 adds to a class statement
                                 "__annotate_func__", "__annotations_cache__")}  # and 3.14
    assert list(stub_members) == list(live_members)
    for member, value in live_members.items():
        if isinstance(value, property):
            # every field is assignable (through __setattr__ where it has no setter)
            assert isinstance(stub_members[member], property) and stub_members[member].fset is not None
        else:
            assert shape(stub_members[member]) == shape(value)


def test_help_lists_every_function_and_class():
    text = pydoc.plain(pydoc.render_doc(c_sdk))
    for name in FUNCTIONS + CLASSES:
        assert "\n    %s" % name in text or "\n    class %s" % name in text, name
    assert "py_vqi_strerror(errorno)" in text and "c_status_fail(status, cfunname='')" in text


@pytest.mark.parametrize("name", FUNCTIONS)
def test_signature_and_docstring(name):
    fn = getattr(c_sdk, name)
    binding = target(fn)
    params = list(inspect.signature(binding).parameters)
    if name.startswith("vqi_"):
        documented = re.match(r"wrap\((.*)\) -> ", fn.__doc__).group(1)
        assert [p.split(":")[0] for p in documented.split(", ") if p] == params
    else:
        assert fn.__doc__ is None and binding.__doc__ is None
    if binding is not fn:
        assert str(inspect.signature(fn)) == "(*args, **kwargs)"
