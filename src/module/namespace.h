// What the module body binds, and in which order.
#pragma once
#include <cstddef>

#include "module/members.h"

namespace csdk {

extern const char* const binding_order[];  // the 181 binding names
extern const size_t binding_order_size;
extern const MemberTable* const binding_tables[];  // where their rows are
extern const size_t binding_tables_size;

int init_helpers();                                  // core/
int create_record_classes(PyObject* module_namespace);  // records/

}  // namespace csdk
