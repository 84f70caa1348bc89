// bench_nb: the benchmark's nanobind peer, written the way a nanobind user
// would bind the same SDK functions.  Module globals (CSDK_OPERATE_SUCCESS,
// IS_PY2, f) are attributes of this module, read at every call or event.
// Members that c_sdk decorates get the Python-level decorator in
// bench_adapt.py, which hands them bytes; nanobind takes a `const char*`
// only from a str, so the C strings are taken as nb::bytes.
#include <nanobind/nanobind.h>

#include "sdk/vqsdk.h"

namespace nb = nanobind;

namespace {

nb::handle g_module;

nb::tuple response(int status, const char* res, int res_len) {
    nb::int_ st(status);
    if (st.equal(g_module.attr("CSDK_OPERATE_SUCCESS")))
        return nb::make_tuple(st, nb::bytes(res, static_cast<size_t>(res_len)));
    return nb::make_tuple(st, nb::none());
}

nb::tuple request(const nb::bytes& req, int (*fn)(char*, int, char**, int*)) {
    char* p = const_cast<char*>(req.c_str());
    int n = static_cast<int>(req.size());
    char* res = nullptr;
    int res_len = 0;
    int status = fn(p, n, &res, &res_len);
    return response(status, res, res_len);
}

void callback(const char* text, const char* data, int len) {
    try {
        nb::object is_py2 = g_module.attr("IS_PY2");
        nb::object t = PyObject_IsTrue(is_py2.ptr()) ? nb::object(nb::bytes(text)) : nb::object(nb::str(text));
        nb::object f = g_module.attr("f");
        f(t, nb::bytes(data, static_cast<size_t>(len)));
    } catch (nb::python_error& e) {
        e.discard_as_unraisable("bench_nb.callback");
    }
}

}  // namespace

NB_MODULE(bench_nb, m) {
    g_module = m;
    m.attr("CSDK_OPERATE_SUCCESS") = nb::module_::import_("vq.constant").attr("CSDK_OPERATE_SUCCESS");
    m.attr("IS_PY2") = false;

    m.def("py_vqi_history_bars_pb", [](const nb::bytes& req) { return request(req, vqi_history_bars_pb); },
          nb::arg("req"));
    m.def("py_vqi_place_order", [](const nb::bytes& req) { return request(req, vqi_place_order_pb); },
          nb::arg("req"));
    m.def("py_vqi_subscribe",
          [](const nb::bytes& symbols, const nb::bytes& frequency, bool unsubscribe_previous) {
              return vqi_subscribe(symbols.c_str(), frequency.c_str(), unsubscribe_previous);
          },
          nb::arg("symbols"), nb::arg("frequency"), nb::arg("unsubscribe_previous"));
    m.def("py_vqi_set_backtest_config",
          [](const nb::bytes& start_time, const nb::bytes& end_time, double initial_cash, double transaction_ratio,
             double commission_ratio, double commission_unit, double slippage_ratio,
             double option_float_margin_ratio1, double option_float_margin_ratio2, int adjust, int match_mode,
             int check_cache) {
              return vqi_set_backtest_config(start_time.c_str(), end_time.c_str(), initial_cash, transaction_ratio,
                                             commission_ratio, commission_unit, slippage_ratio,
                                             option_float_margin_ratio1, option_float_margin_ratio2, adjust,
                                             match_mode, check_cache);
          },
          nb::arg("start_time"), nb::arg("end_time"), nb::arg("initial_cash"), nb::arg("transaction_ratio"),
          nb::arg("commission_ratio"), nb::arg("commission_unit"), nb::arg("slippage_ratio"),
          nb::arg("option_float_margin_ratio1"), nb::arg("option_float_margin_ratio2"), nb::arg("adjust"),
          nb::arg("match_mode"), nb::arg("check_cache"));
    m.def("py_vqi_strerror", [](int errorno) { return nb::bytes(vqi_strerror(errorno)); }, nb::arg("errorno"));
    m.def("vqi_now", &vqi_now);
    m.def("py_vqi_set_data_callback",
          [](nb::object pythonf) {
              g_module.attr("f") = pythonf;
              vqi_set_event_callback_pb(callback);
          },
          nb::arg("pythonf"));
    m.def("py_vqi_run", &vqi_run);
}
