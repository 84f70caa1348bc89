"""What kind of value each parameter of the module's functions takes, by
parameter name, for the tests that build arguments for every binding."""

import c_sdk
from tables import BINDINGS

TEXT = {"symbols", "fields", "serv_id", "server_addr", "user_name", "password", "tlsca", "tlscert", "tlskey",
        "topic", "msg", "date_rule", "time_rule", "start_time", "end_time", "strategy_id", "frequency", "token",
        "mfp", "addr", "front_addresses", "sdk_version", "sdk_lang", "algo_name", "algo_params", "account_id",
        "algo_id", "symbol", "account", "orgcode", "site_id", "account_ids"}
INT = {"mode", "in_mode", "adjust", "match_mode", "check_cache", "interval", "errorno", "volume", "side",
       "order_type", "position_effect", "repeat_n", "max_price_offset", "time_out", "time_wait", "reorder_id",
       "period", "start_delay", "timer_id", "max_wait_time", "n"}
FLOAT = {"initial_cash", "transaction_ratio", "commission_ratio", "commission_unit", "slippage_ratio",
         "option_float_margin_ratio1", "option_float_margin_ratio2", "price"}
BOOL = {"include_call_auction", "skip_verify", "unsubscribe_previous"}
INT_REQUESTS = {"py_vqi_set_backtest_intraday"}  # `req` is an int there

DECORATED = dict(BINDINGS)


def inner(name):
    """The binding itself, below the decorator's wrapper."""
    fn = getattr(c_sdk, name)
    return fn.__closure__[0].cell_contents if DECORATED.get(name) else fn


def params(fn):
    """Parameter names, from the signature the function reports."""
    sig = (getattr(fn, "__text_signature__", None) or "()").strip("()")
    return [p.strip().split("=")[0] for p in sig.split(",") if p.strip() and not p.strip().startswith("*")]


def kind(name, param):
    """'request', 'text', 'int', 'float', 'bool' or 'callable'."""
    if param == "req":
        return "int" if name in INT_REQUESTS else "request"
    for kinds, label in ((TEXT, "text"), (INT, "int"), (FLOAT, "float"), (BOOL, "bool")):
        if param in kinds:
            return label
    if param == "pythonf":
        return "callable"
    raise KeyError("no kind known for parameter %r of %s" % (param, name))
