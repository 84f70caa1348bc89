"""The nanobind peer as Python code sees it: the members that c_sdk decorates
are wrapped by the Python-level decorator."""

import bench_nb as _raw
from bench_adapt import adapt
from bench_nb import py_vqi_history_bars_pb, py_vqi_run, py_vqi_set_data_callback, py_vqi_strerror, vqi_now

py_vqi_place_order = adapt(_raw.py_vqi_place_order)
py_vqi_subscribe = adapt(_raw.py_vqi_subscribe)
py_vqi_set_backtest_config = adapt(_raw.py_vqi_set_backtest_config)

__all__ = ["py_vqi_history_bars_pb", "py_vqi_place_order", "py_vqi_subscribe", "py_vqi_set_backtest_config",
           "py_vqi_strerror", "vqi_now", "py_vqi_set_data_callback", "py_vqi_run"]
