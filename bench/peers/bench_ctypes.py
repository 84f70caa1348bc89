"""The benchmark's ctypes peer: the standard library calling the stand-in
SDK directly and building the same results as c_sdk.  The library is loaded
with ctypes.PyDLL, so the interpreter lock stays held during SDK calls, as
with c_sdk.  Module globals (CSDK_OPERATE_SUCCESS, IS_PY2, f) are read at
every call or event."""

import ctypes
from ctypes import POINTER, byref, c_bool, c_char, c_char_p, c_double, c_int, c_longlong, string_at

import vqsim
from bench_adapt import adapt
from vq.constant import CSDK_OPERATE_SUCCESS

IS_PY2 = False

_lib = ctypes.PyDLL(vqsim.library_path())

_REQUEST = [c_char_p, c_int, POINTER(POINTER(c_char)), POINTER(c_int)]


def _declare(name, restype, argtypes):
    fn = getattr(_lib, name)
    fn.restype = restype
    fn.argtypes = argtypes
    return fn


_history_bars = _declare("vqi_history_bars_pb", c_int, _REQUEST)
_place_order = _declare("vqi_place_order_pb", c_int, _REQUEST)
_subscribe = _declare("vqi_subscribe", c_int, [c_char_p, c_char_p, c_bool])
_backtest = _declare("vqi_set_backtest_config", c_int,
                     [c_char_p, c_char_p] + [c_double] * 7 + [c_int] * 3)
_strerror = _declare("vqi_strerror", c_char_p, [c_int])
vqi_now = _declare("vqi_now", c_longlong, [])
_EVENT = ctypes.CFUNCTYPE(None, c_char_p, POINTER(c_char), c_int)
_set_callback = _declare("vqi_set_event_callback_pb", None, [_EVENT])
_run = _declare("vqi_run", c_int, [])


def py_vqi_history_bars_pb(req):
    res = POINTER(c_char)()
    res_len = c_int()
    status = _history_bars(req, len(req), byref(res), byref(res_len))
    if status == CSDK_OPERATE_SUCCESS:
        return (status, string_at(res, res_len.value))
    return (status, None)


@adapt
def py_vqi_place_order(req):
    res = POINTER(c_char)()
    res_len = c_int()
    status = _place_order(req, len(req), byref(res), byref(res_len))
    if status == CSDK_OPERATE_SUCCESS:
        return (status, string_at(res, res_len.value))
    return (status, None)


@adapt
def py_vqi_subscribe(symbols, frequency, unsubscribe_previous):
    return _subscribe(symbols, frequency, bool(unsubscribe_previous))


@adapt
def py_vqi_set_backtest_config(start_time, end_time, initial_cash, transaction_ratio, commission_ratio,
                               commission_unit, slippage_ratio, option_float_margin_ratio1,
                               option_float_margin_ratio2, adjust, match_mode, check_cache):
    return _backtest(start_time, end_time, initial_cash, transaction_ratio, commission_ratio, commission_unit,
                     slippage_ratio, option_float_margin_ratio1, option_float_margin_ratio2, adjust, match_mode,
                     check_cache)


def py_vqi_strerror(errorno):
    return _strerror(errorno)


def _callback(text, data, length):
    f(text if IS_PY2 else text.decode("utf-8"), string_at(data, length))


_callback_pointer = _EVENT(_callback)


def py_vqi_set_data_callback(pythonf):
    global f
    f = pythonf
    _set_callback(_callback_pointer)


def py_vqi_run():
    return _run()
