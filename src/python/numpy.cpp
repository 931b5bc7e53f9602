#include "python/array_methods.hpp"
#include "python/stub.hpp"

namespace veltrix::py {
PyMethodDef array_from_numpy_def = VELTRIX_STUB_DEF("from_numpy", METH_STATIC);
PyMethodDef array_to_numpy_def = VELTRIX_STUB_DEF("to_numpy", 0);
}  // namespace veltrix::py
