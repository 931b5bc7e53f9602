// NumPy through its C function table, located on first use so that importing veltrix never
// needs NumPy: the entries in use, fresh arrays that own their buffer, and reading any real
// array as row-major float64.
#pragma once

#include <vector>

#include "python/binding.hpp"

namespace veltrix::py::numpy {

using npy_intp = Py_ssize_t;

// Leading fields of every NumPy array object, as NumPy publishes them.
struct ArrayFields {
    PyObject_HEAD
    char* data;
    int nd;
    npy_intp* dimensions;
    npy_intp* strides;
    PyObject* base;
    PyObject* descr;
    int flags;
};

struct Dims {
    npy_intp* ptr;
    int len;
};

// Type numbers and flags.
inline constexpr int npy_int64 = 7;  // NPY_LONG, 64 bits on this platform
inline constexpr int npy_double = 12;
inline constexpr int c_contiguous = 0x0001;
inline constexpr int f_contiguous = 0x0002;
inline constexpr int aligned = 0x0100;
inline constexpr int writeable = 0x0400;
inline constexpr int any_order = -1;

// A view of the function table with the entries used, by their published positions. The
// functions that take `descr` steal it; set_base_object steals `base`, also on failure.
class Api {
public:
    explicit Api(void** table) : t_(table) {}

    PyTypeObject* ndarray_type() const { return static_cast<PyTypeObject*>(t_[2]); }
    PyObject* descr_from_type(int type) const { return fn<PyObject*(int)>(45)(type); }
    PyObject* from_any(PyObject* op, PyObject* descr, int min_depth, int max_depth, int requirements,
                       PyObject* context) const {
        return fn<PyObject*(PyObject*, PyObject*, int, int, int, PyObject*)>(69)(op, descr, min_depth, max_depth,
                                                                                 requirements, context);
    }
    PyObject* new_from_descr(PyTypeObject* subtype, PyObject* descr, int nd, const npy_intp* dims,
                             const npy_intp* strides, void* data, int flags, PyObject* obj) const {
        return fn<PyObject*(PyTypeObject*, PyObject*, int, const npy_intp*, const npy_intp*, void*, int, PyObject*)>(
            94)(subtype, descr, nd, dims, strides, data, flags, obj);
    }
    PyObject* newshape(PyObject* array, Dims* dims, int order) const {
        return fn<PyObject*(PyObject*, Dims*, int)>(135)(array, dims, order);
    }
    bool equiv_types(PyObject* a, PyObject* b) const { return fn<unsigned char(PyObject*, PyObject*)>(182)(a, b); }
    int set_base_object(PyObject* array, PyObject* base) const {
        return fn<int(PyObject*, PyObject*)>(282)(array, base);
    }

private:
    template <class F>
    F* fn(int slot) const {
        return reinterpret_cast<F*>(t_[slot]);
    }
    void** t_;
};

// The table, located on the first call (importing NumPy); an internal error whose message
// begins "Failed to access NumPy array API capsule" when NumPy cannot be reached.
Api api();

// Whether `o` is a NumPy array (subclasses included). Never imports NumPy: while NumPy is not
// imported, no object can be one.
bool is_ndarray(PyObject* o);

inline const ArrayFields* fields(PyObject* array) noexcept {
    return reinterpret_cast<const ArrayFields*>(array);
}

// A new C-contiguous NumPy array (f64 or i64) of the given shape over a fresh buffer that it
// owns, and that buffer (uninitialised) for the caller to fill.
template <class T>
struct Fresh {
    Ref array;
    T* data;
};
template <class T>
Fresh<T> fresh(const std::vector<u64>& dims);

// The values of a NumPy array of any real dtype (bool, integers, floats, cast as NumPy casts
// them) and any layout, as a row-major float64 Array of the same shape. Other dtypes (complex,
// object, strings) are a TypeError for the argument `name`.
Array64 read_f64(PyObject* ndarray, const char* name);

}  // namespace veltrix::py::numpy
