// Array members a NumPy user reaches for first: ndim, size, nbytes, T, reshape, copy and the
// extremes over all elements.
#include "array/constructors.hpp"
#include "python/array_methods.hpp"
#include "python/frame.hpp"
#include "stats/stats.hpp"

namespace veltrix::py {

namespace {

// A shape in which one entry may be -1, the length to infer.
using Lengths = Converter<std::vector<i64>, to_i64_vec>;

Ref reshape_impl(std::vector<i64> dims, const Array64& a) { return new_array(unwrap(reshape(a, dims))); }
Ref array_copy_impl(const Array64& a) { return new_array(a.clone()); }
Ref min_impl(const Array64& a) { return to_py(unwrap(stats::min(a))); }
Ref max_impl(const Array64& a) { return to_py(unwrap(stats::max(a))); }
Ref argmin_impl(const Array64& a) { return check_new(PyLong_FromUnsignedLongLong(unwrap(stats::argmin(a)))); }
Ref argmax_impl(const Array64& a) { return check_new(PyLong_FromUnsignedLongLong(unwrap(stats::argmax(a)))); }

constexpr auto reshape_sig = signature("reshape", param<Lengths>("shape"), shared_self<Array64>);
constexpr auto array_copy_sig = signature("copy", shared_self<Array64>);
constexpr auto min_sig = signature("min", shared_self<Array64>);
constexpr auto max_sig = signature("max", shared_self<Array64>);
constexpr auto argmin_sig = signature("argmin", shared_self<Array64>);
constexpr auto argmax_sig = signature("argmax", shared_self<Array64>);

// Properties read the array under a shared borrow, as methods do.
template <Ref (*Read)(const Array64&)>
PyObject* property(PyObject* self, void*) noexcept {
    return guarded([&] { return Read(Borrowed<Array64>(as_array(self)).get()); });
}

Ref ndim_of(const Array64& a) { return check_new(PyLong_FromSize_t(a.ndim())); }
Ref size_of(const Array64& a) { return check_new(PyLong_FromSize_t(a.data.size())); }
Ref nbytes_of(const Array64& a) { return check_new(PyLong_FromSize_t(a.data.size() * sizeof(f64))); }
Ref transposed(const Array64& a) { return new_array(reverse_axes(a)); }

}  // namespace

PyMethodDef array_reshape_def = def<reshape_sig, reshape_impl, Class::array>();
PyMethodDef array_copy_def = def<array_copy_sig, array_copy_impl, Class::array>();
PyMethodDef array_min_def = def<min_sig, min_impl, Class::array>();
PyMethodDef array_max_def = def<max_sig, max_impl, Class::array>();
PyMethodDef array_argmin_def = def<argmin_sig, argmin_impl, Class::array>();
PyMethodDef array_argmax_def = def<argmax_sig, argmax_impl, Class::array>();

PyGetSetDef array_ndim_get{"ndim", property<ndim_of>, nullptr, nullptr, nullptr};
PyGetSetDef array_size_get{"size", property<size_of>, nullptr, nullptr, nullptr};
PyGetSetDef array_nbytes_get{"nbytes", property<nbytes_of>, nullptr, nullptr, nullptr};
PyGetSetDef array_T_get{"T", property<transposed>, nullptr, nullptr, nullptr};

}  // namespace veltrix::py
