"""A first look at c_sdk on the stand-in SDK: configure a session, ask for
some data, and print what came back."""
import c_sdk
import vqsim

sdk = vqsim.sdk()
sdk.set_response("vqi_history_bars_pb", b"bars for SH.600000")
sdk.set_response("vqi_get_cash_pb", b"cash: 1000000")

print("set_token ->", c_sdk.py_vqi_set_token(b"token"))
c_sdk.py_vqi_set_serv_addr("127.0.0.1:7000")
c_sdk.py_vqi_set_strategy_id("demo")
print("history_bars ->", c_sdk.py_vqi_history_bars_pb(b"\x0a\x09SH.600000"))
print("get_cash ->", c_sdk.py_vqi_get_cash("account-1"))
sdk.set_status("vqi_place_order_pb", 1001)
status, payload = c_sdk.py_vqi_place_order("order")
print("place_order ->", (status, payload), "failed:", c_sdk.c_status_fail(status, "vqi_place_order_pb"))
print("strerror ->", c_sdk.py_vqi_strerror(status))
