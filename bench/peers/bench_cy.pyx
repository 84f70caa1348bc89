# cython: language_level=3
"""The benchmark's Cython peer: the same SDK functions bound as a Cython user
would write them.  Module globals (CSDK_OPERATE_SUCCESS, IS_PY2, f) are read
at every call or event; the members that c_sdk decorates go through the
str-encoding decorator `adapt`, compiled here with the rest."""

cdef extern from "sdk/vqsdk.h":
    ctypedef void (*vqi_event_callback_t)(const char* text, const char* data, int len)
    int vqi_history_bars_pb(char* req, int req_len, char** res, int* res_len)
    int vqi_place_order_pb(char* req, int req_len, char** res, int* res_len)
    int vqi_subscribe(const char* symbols, const char* frequency, bint unsubscribe_previous)
    int vqi_set_backtest_config(const char* start_time, const char* end_time, double initial_cash,
                                double transaction_ratio, double commission_ratio, double commission_unit,
                                double slippage_ratio, double option_float_margin_ratio1,
                                double option_float_margin_ratio2, int adjust, int match_mode, int check_cache)
    const char* vqi_strerror(int errorno)
    long long c_vqi_now "vqi_now"()
    void vqi_set_event_callback_pb(vqi_event_callback_t callback)
    int vqi_run()

from vq.constant import CSDK_OPERATE_SUCCESS

IS_PY2 = False


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


def py_vqi_history_bars_pb(req):
    cdef int req_len = len(req)
    cdef char* p = req
    cdef char* res = NULL
    cdef int res_len = 0
    cdef int status = vqi_history_bars_pb(p, req_len, &res, &res_len)
    if status == CSDK_OPERATE_SUCCESS:
        return (status, res[:res_len])
    return (status, None)


@adapt
def py_vqi_place_order(req):
    cdef int req_len = len(req)
    cdef char* p = req
    cdef char* res = NULL
    cdef int res_len = 0
    cdef int status = vqi_place_order_pb(p, req_len, &res, &res_len)
    if status == CSDK_OPERATE_SUCCESS:
        return (status, res[:res_len])
    return (status, None)


@adapt
def py_vqi_subscribe(symbols, frequency, unsubscribe_previous):
    return vqi_subscribe(symbols, frequency, unsubscribe_previous)


@adapt
def py_vqi_set_backtest_config(start_time, end_time, double initial_cash, double transaction_ratio,
                               double commission_ratio, double commission_unit, double slippage_ratio,
                               double option_float_margin_ratio1, double option_float_margin_ratio2,
                               int adjust, int match_mode, int check_cache):
    return vqi_set_backtest_config(start_time, end_time, initial_cash, transaction_ratio, commission_ratio,
                                   commission_unit, slippage_ratio, option_float_margin_ratio1,
                                   option_float_margin_ratio2, adjust, match_mode, check_cache)


def py_vqi_strerror(int errorno):
    return <bytes>vqi_strerror(errorno)


def vqi_now():
    return c_vqi_now()


cdef void callback_wrapper(const char* text, const char* data, int length) noexcept:
    if IS_PY2:
        t = <bytes>text
    else:
        t = text.decode("utf-8")
    f(t, data[:length])


def py_vqi_set_data_callback(pythonf):
    global f
    f = pythonf
    vqi_set_event_callback_pb(callback_wrapper)


def py_vqi_run():
    return vqi_run()


cdef class BarLikeDict2:
    cdef public object data

    def __init__(self, data):
        self.data = data

    def __getitem__(self, item):
        return self.data.get(item)

    def __setitem__(self, item, value):
        self.data[item] = value

    def __contains__(self, key):
        return key in self.data

    def __getattr__(self, item):
        return self.data.get(item)

    def __str__(self):
        return self.data.__str__()

    def __repr__(self):
        return self.data.__repr__()

    property close:
        def __get__(self):
            return self.data.get("close")

        def __set__(self, value):
            self.data["close"] = value
