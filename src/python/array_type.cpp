// The Array class: construction, shape, length, representation and list output, and the
// assembly of the members that the subsystem bindings contribute.
#include "array/constructors.hpp"
#include "python/array_methods.hpp"
#include "python/frame.hpp"
#include "python/messages.hpp"

namespace veltrix::py {

// ---------------------------------------------------------------------------------------------
// Type plumbing

bool is_array(PyObject* o) noexcept { return PyObject_TypeCheck(o, type_object(Class::array)); }

Ref new_array(Array64&& a) { return new_instance(type_object(Class::array), std::move(a)); }

namespace {

// ---------------------------------------------------------------------------------------------
// Constructors (static methods and module functions share the implementations)

Ref zeros_impl(Shape shape) { return new_array(Array64::zeros(std::move(shape))); }
Ref ones_impl(Shape shape) { return new_array(ones(std::move(shape))); }
Ref full_impl(Shape shape, double value) { return new_array(full(std::move(shape), value)); }

Ref shaped_array(Shape shape, Storage<f64> data) {
    const u64 count = shape.size();
    if (count != data.size())
        raise(PyExc_ValueError, msg::data_length_mismatch(data.size(), shape.to_string(), count));
    return new_array(Array64(std::move(shape), std::move(data)));
}

Ref construct_impl(Shape shape, std::vector<double> data) {
    return shaped_array(std::move(shape), Storage<f64>(data.begin(), data.end()));
}

// An Array gives only its data; without a shape, the data is one-dimensional.
Ref asarray_impl(Array64 v, std::optional<Shape> shape) {
    if (!shape && v.ndim() == 1) return new_array(std::move(v));
    Shape s = shape ? std::move(*shape) : Shape::d1(v.data.size());
    return shaped_array(std::move(s), std::move(v.data));
}

Ref eye_impl(u64 n, std::optional<u64> m, std::optional<i64> k) {
    (void)unwrap(checked_size(Shape::d2(n, m.value_or(n))));
    return new_array(eye(n, m, k.value_or(0)));
}

Ref column_stack_impl(std::vector<Array64> arrays) {
    if (arrays.empty()) raise(PyExc_ValueError, msg::need_one_array);
    return new_array(column_stack(arrays));
}

constexpr auto zeros_sig = signature("zeros", param<ShapeArg>("shape"));
constexpr auto ones_sig = signature("ones", param<ShapeArg>("shape"));
constexpr auto full_sig = signature("full", param<ShapeArg>("shape"), param<F64>("fill_value"));
constexpr auto asarray_sig = signature("asarray", param<ArrayOrVec>("data"), optional_param<ShapeArg>("shape"));
constexpr auto eye_sig =
    signature("eye", param<Index>("n"), optional_param<Index>("m"), optional_param<I64>("k"));
constexpr auto column_stack_sig = signature("column_stack", param<ArrayCopies>("arrays"));
constexpr auto array_new_sig = signature("__new__", param<ShapeArg>("shape"), param<Floats>("data"));

using ArrayConstructor = Constructor<array_new_sig, construct_impl, Class::array>;

// ---------------------------------------------------------------------------------------------
// Shape, length, representation, lists

PyObject* get_shape(PyObject* self, void*) noexcept {
    return guarded([&] { return index_list(Borrowed<Array64>(as_array(self))->shape.dims); });
}

Py_ssize_t array_len(PyObject* self) noexcept {
    return static_cast<Py_ssize_t>(as_array(self)->value.data.size());
}

PyObject* array_repr(PyObject* self) noexcept {
    return guarded([&] {
        const std::string s = repr(Borrowed<Array64>(as_array(self)).get());
        return check_new(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
    });
}

Ref nested_list(const Array64& a, std::size_t dim, u64 offset) {
    const u64 n = a.shape[dim];
    const u64 stride = a.strides[dim];
    Ref list = check_new(PyList_New(static_cast<Py_ssize_t>(n)));
    if (dim + 1 == a.ndim()) {
        const double* p = a.data.data() + offset;
        for (u64 i = 0; i < n; ++i)
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), check(PyFloat_FromDouble(p[i * stride])));
    } else {
        for (u64 i = 0; i < n; ++i)
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i),
                            nested_list(a, dim + 1, offset + i * stride).release());
    }
    return list;
}

Ref tolist_impl(const Array64& a) {
    if (a.ndim() == 0) return to_py(a.data[0]);
    return nested_list(a, 0, 0);
}

Ref to_pylist_recursive_impl(u64 dim, u64 offset, const Array64& a) {
    if (dim >= a.ndim()) raise(PyExc_ValueError, msg::dim_out_of_range(dim, a.ndim()));
    // The farthest position read is offset + sum of (len - 1) * stride below dim; nothing is
    // read when a length there is 0.
    bool empty = false;
    u64 last = offset;
    for (std::size_t d = dim; d < a.ndim(); ++d) {
        if (a.shape[d] == 0) empty = true;
        else if (__builtin_add_overflow(last, (a.shape[d] - 1) * a.strides[d], &last))
            last = UINT64_MAX;
    }
    if (!empty && last >= a.data.size())
        raise(PyExc_ValueError, msg::offset_out_of_range(offset, dim, a.shape.to_string()));
    return nested_list(a, dim, offset);
}

constexpr auto tolist_sig = array_method("tolist");
// Both positions convert before the array is borrowed.
constexpr auto to_pylist_recursive_sig =
    signature("to_pylist_recursive", param<Index>("dim"), param<Index>("offset"), shared_self<Array64>);

PyGetSetDef array_getset[] = {
    {"shape", get_shape, nullptr, nullptr, nullptr},
    // NumPy-style basics
    array_ndim_get, array_size_get, array_nbytes_get, array_T_get,
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyMethodDef* module_array_functions() {
    static PyMethodDef defs[] = {
        def<zeros_sig, zeros_impl>(),
        def<ones_sig, ones_impl>(),
        def<full_sig, full_impl>(),
        def<asarray_sig, asarray_impl>(),
        def<eye_sig, eye_impl>(),
        module_diag_def,
        def<column_stack_sig, column_stack_impl>(),
        {nullptr, nullptr, 0, nullptr},
    };
    return defs;
}

PyType_Spec& array_spec() {
        static PyMethodDef methods[] = {
            def<zeros_sig, zeros_impl, Class::array>(),
            def<ones_sig, ones_impl, Class::array>(),
            def<full_sig, full_impl, Class::array>(),
            def<asarray_sig, asarray_impl, Class::array>(),
            def<eye_sig, eye_impl, Class::array>(),
            array_diag_def, array_outer_def, array_diagonal_def,
            array_get_def,
            def<tolist_sig, tolist_impl, Class::array>(),
            def<to_pylist_recursive_sig, to_pylist_recursive_impl, Class::array>(),
            array_sin_def, array_cos_def, array_exp_def, array_sqrt_def, array_clip_def,
            array_tan_def, array_arcsin_def, array_arccos_def, array_arctan_def, array_log_def,
            array_abs_def, array_sign_def,
            array_sum_def, array_mean_def, array_var_def, array_std_def, array_median_def,
            array_quantile_def, array_any_def, array_all_def,
            array_matmul_def, array_dot_def, array_transpose_def, array_t_def,
            array_take_def, array_from_numpy_def, array_to_numpy_def,
            // NumPy-style basics
            array_reshape_def, array_copy_def, array_min_def, array_max_def, array_argmin_def,
            array_argmax_def,
            // Pickling, copying and the NumPy array protocol (travel.cpp).
            array_reduce_ex_def, array_dunder_copy_def, array_deepcopy_def, array_array_def, array_function_def,
            {nullptr, nullptr, 0, nullptr},
        };
        static PyType_Slot slots[] = {
            {Py_tp_doc, const_cast<char*>(ArrayConstructor::doc())},
            {Py_tp_new, reinterpret_cast<void*>(ArrayConstructor::new_slot)},
            {Py_tp_dealloc, reinterpret_cast<void*>(instance_dealloc<Array64>)},
            {Py_tp_repr, reinterpret_cast<void*>(array_repr)},
            {Py_tp_methods, methods},
            {Py_tp_getset, array_getset},
            {Py_tp_iter, reinterpret_cast<void*>(array_iter)},
            {Py_mp_length, reinterpret_cast<void*>(array_len)},
            {Py_mp_subscript, reinterpret_cast<void*>(array_subscript)},
            {Py_mp_ass_subscript, reinterpret_cast<void*>(array_ass_subscript)},
            {Py_sq_length, reinterpret_cast<void*>(array_len)},
            {Py_sq_item, reinterpret_cast<void*>(array_sq_item)},
            {Py_sq_ass_item, reinterpret_cast<void*>(array_sq_ass_item)},
            {Py_sq_contains, reinterpret_cast<void*>(array_contains)},
            {Py_nb_add, reinterpret_cast<void*>(array_add)},
            {Py_nb_subtract, reinterpret_cast<void*>(array_subtract)},
            {Py_nb_multiply, reinterpret_cast<void*>(array_multiply)},
            {Py_nb_true_divide, reinterpret_cast<void*>(array_true_divide)},
            {Py_nb_negative, reinterpret_cast<void*>(array_negative)},
            {Py_nb_matrix_multiply, reinterpret_cast<void*>(array_matmul_operator)},
            {0, nullptr},
        };
        static PyType_Spec spec = {qualified_name(Class::array), sizeof(ArrayObject), 0, class_flags, slots};
        return spec;
}

}  // namespace veltrix::py
