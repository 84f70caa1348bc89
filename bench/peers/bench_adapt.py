"""The str-encoding decorator of the benchmark's pybind11, nanobind and
ctypes peers, written in Python as a user of those tools would write it."""

import types

IS_PY2 = False

# The members that c_sdk decorates, and those it binds plainly.
DECORATED = ("py_vqi_place_order", "py_vqi_subscribe", "py_vqi_set_backtest_config")
PLAIN = ("py_vqi_history_bars_pb", "py_vqi_strerror", "vqi_now", "py_vqi_set_data_callback", "py_vqi_run")


def adapt(func):
    def wrapper(*args, **kwargs):
        if IS_PY2:
            return func(*args, **kwargs)
        new_args = []
        for arg in args:
            if isinstance(arg, str):
                arg = arg.encode("ascii")
            new_args.append(arg)
        for key, value in kwargs.items():
            if isinstance(value, str):
                kwargs[key] = value.encode("ascii")
        return func(*new_args, **kwargs)

    return wrapper


def as_python_sees(raw):
    """A compiled peer as Python code sees it: the members that c_sdk
    decorates are wrapped by the Python-level decorator."""
    peer = types.SimpleNamespace(**{name: getattr(raw, name) for name in PLAIN})
    for name in DECORATED:
        setattr(peer, name, adapt(getattr(raw, name)))
    return peer
