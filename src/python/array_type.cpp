// The Array class: construction, shape, length, representation and list output, and the
// assembly of the members that the subsystem bindings contribute.
#include <charconv>
#include <cmath>
#include <cstring>

#include "array/constructors.hpp"
#include "python/array_methods.hpp"
#include "python/array_type.hpp"
#include "python/messages.hpp"

namespace veltrix::py {

// ---------------------------------------------------------------------------------------------
// Element formatting: the shortest decimal that reads back as the same double.

void append_f64(std::string& out, double x) {
    if (std::isnan(x)) {
        out += "NaN";
        return;
    }
    if (std::isinf(x)) {
        out += x < 0 ? "-inf" : "inf";
        return;
    }
    char buf[64];
    const double ax = std::fabs(x);
    if (x == 0.0 || (ax >= 1e-4 && ax < 1e16)) {
        auto r = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::fixed);
        out.append(buf, r.ptr);
        if (!std::memchr(buf, '.', static_cast<std::size_t>(r.ptr - buf))) out += ".0";
        return;
    }
    auto r = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific);
    const char* e = static_cast<const char*>(std::memchr(buf, 'e', static_cast<std::size_t>(r.ptr - buf)));
    out.append(buf, static_cast<std::size_t>(e - buf));
    out += 'e';
    const char* p = e + 1;
    if (*p == '+') ++p;
    else if (*p == '-') out += *p++;
    while (*p == '0' && p + 1 < r.ptr) ++p;
    out.append(p, static_cast<std::size_t>(r.ptr - p));
}

// ---------------------------------------------------------------------------------------------
// Type plumbing

bool is_array(PyObject* o) noexcept { return PyObject_TypeCheck(o, array_type()); }

Ref new_array(Array64&& a) { return new_instance(array_type(), std::move(a)); }

ArrayObject* as_array(PyObject* o) noexcept { return reinterpret_cast<ArrayObject*>(o); }

namespace {

Shape checked(Shape s) {
    (void)unwrap(checked_size(s));
    return s;
}

Array64 with_shape(std::vector<double>&& data, Shape shape) {
    const u64 count = shape.size();
    if (count != data.size())
        raise(PyExc_ValueError, msg::data_length_mismatch(data.size(), shape.to_string(), count));
    return Array64(std::move(shape), std::move(data));
}

// ---------------------------------------------------------------------------------------------
// Constructors (static methods and module functions share the implementations)

Ref zeros_impl(PyObject*, const Args& a) { return new_array(Array64::zeros(a.shape(0))); }
Ref ones_impl(PyObject*, const Args& a) { return new_array(ones(a.shape(0))); }
Ref full_impl(PyObject*, const Args& a) {
    Shape s = a.shape(0);
    return new_array(full(std::move(s), a.f64(1)));
}

Ref asarray_impl(PyObject*, const Args& a) {
    VecOrArray v = a.vec_or_array(0);
    std::vector<double> data;
    if (auto* arr = std::get_if<Array64>(&v))
        data = std::move(arr->data);
    else
        data = std::move(std::get<std::vector<double>>(v));
    if (!a.given(1)) {
        const u64 n = data.size();
        return new_array(Array64(Shape::d1(n), std::move(data)));
    }
    return new_array(with_shape(std::move(data), a.shape(1)));
}

Ref eye_impl(PyObject*, const Args& a) {
    const u64 n = a.index(0);
    std::optional<u64> m;
    if (a.given(1)) m = a.index(1);
    const i64 k = a.given(2) ? a.i64_(2) : 0;
    (void)checked(Shape::d2(n, m.value_or(n)));
    return new_array(eye(n, m, k));
}

Ref column_stack_impl(PyObject*, const Args& a) {
    std::vector<Array64> arrays = a.arrays(0);
    if (arrays.empty()) raise(PyExc_ValueError, msg::need_one_array);
    return new_array(column_stack(arrays));
}

constexpr FnSpec zeros_s{"zeros", "Array", "zeros(shape)\n--\n\n", {"shape"}, 1, 1};
constexpr FnSpec ones_s{"ones", "Array", "ones(shape)\n--\n\n", {"shape"}, 1, 1};
constexpr FnSpec full_s{"full", "Array", "full(shape, fill_value)\n--\n\n", {"shape", "fill_value"}, 2, 2};
constexpr FnSpec asarray_s{"asarray", "Array", "asarray(data, shape=None)\n--\n\n", {"data", "shape"}, 2, 1};
constexpr FnSpec eye_s{"eye", "Array", "eye(n, m=None, k=None)\n--\n\n", {"n", "m", "k"}, 3, 1};

constexpr FnSpec zeros_f{"zeros", nullptr, "zeros(shape)\n--\n\n", {"shape"}, 1, 1};
constexpr FnSpec ones_f{"ones", nullptr, "ones(shape)\n--\n\n", {"shape"}, 1, 1};
constexpr FnSpec full_f{"full", nullptr, "full(shape, fill_value)\n--\n\n", {"shape", "fill_value"}, 2, 2};
constexpr FnSpec asarray_f{"asarray", nullptr, "asarray(data, shape=None)\n--\n\n", {"data", "shape"}, 2, 1};
constexpr FnSpec eye_f{"eye", nullptr, "eye(n, m=None, k=None)\n--\n\n", {"n", "m", "k"}, 3, 1};
constexpr FnSpec column_stack_f{"column_stack", nullptr, "column_stack(arrays)\n--\n\n", {"arrays"}, 1, 1};

constexpr FnSpec new_s{"__new__", "Array", "Array(shape, data)\n--\n\n", {"shape", "data"}, 2, 2};

Ref construct(PyObject*, const Args& a) {
    Shape shape = a.shape(0);
    std::vector<double> data = a.floats(1);
    return new_array(with_shape(std::move(data), std::move(shape)));
}

PyObject* array_new(PyTypeObject*, PyObject* args, PyObject* kwargs) noexcept {
    // Re-shape the tuple/dict call into the vectorcall layout the parser expects.
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    const Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
    std::vector<PyObject*> flat(static_cast<std::size_t>(nargs + nkw));
    for (Py_ssize_t i = 0; i < nargs; ++i) flat[static_cast<std::size_t>(i)] = PyTuple_GET_ITEM(args, i);
    Ref kwnames;
    if (nkw) {
        kwnames = Ref::steal(PyTuple_New(nkw));
        if (!kwnames) return nullptr;
        Py_ssize_t pos = 0, k = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            Py_INCREF(key);
            PyTuple_SET_ITEM(kwnames.get(), k, key);
            flat[static_cast<std::size_t>(nargs + k)] = value;
            ++k;
        }
    }
    return fastcall<new_s, construct>(nullptr, flat.data(), nargs, kwnames.get());
}

// ---------------------------------------------------------------------------------------------
// Shape, length, representation, lists

// A hot read: written directly against the C API, without the exception plumbing.
PyObject* get_shape(PyObject* self, void*) noexcept {
    ArrayObject* a = as_array(self);
    if (a->borrow.load() < 0) {
        PyErr_SetString(PyExc_RuntimeError, msg::already_mutably_borrowed);
        return nullptr;
    }
    const std::vector<u64>& dims = a->value.shape.dims;
    const auto n = static_cast<Py_ssize_t>(dims.size());
    PyObject* list = PyList_New(n);
    if (!list) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* d = PyLong_FromUnsignedLongLong(dims[static_cast<std::size_t>(i)]);
        if (!d) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, i, d);
    }
    return list;
}

Py_ssize_t array_len(PyObject* self) noexcept {
    return static_cast<Py_ssize_t>(as_array(self)->value.data.size());
}

PyObject* array_repr(PyObject* self) noexcept {
    return guarded([&] {
        SharedBorrow b(as_array(self)->borrow);
        const Array64& a = as_array(self)->value;
        std::string s = "Array(shape=" + a.shape.to_string() + ", data=[";
        s.reserve(s.size() + a.data.size() * 20 + 2);
        for (std::size_t i = 0; i < a.data.size(); ++i) {
            if (i) s += ", ";
            append_f64(s, a.data[i]);
        }
        s += "])";
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

Ref tolist_impl(PyObject* self) {
    SharedBorrow b(as_array(self)->borrow);
    const Array64& a = as_array(self)->value;
    if (a.ndim() == 0) return to_py(a.data[0]);
    return nested_list(a, 0, 0);
}

Ref to_pylist_recursive_impl(PyObject* self, const Args& args) {
    const u64 dim = args.index(0);
    const u64 offset = args.index(1);
    SharedBorrow b(as_array(self)->borrow);
    const Array64& a = as_array(self)->value;
    if (dim >= a.ndim())
        raise(PyExc_ValueError, "dim " + std::to_string(dim) + " is out of range for an array with " +
                                    std::to_string(a.ndim()) + " dimensions");
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
        raise(PyExc_ValueError, "offset " + std::to_string(offset) + " is out of range for dim " +
                                    std::to_string(dim) + " of an array of shape " + a.shape.to_string());
    return nested_list(a, dim, offset);
}

constexpr FnSpec to_pylist_recursive_s{"to_pylist_recursive", "Array",
                                       "to_pylist_recursive($self, dim, offset)\n--\n\n",
                                       {"dim", "offset"}, 2, 2};

PyMethodDef zeros_def = VELTRIX_STATIC(zeros_s, zeros_impl);
PyMethodDef ones_def = VELTRIX_STATIC(ones_s, ones_impl);
PyMethodDef full_def = VELTRIX_STATIC(full_s, full_impl);
PyMethodDef asarray_def = VELTRIX_STATIC(asarray_s, asarray_impl);
PyMethodDef eye_def = VELTRIX_STATIC(eye_s, eye_impl);
PyMethodDef tolist_def = VELTRIX_NOARGS("tolist", "tolist($self)\n--\n\n", tolist_impl);
PyMethodDef to_pylist_recursive_def = VELTRIX_METHOD(to_pylist_recursive_s, to_pylist_recursive_impl);

PyGetSetDef array_getset[] = {
    {"shape", get_shape, nullptr, nullptr, nullptr},
    // NumPy-style basics
    array_ndim_get, array_size_get, array_nbytes_get, array_T_get,
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyMethodDef* module_array_functions() {
    static PyMethodDef defs[] = {
        VELTRIX_FUNCTION(zeros_f, zeros_impl),
        VELTRIX_FUNCTION(ones_f, ones_impl),
        VELTRIX_FUNCTION(full_f, full_impl),
        VELTRIX_FUNCTION(asarray_f, asarray_impl),
        VELTRIX_FUNCTION(eye_f, eye_impl),
        module_diag_def,
        VELTRIX_FUNCTION(column_stack_f, column_stack_impl),
        {nullptr, nullptr, 0, nullptr},
    };
    return defs;
}

PyTypeObject* array_type() { return type_object(Class::array); }

PyType_Spec& array_spec() {
        static PyMethodDef methods[] = {
            zeros_def, ones_def, full_def, asarray_def, eye_def,
            array_diag_def, array_outer_def, array_diagonal_def,
            array_get_def, tolist_def, to_pylist_recursive_def,
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
            {nullptr, nullptr, 0, nullptr},
        };
        static PyType_Slot slots[] = {
            {Py_tp_doc, const_cast<char*>("Array(shape, data)\n--\n\n")},
            {Py_tp_new, reinterpret_cast<void*>(array_new)},
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
        static PyType_Spec spec = {"builtins.Array", sizeof(ArrayObject), 0, class_flags, slots};
        return spec;
}

}  // namespace veltrix::py
