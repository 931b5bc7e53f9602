#include "python/array_methods.hpp"
#include "python/stub.hpp"

namespace veltrix::py {
PyMethodDef array_sum_def = VELTRIX_STUB_DEF("sum", 0);
PyMethodDef array_mean_def = VELTRIX_STUB_DEF("mean", 0);
PyMethodDef array_var_def = VELTRIX_STUB_DEF("var", 0);
PyMethodDef array_std_def = VELTRIX_STUB_DEF("std", 0);
PyMethodDef array_median_def = VELTRIX_STUB_DEF("median", 0);
PyMethodDef array_quantile_def = VELTRIX_STUB_DEF("quantile", 0);
PyMethodDef array_any_def = VELTRIX_STUB_DEF("any", 0);
PyMethodDef array_all_def = VELTRIX_STUB_DEF("all", 0);
void register_stats(PyObject*) {}
}  // namespace veltrix::py
