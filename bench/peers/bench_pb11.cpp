// bench_pb11: the benchmark's pybind11 peer, written the way a pybind11 user
// would bind the same SDK functions.  Module globals (CSDK_OPERATE_SUCCESS,
// IS_PY2, f) are attributes of this module, read at every call or event.
// Members that c_sdk decorates get the Python-level decorator in
// bench_adapt.py.
#include <pybind11/pybind11.h>

#include "sdk/vqsdk.h"

namespace py = pybind11;

namespace {

py::handle g_module;

py::tuple response(int status, const char* res, int res_len) {
    py::int_ st(status);
    if (st.equal(g_module.attr("CSDK_OPERATE_SUCCESS")))
        return py::make_tuple(st, py::bytes(res, static_cast<size_t>(res_len)));
    return py::make_tuple(st, py::none());
}

py::tuple request(const py::bytes& req, int (*fn)(char*, int, char**, int*)) {
    char* p = PyBytes_AS_STRING(req.ptr());
    int n = static_cast<int>(PyBytes_GET_SIZE(req.ptr()));
    char* res = nullptr;
    int res_len = 0;
    int status = fn(p, n, &res, &res_len);
    return response(status, res, res_len);
}

void callback(const char* text, const char* data, int len) {
    try {
        py::object is_py2 = g_module.attr("IS_PY2");
        py::object t = PyObject_IsTrue(is_py2.ptr()) ? py::object(py::bytes(text)) : py::object(py::str(text));
        py::object f = g_module.attr("f");
        f(t, py::bytes(data, static_cast<size_t>(len)));
    } catch (py::error_already_set& e) {
        e.discard_as_unraisable("bench_pb11.callback");
    }
}

}  // namespace

PYBIND11_MODULE(bench_pb11, m) {
    g_module = m;
    m.attr("CSDK_OPERATE_SUCCESS") = py::module_::import("vq.constant").attr("CSDK_OPERATE_SUCCESS");
    m.attr("IS_PY2") = false;

    m.def("py_vqi_history_bars_pb", [](const py::bytes& req) { return request(req, vqi_history_bars_pb); },
          py::arg("req"));
    m.def("py_vqi_place_order", [](const py::bytes& req) { return request(req, vqi_place_order_pb); },
          py::arg("req"));
    m.def("py_vqi_subscribe",
          [](const char* symbols, const char* frequency, bool unsubscribe_previous) {
              return vqi_subscribe(symbols, frequency, unsubscribe_previous);
          },
          py::arg("symbols"), py::arg("frequency"), py::arg("unsubscribe_previous"));
    m.def("py_vqi_set_backtest_config", &vqi_set_backtest_config, py::arg("start_time"), py::arg("end_time"),
          py::arg("initial_cash"), py::arg("transaction_ratio"), py::arg("commission_ratio"),
          py::arg("commission_unit"), py::arg("slippage_ratio"), py::arg("option_float_margin_ratio1"),
          py::arg("option_float_margin_ratio2"), py::arg("adjust"), py::arg("match_mode"), py::arg("check_cache"));
    m.def("py_vqi_strerror", [](int errorno) { return py::bytes(vqi_strerror(errorno)); }, py::arg("errorno"));
    m.def("vqi_now", &vqi_now);
    m.def("py_vqi_set_data_callback",
          [](py::object pythonf) {
              g_module.attr("f") = pythonf;
              vqi_set_event_callback_pb(callback);
          },
          py::arg("pythonf"));
    m.def("py_vqi_run", &vqi_run);
}
