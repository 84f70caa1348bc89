// SDK functions exposed directly under their own names.  Each object is
// named "wrap", carries its C signature as docstring, and converts exactly
// as its prototype says: no string adaptation, no status test.
#include "module/members.h"
#include "module/shapes.h"
#include "sdk/vqsdk.h"

#define CSDK_DIRECT(fn, names, doc)                                                            \
    ::csdk::Member {                                                                          \
        #fn, Plain,                                                                           \
            ::csdk::FuncDef{"wrap", &::csdk::Binding<&fn>::call,                              \
                            ::csdk::params<::csdk::Binding<&fn>::kParams>(names), #fn, doc}   \
    }

namespace csdk {

const Member direct_rows[] = {
    CSDK_DIRECT(vqi_add_bus_topic, "topic", "wrap(topic: 'const char *') -> 'void'"),
    CSDK_DIRECT(vqi_get_c_version, "", "wrap() -> 'const char *'"),
    CSDK_DIRECT(vqi_get_encrypted_token, "", "wrap() -> 'const char *'"),
    CSDK_DIRECT(vqi_get_ext_errormsg, "", "wrap() -> 'const char *'"),
    CSDK_DIRECT(vqi_get_orgcode, "", "wrap() -> 'const char *'"),
    CSDK_DIRECT(vqi_init, "", "wrap() -> 'int'"),
    CSDK_DIRECT(vqi_now, "", "wrap() -> 'long long'"),
    CSDK_DIRECT(vqi_now_plus, "", "wrap() -> float"),
    CSDK_DIRECT(vqi_poll, "", "wrap() -> 'int'"),
    CSDK_DIRECT(vqi_send_msg_to_bus, "topic, msg",
                "wrap(topic: 'const char *', msg: 'const char *') -> 'int'"),
    CSDK_DIRECT(vqi_set_bus_info, "server_addr, user_name, password",
                "wrap(server_addr: 'const char *', user_name: 'const char *', password: 'const char *') -> 'void'"),
    CSDK_DIRECT(vqi_set_bus_secure, "in_mode, tlsca, tlscert, tlskey, skip_verify",
                "wrap(in_mode: 'int', tlsca: 'const char *', tlscert: 'const char *', tlskey: 'const char *', "
                "skip_verify: 'bool') -> 'void'"),
    CSDK_DIRECT(vqi_set_mode, "mode", "wrap(mode: 'int') -> 'void'"),
    CSDK_DIRECT(vqi_strerror, "errorno", "wrap(errorno: 'int') -> 'const char *'"),
};

const MemberTable direct_members = table(direct_rows);

}  // namespace csdk
