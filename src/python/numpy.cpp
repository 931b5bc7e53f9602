// Exchange with NumPy through its C API function table, found at run time on first use so
// that importing veltrix never needs NumPy.
#include <atomic>
#include <cstring>
#include <memory>
#include <vector>

#include "ops/buffer.hpp"
#include "python/messages.hpp"
#include "python/array_methods.hpp"
#include "python/frame.hpp"
#include "python/numpy.hpp"

namespace veltrix::py {

namespace numpy {

namespace {

// Returns nothing with the Python error pending when NumPy cannot be reached.
void** locate_api_table() noexcept {
    try {
        const Ref numpy = check_new(PyImport_ImportModule("numpy"));
        const Ref version = check_new(PyObject_GetAttrString(numpy.get(), "__version__"));
        const Ref lib = check_new(PyObject_GetAttrString(numpy.get(), "lib"));
        const Ref parsed = check_new(PyObject_CallMethod(lib.get(), "NumpyVersion", "O", version.get()));
        const Ref major = check_new(PyObject_GetAttrString(parsed.get(), "major"));
        const long m = PyLong_AsLong(major.get());
        if (m == -1 && PyErr_Occurred()) return nullptr;
        // NumPy 2 moved the core package to numpy._core.
        const Ref multiarray =
            check_new(PyImport_ImportModule(m >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray"));
        const Ref capsule = check_new(PyObject_GetAttrString(multiarray.get(), "_ARRAY_API"));
        if (!PyCapsule_CheckExact(capsule.get())) raise(PyExc_TypeError, msg::not_a_capsule);
        return static_cast<void**>(PyCapsule_GetPointer(capsule.get(), PyCapsule_GetName(capsule.get())));
    } catch (const PyErrSet&) {
        return nullptr;
    }
}

}  // namespace

// The table is located once per process and kept for its life. Two threads racing through
// the first call both find the same table, so the lookup needs no lock (and must not hold
// one: importing NumPy may let other threads run).
Api api() {
    std::atomic<void**>& table = numpy_table();
    void** t = table.load(std::memory_order_acquire);
    if (!t) {
        t = locate_api_table();
        if (!t) {
            const Ref e = fetch_exception();  // the pending error, written "Type: message"
            const std::string why =
                e ? msg::exception_line(type_name(e.get()), exception_str(e.get())) : msg::unknown_error;
            VELTRIX_FAIL(msg::exception_line(msg::numpy_unavailable, why));
        }
        table.store(t, std::memory_order_release);
    }
    return Api(t);
}

bool is_ndarray(PyObject* o) {
    if (!numpy_table().load(std::memory_order_acquire)) {
        PyObject* modules = PyImport_GetModuleDict();
        if (!PyDict_GetItemString(modules, "numpy")) return false;
    }
    return PyObject_TypeCheck(o, api().ndarray_type());
}

template <class T>
Fresh<T> fresh(const std::vector<u64>& dims) {
    const Api np = api();
    std::vector<npy_intp> d(dims.begin(), dims.end());
    PyObject* descr = check(np.descr_from_type(std::is_same_v<T, f64> ? npy_double : npy_int64));
    Ref array = check_new(np.new_from_descr(np.ndarray_type(), descr, static_cast<int>(d.size()),
                                            d.data(), nullptr, nullptr, 0, nullptr));
    T* data = reinterpret_cast<T*>(fields(array.get())->data);
    return {std::move(array), data};
}
template Fresh<f64> fresh(const std::vector<u64>&);
template Fresh<i64> fresh(const std::vector<u64>&);

Array64 read_f64(PyObject* ndarray, const char* name) {
    const Api np = api();
    const Ref dtype = check_new(PyObject_GetAttrString(ndarray, "dtype"));
    const Ref kind = check_new(PyObject_GetAttrString(dtype.get(), "kind"));
    const std::optional<std::string> k = to_text(kind.get());
    if (!k) throw PyErrSet{};
    if (*k != "b" && *k != "i" && *k != "u" && *k != "f") {
        const Ref text = check_new(PyObject_Str(dtype.get()));
        raise(PyExc_TypeError, msg::argument_error(name, msg::not_real_dtype(*to_text(text.get()))));
    }
    // NumPy casts (long double too) and lays out the values; an array that already fits comes
    // back as itself.
    constexpr int forcecast = 0x0010;
    PyObject* descr = check(np.descr_from_type(npy_double));
    const Ref rows = check_new(np.from_any(ndarray, descr, 0, 0, c_contiguous | aligned | forcecast, nullptr));
    const ArrayFields* f = fields(rows.get());
    Shape shape(std::vector<u64>(f->dimensions, f->dimensions + f->nd));
    const u64 n = unwrap(checked_size(shape));
    return Array64(std::move(shape), copy_of(reinterpret_cast<const f64*>(f->data), n));
}

}  // namespace numpy

namespace {

using namespace numpy;

// ---------------------------------------------------------------------------------------------
// PySliceContainer: owner of the buffer under an array made by to_numpy, freed with the last
// NumPy array that uses it.

struct SliceContainer {
    PyObject_HEAD
    f64* ptr;
    std::size_t len;
    std::size_t cap;
    void (*drop)(f64* ptr, std::size_t len, std::size_t cap);
};

void drop_f64_buffer(f64* ptr, std::size_t, std::size_t cap) { LargeAllocator<f64>().deallocate(ptr, cap); }

void slice_container_dealloc(PyObject* self) {
    auto* c = reinterpret_cast<SliceContainer*>(self);
    if (c->ptr) c->drop(c->ptr, c->len, c->cap);
    PyTypeObject* tp = Py_TYPE(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

}  // namespace

PyType_Spec& slice_container_spec() {
    static PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(slice_container_dealloc)},
        {0, nullptr},
    };
    static PyType_Spec spec = {qualified_name(Class::slice_container), sizeof(SliceContainer), 0,
                               class_flags | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
    return spec;
}

namespace {

// A container owning a copy of `data`; the buffer is never empty, so its pointer is never null.
Ref new_slice_container(const Storage<f64>& data) {
    PyTypeObject* type = type_object(Class::slice_container);
    Ref obj = check_new(type->tp_alloc(type, 0));
    auto* c = reinterpret_cast<SliceContainer*>(obj.get());
    const std::size_t cap = data.empty() ? 1 : data.size();
    c->ptr = LargeAllocator<f64>().allocate(cap);
    c->len = data.size();
    c->cap = cap;
    c->drop = drop_f64_buffer;
    if (!data.empty()) std::memcpy(c->ptr, data.data(), data.size() * sizeof(f64));
    return obj;
}

// ---------------------------------------------------------------------------------------------
// The two directions

Ref to_numpy_impl(PyObject* self) {
    const Api api = numpy::api();
    const ArrayRef borrowed(as_array(self));
    const Array64& a = borrowed.get();

    Ref container = new_slice_container(a.data);
    f64* buffer = reinterpret_cast<SliceContainer*>(container.get())->ptr;
    PyObject* descr = check(api.descr_from_type(npy_double));
    const npy_intp len = static_cast<npy_intp>(a.data.size());
    const npy_intp stride = sizeof(f64);
    Ref flat = check_new(api.new_from_descr(api.ndarray_type(), descr, 1, &len, &stride, buffer,
                                            writeable, nullptr));
    check_status(api.set_base_object(flat.get(), container.release()));

    std::vector<npy_intp> dims(a.shape.dims.begin(), a.shape.dims.end());
    npy_intp none = 0;  // a rank-0 shape still passes a valid pointer
    Dims newdims{dims.empty() ? &none : dims.data(), static_cast<int>(dims.size())};
    return check_new(api.newshape(flat.get(), &newdims, any_order));
}

Ref from_numpy_impl(PyObject* obj) {
    const Api api = numpy::api();
    const auto* arr = reinterpret_cast<const ArrayFields*>(obj);
    const Ref f64_descr = check_new(api.descr_from_type(npy_double));
    if (!PyObject_TypeCheck(obj, api.ndarray_type()) ||
        (arr->descr != f64_descr.get() && !api.equiv_types(arr->descr, f64_descr.get())))
        raise(PyExc_TypeError, msg::cannot_cast(type_name(obj), "ndarray"));
    const bool c_order = arr->flags & c_contiguous;
    const bool f_order = arr->flags & f_contiguous;
    if (!c_order && !f_order) raise(PyExc_TypeError, msg::not_contiguous);
    return new_array(read_f64(obj, "arr"));  // Fortran order is read back row-major
}

// NumPy is located before the array is borrowed.
constexpr auto to_numpy_sig = signature("to_numpy", object_self);
constexpr auto from_numpy_sig = signature("from_numpy", param<Object>("arr"));

}  // namespace

PyMethodDef array_from_numpy_def = def<from_numpy_sig, from_numpy_impl, Class::array>();
PyMethodDef array_to_numpy_def = def<to_numpy_sig, to_numpy_impl, Class::array>();

}  // namespace veltrix::py
