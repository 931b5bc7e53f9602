#include "python/array_methods.hpp"
#include "python/stub.hpp"

namespace veltrix::py {
PyMethodDef array_diag_def = VELTRIX_STUB_DEF("diag", METH_STATIC);
PyMethodDef array_outer_def = VELTRIX_STUB_DEF("outer", METH_STATIC);
PyMethodDef array_diagonal_def = VELTRIX_STUB_DEF("diagonal", 0);
PyMethodDef array_matmul_def = VELTRIX_STUB_DEF("matmul", 0);
PyMethodDef array_dot_def = VELTRIX_STUB_DEF("dot", 0);
PyMethodDef array_transpose_def = VELTRIX_STUB_DEF("transpose", 0);
PyMethodDef array_t_def = VELTRIX_STUB_DEF("t", 0);
PyMethodDef module_diag_def = VELTRIX_STUB_DEF("diag", 0);
PyObject* array_matmul_operator(PyObject* a, PyObject* b) { return stub::not_yet_binary(a, b); }
void register_linalg(PyObject*) {}
}  // namespace veltrix::py
