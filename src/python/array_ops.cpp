#include "python/array_methods.hpp"
#include "python/stub.hpp"

namespace veltrix::py {
PyMethodDef array_sin_def = VELTRIX_STUB_DEF("sin", 0);
PyMethodDef array_cos_def = VELTRIX_STUB_DEF("cos", 0);
PyMethodDef array_exp_def = VELTRIX_STUB_DEF("exp", 0);
PyMethodDef array_sqrt_def = VELTRIX_STUB_DEF("sqrt", 0);
PyMethodDef array_clip_def = VELTRIX_STUB_DEF("clip", 0);
PyMethodDef array_tan_def = VELTRIX_STUB_DEF("tan", 0);
PyMethodDef array_arcsin_def = VELTRIX_STUB_DEF("arcsin", 0);
PyMethodDef array_arccos_def = VELTRIX_STUB_DEF("arccos", 0);
PyMethodDef array_arctan_def = VELTRIX_STUB_DEF("arctan", 0);
PyMethodDef array_log_def = VELTRIX_STUB_DEF("log", 0);
PyMethodDef array_abs_def = VELTRIX_STUB_DEF("abs", 0);
PyMethodDef array_sign_def = VELTRIX_STUB_DEF("sign", 0);
PyObject* array_add(PyObject* a, PyObject* b) { return stub::not_yet_binary(a, b); }
PyObject* array_subtract(PyObject* a, PyObject* b) { return stub::not_yet_binary(a, b); }
PyObject* array_multiply(PyObject* a, PyObject* b) { return stub::not_yet_binary(a, b); }
PyObject* array_true_divide(PyObject* a, PyObject* b) { return stub::not_yet_binary(a, b); }
PyObject* array_negative(PyObject* a) { return stub::not_yet(a, nullptr); }
}  // namespace veltrix::py
