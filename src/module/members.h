// Member tables: the rows from which the module's namespace is built.
#pragma once
#include <cstddef>

#include "module/function.h"

namespace csdk {

struct Member {
    const char* attr;  // name in the module namespace
    bool decorated;    // bound through adapt_to_python3
    FuncDef def;
};

struct MemberTable {
    const Member* rows;
    size_t size;
    const Member* begin() const { return rows; }
    const Member* end() const { return rows + size; }
};

template <size_t N>
constexpr MemberTable table(const Member (&rows)[N]) { return MemberTable{rows, N}; }

constexpr bool Decorated = true;
constexpr bool Plain = false;

// The binding tables, each kept with its family.
extern const MemberTable market_data_members;       // requests/
extern const MemberTable fundamental_data_members;  // requests/
extern const MemberTable trading_data_members;      // requests/
extern const MemberTable multi_argument_members;    // requests/
extern const MemberTable session_members;           // session/
extern const MemberTable run_loop_members;          // session/
extern const MemberTable subscription_members;      // session/
extern const MemberTable trading_action_members;    // session/
extern const MemberTable backtest_members;          // session/
extern const MemberTable bus_members;               // session/
extern const MemberTable callback_members;          // session/
extern const MemberTable helper_members;            // core/: status and platform helpers, decorator
extern const MemberTable direct_members;            // core/: SDK functions exposed directly

}  // namespace csdk
