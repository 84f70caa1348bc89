#include "module/namespace.h"

namespace csdk {

int create_record_classes(PyObject*) { return 0; }

}  // namespace csdk
