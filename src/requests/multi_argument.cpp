// Request/response members whose arguments or result depart from one `req`.
#include <array>

#include "module/members.h"
#include "module/shapes.h"
#include "sdk/vqsdk.h"

namespace csdk {

namespace {
// vqi_current_pb takes (symbols, include_call_auction, fields): the Python
// order is (symbols, fields, include_call_auction), converted in C order.
struct CurrentOrder : Defaults {
    static constexpr std::array<int, 3> order{0, 2, 1};
};
}  // namespace

const Member multi_argument_rows[] = {
    CSDK_BIND_WITH("py_vqi_current",     Decorated, vqi_current_pb, "symbols, fields, include_call_auction", CurrentOrder),
    CSDK_BIND("py_vqi_get_child_orders", Decorated, vqi_get_child_orders_pb, "account_id, algo_id"),
    CSDK_BIND("py_vqi_algo_order_batch", Decorated, vqi_algo_order_batch_pb, "req, algo_name, algo_params"),
    CSDK_BIND("py_vqi_get_accounts",     Plain,     vqi_get_account_info_pb, ""),
    CSDK_BIND("py_vqi_get_serv_addr",    Decorated, vqi_get_serv_addr, "serv_id"),  // bytes or None
};

const MemberTable multi_argument_members = table(multi_argument_rows);

}  // namespace csdk
