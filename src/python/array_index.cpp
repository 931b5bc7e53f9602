// Array element access: subscription, item assignment, get, take, membership and iteration.
#include <algorithm>
#include <vector>

#include "python/messages.hpp"
#include "python/array_methods.hpp"
#include "python/frame.hpp"

namespace veltrix::py {

namespace {

// A signed index along `axis`: negative counts from the end; out of range is a ValueError.
u64 axis_index(i64 index, const Shape& shape, std::size_t axis) {
    const u64 len = shape[axis];
    const u64 back = index < 0 ? static_cast<u64>(-(index + 1)) + 1 : 0;  // |index| without overflow
    if (index < 0 ? back > len : static_cast<u64>(index) >= len)
        raise(PyExc_ValueError, msg::index_out_of_axis(index, axis, len));
    return index < 0 ? len - back : static_cast<u64>(index);
}

u64 checked_axis_index(PyObject* item, const Shape& shape, std::size_t axis) {
    const std::optional<i64> i = to_i64(item);
    if (!i) throw PyErrSet{};  // the interpreter's TypeError or OverflowError, unchanged
    return axis_index(*i, shape, axis);
}

// Flat position of the leading indices held by a tuple of length m <= ndim.
u64 tuple_position(const Array64& a, PyObject* key, std::size_t m) {
    u64 pos = 0;
    for (std::size_t k = 0; k < m; ++k)
        pos += checked_axis_index(PyTuple_GET_ITEM(key, static_cast<Py_ssize_t>(k)), a.shape, k) *
               a.strides[k];
    return pos;
}

// The sub-array of dimensions `lead..` that starts at flat position `start`, as a copy.
Ref block(const Array64& a, u64 start, std::size_t lead) {
    Shape sub(std::vector<u64>(a.shape.dims.begin() + static_cast<std::ptrdiff_t>(lead), a.shape.dims.end()));
    const u64 count = sub.size();
    if (start > a.data.size() || count > a.data.size() - start)
        raise(PyExc_ValueError, msg::position_out_of_bounds);
    const auto first = a.data.begin() + static_cast<std::ptrdiff_t>(start);
    return new_array(Array64(std::move(sub), Storage<f64>(first, first + static_cast<std::ptrdiff_t>(count))));
}

Ref element(const Array64& a, u64 pos) {
    if (pos >= a.data.size()) raise(PyExc_ValueError, msg::position_out_of_bounds);
    return to_py(a.data[pos]);
}

// A slice selects from the flat data, whatever the rank.
Ref flat_slice(const Array64& a, PyObject* key) {
    Py_ssize_t start = 0, stop = 0, step = 0;
    check_status(PySlice_Unpack(key, &start, &stop, &step));
    const auto n = static_cast<Py_ssize_t>(a.data.size());
    const Py_ssize_t len = PySlice_AdjustIndices(n, &start, &stop, step);
    // Adjusted, the visited positions start + k * step (k < len) all lie inside the data.
    Storage<f64> out(static_cast<std::size_t>(len));
    for (Py_ssize_t k = 0; k < len; ++k) out[std::size_t(k)] = a.data[std::size_t(start + k * step)];
    return new_array(Array64(Shape::d1(static_cast<u64>(len)), std::move(out)));
}

Ref subscript(PyObject* self, PyObject* key) {
    const Borrowed<Array64> borrowed(as_array(self));
    const Array64& a = borrowed.get();
    const std::size_t ndim = a.ndim();
    if (PyTuple_Check(key)) {
        const auto m = static_cast<std::size_t>(PyTuple_GET_SIZE(key));
        if (m > ndim) raise(PyExc_ValueError, msg::too_many_indices(ndim, m));
        const u64 pos = tuple_position(a, key, m);
        return m == ndim ? element(a, pos) : block(a, pos, m);
    }
    if (const std::optional<i64> i = to_i64(key)) {
        if (ndim == 0) raise(PyExc_ValueError, msg::too_many_indices(0, 1));
        const u64 k = axis_index(*i, a.shape, 0);
        return ndim == 1 ? element(a, k) : block(a, k * a.strides[0], 1);
    }
    PyErr_Clear();
    if (Py_IS_TYPE(key, &PySlice_Type)) return flat_slice(a, key);
    raise(PyExc_ValueError, msg::bad_index_kind);
}

// The value of an assignment or a membership test, converted by the float rule; a failure
// is reported under the parameter name "value".
double value_arg(PyObject* value) { return convert_argument<F64>("value", value); }

void assign(PyObject* self, PyObject* key, PyObject* value) {
    if (!value) raise(PyExc_NotImplementedError, msg::cannot_delete);
    const BorrowedMut<Array64> borrowed(as_array(self));
    const double v = value_arg(value);
    Array64& a = borrowed.get();
    const std::size_t ndim = a.ndim();
    if (PyTuple_Check(key)) {
        const auto m = static_cast<std::size_t>(PyTuple_GET_SIZE(key));
        if (m != ndim) raise(PyExc_ValueError, msg::set_item_count(ndim, m));
        const u64 pos = tuple_position(a, key, m);
        if (pos >= a.data.size()) raise(PyExc_ValueError, msg::position_out_of_bounds);
        a.data[pos] = v;
        return;
    }
    if (const std::optional<i64> i = to_i64(key)) {
        if (ndim != 1) raise(PyExc_ValueError, msg::single_index_assignment);
        a.data[axis_index(*i, a.shape, 0)] = v;
        return;
    }
    PyErr_Clear();
    raise(PyExc_ValueError, msg::bad_assignment_kind);
}

// Runs a status-returning slot body under the one exception translator.
template <class F>
int status_slot(F&& f) noexcept {
    PyObject* r = guarded([&] {
        f();
        return Ref::borrow(Py_None);
    });
    if (!r) return -1;
    Py_DECREF(r);
    return 0;
}

// The indices convert before the array is borrowed.
constexpr auto get_m = signature("get", param<Indices>("indices"), shared_self<Array64>);
constexpr auto take_m = signature("take", param<Indices>("indices"), shared_self<Array64>);

Ref get_impl(std::vector<u64> idx, const Array64& a) {
    const f64* p = a.get(idx);
    if (!p) raise(PyExc_ValueError, msg::get_out_of_bounds);
    return to_py(*p);
}

Ref take_impl(std::vector<u64> idx, const Array64& a) {
    for (u64 i : idx)
        if (i >= a.data.size()) raise(PyExc_ValueError, msg::take_out_of_bounds(i, a.data.size()));
    return new_array(a.take(idx));
}

// ---------------------------------------------------------------------------------------------
// Iteration over a snapshot of the flat data

struct ArrayIterState {
    Storage<f64> data;
    std::size_t position = 0;
};
using IterObject = Instance<ArrayIterState>;

PyObject* iter_next(PyObject* self) noexcept {
    ArrayIterState& it = reinterpret_cast<IterObject*>(self)->value;
    // NULL without an exception set is the end of the iteration, on this and every later call.
    if (it.position >= it.data.size()) return nullptr;
    return PyFloat_FromDouble(it.data[it.position++]);
}

}  // namespace

PyMethodDef array_get_def = def<get_m, get_impl, Class::array>();
PyMethodDef array_take_def = def<take_m, take_impl, Class::array>();

PyObject* array_subscript(PyObject* self, PyObject* key) {
    return guarded([&] { return subscript(self, key); });
}

int array_ass_subscript(PyObject* self, PyObject* key, PyObject* value) {
    return status_slot([&] { assign(self, key, value); });
}

// The interpreter's sequence slots pass positions; they behave as the same int keys.
PyObject* array_sq_item(PyObject* self, Py_ssize_t i) {
    return guarded([&] { return subscript(self, check_new(PyLong_FromSsize_t(i)).get()); });
}

int array_sq_ass_item(PyObject* self, Py_ssize_t i, PyObject* value) {
    return status_slot([&] { assign(self, check_new(PyLong_FromSsize_t(i)).get(), value); });
}

int array_contains(PyObject* self, PyObject* value) {
    bool found = false;
    const int status = status_slot([&] {
        const double v = value_arg(value);
        const Borrowed<Array64> a(as_array(self));
        found = std::find(a->data.begin(), a->data.end(), v) != a->data.end();  // ==: NaN never, -0.0 as 0.0
    });
    return status < 0 ? -1 : found;
}

PyObject* array_iter(PyObject* self) {
    return guarded([&] {
        return new_instance(type_object(Class::array_iter), ArrayIterState{Borrowed<Array64>(as_array(self))->data, 0});
    });
}

PyType_Spec& array_iter_spec() {
    static PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(instance_dealloc<ArrayIterState>)},
        {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
        {Py_tp_iternext, reinterpret_cast<void*>(iter_next)},
        {0, nullptr},
    };
    static PyType_Spec spec = {qualified_name(Class::array_iter), sizeof(IterObject), 0,
                               class_flags | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
    return spec;
}

}  // namespace veltrix::py
