// Exchange with NumPy through its C API function table, found at run time on first use so
// that importing veltrix never needs NumPy.
#include <atomic>
#include <cstring>
#include <memory>
#include <vector>

#include "ops/buffer.hpp"
#include "python/messages.hpp"
#include "python/array_methods.hpp"
#include "python/array_type.hpp"
#include "python/numpy.hpp"

namespace veltrix::py {

namespace numpy {

namespace {

// Returns nothing with the Python error pending when NumPy cannot be reached.
void** locate_api_table() {
    Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
    if (!numpy) return nullptr;
    Ref version = Ref::steal(PyObject_GetAttrString(numpy.get(), "__version__"));
    if (!version) return nullptr;
    Ref lib = Ref::steal(PyObject_GetAttrString(numpy.get(), "lib"));
    if (!lib) return nullptr;
    Ref parsed = Ref::steal(PyObject_CallMethod(lib.get(), "NumpyVersion", "O", version.get()));
    if (!parsed) return nullptr;
    Ref major_obj = Ref::steal(PyObject_GetAttrString(parsed.get(), "major"));
    if (!major_obj) return nullptr;
    const long major = PyLong_AsLong(major_obj.get());
    if (major == -1 && PyErr_Occurred()) return nullptr;
    // NumPy 2 moved the core package to numpy._core.
    Ref multiarray = Ref::steal(
        PyImport_ImportModule(major >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray"));
    if (!multiarray) return nullptr;
    Ref capsule = Ref::steal(PyObject_GetAttrString(multiarray.get(), "_ARRAY_API"));
    if (!capsule) return nullptr;
    if (!PyCapsule_CheckExact(capsule.get())) {
        PyErr_SetString(PyExc_TypeError, "_ARRAY_API is not a capsule");
        return nullptr;
    }
    return static_cast<void**>(PyCapsule_GetPointer(capsule.get(), PyCapsule_GetName(capsule.get())));
}

// "Type: message" of the pending Python error, which is cleared.
std::string take_error_text() {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    Ref t = Ref::steal(type), v = Ref::steal(value), b = Ref::steal(tb);
    if (!v) return "unknown error";
    std::string out = type_name(v.get());
    Ref s = Ref::steal(PyObject_Str(v.get()));
    const char* text = s ? PyUnicode_AsUTF8(s.get()) : nullptr;
    if (!text) PyErr_Clear();
    out += ": ";
    out += text ? text : "<exception str() failed>";
    return out;
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
        if (!t) VELTRIX_FAIL(std::string(msg::numpy_unavailable) + ": " + take_error_text());
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

namespace {

template <class T>
Fresh<T> fresh(int type, const std::vector<u64>& dims) {
    const Api np = api();
    std::vector<npy_intp> d(dims.begin(), dims.end());
    PyObject* descr = check(np.descr_from_type(type));
    Ref array = check_new(np.new_from_descr(np.ndarray_type(), descr, static_cast<int>(d.size()),
                                            d.data(), nullptr, nullptr, 0, nullptr));
    T* data = reinterpret_cast<T*>(fields(array.get())->data);
    return {std::move(array), data};
}

}  // namespace

Fresh<f64> new_f64(const std::vector<u64>& dims) { return fresh<f64>(npy_double, dims); }
Fresh<i64> new_i64(const std::vector<u64>& dims) { return fresh<i64>(npy_int64, dims); }

Array64 read_f64(PyObject* ndarray) {
    const Api np = api();
    PyObject* descr = check(np.descr_from_type(npy_double));
    // NumPy casts and lays out the values; an array that already fits comes back as itself.
    Ref rows = check_new(np.from_any(ndarray, descr, 0, 0, c_contiguous | aligned, nullptr));
    const ArrayFields* f = fields(rows.get());
    Shape shape(std::vector<u64>(f->dimensions, f->dimensions + f->nd));
    const u64 n = unwrap(checked_size(shape));
    return Array64(std::move(shape), buffer::copy(reinterpret_cast<const f64*>(f->data), n));
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

void drop_f64_buffer(f64* ptr, std::size_t, std::size_t cap) { std::allocator<f64>().deallocate(ptr, cap); }

void slice_container_dealloc(PyObject* self) {
    auto* c = reinterpret_cast<SliceContainer*>(self);
    if (c->ptr) c->drop(c->ptr, c->len, c->cap);
    PyTypeObject* tp = Py_TYPE(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

}  // namespace

PyType_Spec& slice_container_spec() {
    {
        static PyType_Slot slots[] = {
            {Py_tp_dealloc, reinterpret_cast<void*>(slice_container_dealloc)},
            {0, nullptr},
        };
        static PyType_Spec spec = {"builtins.PySliceContainer", sizeof(SliceContainer), 0,
                                   class_flags | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
        return spec;
    }
}

namespace {

// A container owning a copy of `data`; the buffer is never empty, so its pointer is never null.
Ref new_slice_container(const std::vector<f64>& data) {
    PyTypeObject* type = type_object(Class::slice_container);
    Ref obj = check_new(type->tp_alloc(type, 0));
    auto* c = reinterpret_cast<SliceContainer*>(obj.get());
    const std::size_t cap = data.empty() ? 1 : data.size();
    c->ptr = std::allocator<f64>().allocate(cap);
    c->len = data.size();
    c->cap = cap;
    c->drop = drop_f64_buffer;
    buffer::advise_huge_pages(c->ptr, cap * sizeof(f64));
    if (!data.empty()) std::memcpy(c->ptr, data.data(), data.size() * sizeof(f64));
    return obj;
}

// ---------------------------------------------------------------------------------------------
// The two directions

bool is_float64(const Api& api, PyObject* arr) {
    PyObject* descr = reinterpret_cast<ArrayFields*>(arr)->descr;
    Ref f64_descr = check_new(api.descr_from_type(npy_double));
    return descr == f64_descr.get() || api.equiv_types(descr, f64_descr.get());
}

// Row-major copy of an array laid out by arbitrary byte strides (rank >= 1).
void copy_row_major(const ArrayFields* arr, f64* out) {
    const int nd = arr->nd;
    const npy_intp inner = arr->dimensions[nd - 1];
    const npy_intp step = arr->strides[nd - 1];
    std::vector<npy_intp> idx(static_cast<std::size_t>(nd - 1), 0);
    const char* row = arr->data;
    for (;;) {
        for (npy_intp j = 0; j < inner; ++j) std::memcpy(out++, row + j * step, sizeof(f64));
        int d = nd - 2;
        for (; d >= 0; --d) {
            row += arr->strides[d];
            if (++idx[static_cast<std::size_t>(d)] < arr->dimensions[d]) break;
            row -= arr->strides[d] * arr->dimensions[d];
            idx[static_cast<std::size_t>(d)] = 0;
        }
        if (d < 0) return;
    }
}

Ref to_numpy_impl(PyObject* self) {
    const Api api = numpy::api();
    ArrayObject* o = as_array(self);
    SharedBorrow guard(o->borrow);
    const Array64& a = o->value;

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

constexpr FnSpec from_numpy_s{"from_numpy", "Array", "from_numpy(arr)\n--\n\n", {"arr"}, 1, 1};

Ref from_numpy_impl(PyObject*, const Args& args) {
    const Api api = numpy::api();
    PyObject* obj = args[0];
    if (!PyObject_TypeCheck(obj, api.ndarray_type()) || !is_float64(api, obj))
        raise(PyExc_TypeError, msg::cannot_cast(type_name(obj), "ndarray"));
    const auto* arr = reinterpret_cast<const ArrayFields*>(obj);
    const bool c_order = arr->flags & c_contiguous;
    const bool f_order = arr->flags & f_contiguous;
    if (!c_order && !f_order) raise(PyExc_TypeError, msg::not_contiguous);

    Shape shape(std::vector<u64>(arr->dimensions, arr->dimensions + arr->nd));
    const u64 n = unwrap(checked_size(shape));
    std::vector<f64> data;
    if (c_order) {
        data = buffer::copy(reinterpret_cast<const f64*>(arr->data), n);
    } else {
        data.resize(n);
        if (n != 0) copy_row_major(arr, data.data());  // Fortran order, read back row-major
    }
    return new_array(Array64(std::move(shape), std::move(data)));
}

}  // namespace

PyMethodDef array_from_numpy_def = VELTRIX_STATIC(from_numpy_s, from_numpy_impl);
PyMethodDef array_to_numpy_def = VELTRIX_NOARGS("to_numpy", "to_numpy($self)\n--\n\n", to_numpy_impl);

}  // namespace veltrix::py
