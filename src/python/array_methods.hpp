// Members of the Array class defined by the subsystem bindings. array_type.cpp assembles
// them into the class's method table and slots, in the class's documented order.
#pragma once

#include "python/frame.hpp"

namespace veltrix::py {

// The signature of an Array method without parameters, reading the array.
constexpr auto array_method(const char* name) { return signature(name, shared_self<Array64>); }

// Linear algebra (linalg.cpp).
extern PyMethodDef array_diag_def, array_outer_def, array_diagonal_def, array_matmul_def,
    array_dot_def, array_transpose_def, array_t_def;
extern PyMethodDef module_diag_def;  // veltrix.diag, the same binding as Array.diag
PyObject* array_matmul_operator(PyObject* a, PyObject* b);

// Statistics (stats.cpp).
extern PyMethodDef array_sum_def, array_mean_def, array_var_def, array_std_def, array_median_def,
    array_quantile_def, array_any_def, array_all_def;

// Element-wise methods and operators (array_ops.cpp).
extern PyMethodDef array_sin_def, array_cos_def, array_exp_def, array_sqrt_def, array_clip_def,
    array_tan_def, array_arcsin_def, array_arccos_def, array_arctan_def, array_log_def,
    array_abs_def, array_sign_def;
PyObject* array_add(PyObject* a, PyObject* b);
PyObject* array_subtract(PyObject* a, PyObject* b);
PyObject* array_multiply(PyObject* a, PyObject* b);
PyObject* array_true_divide(PyObject* a, PyObject* b);
PyObject* array_negative(PyObject* a);

// Indexing and iteration (array_index.cpp).
extern PyMethodDef array_get_def, array_take_def;
PyObject* array_subscript(PyObject* self, PyObject* key);
int array_ass_subscript(PyObject* self, PyObject* key, PyObject* value);
PyObject* array_sq_item(PyObject* self, Py_ssize_t i);
int array_sq_ass_item(PyObject* self, Py_ssize_t i, PyObject* value);
int array_contains(PyObject* self, PyObject* value);
PyObject* array_iter(PyObject* self);

// NumPy-style basics (array_basics.cpp).
extern PyMethodDef array_reshape_def, array_copy_def, array_min_def, array_max_def,
    array_argmin_def, array_argmax_def;
extern PyGetSetDef array_ndim_get, array_size_get, array_nbytes_get, array_T_get;

// NumPy exchange (numpy.cpp).
extern PyMethodDef array_from_numpy_def, array_to_numpy_def;

// Pickling, copying and the NumPy array protocol (travel.cpp).
extern PyMethodDef array_reduce_ex_def, array_dunder_copy_def, array_deepcopy_def, array_array_def,
    array_function_def;

}  // namespace veltrix::py
