// Objects that travel: pickling and copying of Array and Generator, the NumPy array protocol of
// Array, the jumped and spawned streams of Generator, and the reconstructors pickle calls.
#include "python/travel.hpp"

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "python/array_methods.hpp"
#include "python/frame.hpp"
#include "python/messages.hpp"
#include "python/numpy.hpp"
#include "random/generator.hpp"

namespace veltrix::py {

Ref reduction(const char* reconstructor, Ref args) {
    const Ref module = check_new(PyImport_ImportModule("veltrix"));
    return tuple_of(check_new(PyObject_GetAttrString(module.get(), reconstructor)), args);
}

Ref new_bytes(u64 n) { return check_new(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n))); }

Ref payload(Ref bytes, i64 protocol) {
    if (protocol < 5) return bytes;
    return check_new(PyPickleBuffer_FromObject(bytes.get()));
}

ByteView::ByteView(PyObject* o, const char* refusal) {
    if (PyObject_GetBuffer(o, &view_, PyBUF_SIMPLE) != 0) {
        PyErr_Clear();
        raise(PyExc_ValueError, refusal);
    }
}

namespace {

// ---------------------------------------------------------------------------------------------
// Array

Ref shape_tuple(const Shape& shape) {
    Ref t = check_new(PyTuple_New(static_cast<Py_ssize_t>(shape.rank())));
    for (std::size_t i = 0; i < shape.rank(); ++i)
        PyTuple_SET_ITEM(t.get(), static_cast<Py_ssize_t>(i), check(PyLong_FromUnsignedLongLong(shape[i])));
    return t;
}

// Shape and raw float64 bytes (the host is little-endian, as the state promises).
Ref array_reduce_ex_impl(const Array64& a, i64 protocol) {
    Ref bytes = new_bytes(a.data.size() * sizeof(f64));
    if (!a.data.empty()) std::memcpy(PyBytes_AS_STRING(bytes.get()), a.data.data(), a.data.size() * sizeof(f64));
    return reduction("_array_from_bytes", tuple_of(shape_tuple(a.shape), payload(std::move(bytes), protocol)));
}

Shape state_shape(PyObject* o) {
    if (!PyTuple_Check(o) && !PyList_Check(o)) raise(PyExc_ValueError, msg::array_state_shape);
    Ref items = check_new(PySequence_Tuple(o));
    std::vector<u64> dims;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
        PyObject* d = PyTuple_GET_ITEM(items.get(), i);
        const unsigned long long v = PyLong_Check(d) ? PyLong_AsUnsignedLongLong(d) : 0;
        if (!PyLong_Check(d) || PyErr_Occurred()) {
            PyErr_Clear();
            raise(PyExc_ValueError, msg::array_state_shape);
        }
        dims.push_back(v);
    }
    return Shape(std::move(dims));
}

Ref array_from_bytes_impl(PyObject* shape_obj, PyObject* data_obj) {
    Shape shape = state_shape(shape_obj);
    const u64 n = unwrap(checked_size(shape));
    const ByteView data(data_obj, msg::array_state_data);
    if (data.size() != n * sizeof(f64))
        raise(PyExc_ValueError,
              msg::array_state_length(static_cast<long long>(data.size()), shape.to_string(), n * sizeof(f64)));
    Storage<f64> values(n);
    if (n) std::memcpy(values.data(), data.data(), n * sizeof(f64));
    return new_array(Array64(std::move(shape), std::move(values)));
}

// A fresh NumPy array of the Array's shape holding a copy of its values.
Ref ndarray_copy(const Array64& a) {
    numpy::Fresh<f64> f = numpy::fresh<f64>(a.shape.dims);
    if (!a.data.empty()) std::memcpy(f.data, a.data.data(), a.data.size() * sizeof(f64));
    return std::move(f.array);
}

Ref array_array_impl(const Array64& a, std::optional<PyObject*> dtype, std::optional<PyObject*> copy) {
    if (copy) {
        const int wanted = PyObject_IsTrue(*copy);
        check_status(wanted);
        if (wanted == 0) raise(PyExc_ValueError, msg::copy_false);
    }
    Ref out = ndarray_copy(a);
    if (!dtype) return out;
    return check_new(PyObject_CallMethod(out.get(), "astype", "O", *dtype));
}

// `o` with every Array, also inside lists, tuples and dicts, replaced by a NumPy copy; the
// object itself when nothing in it changes.
Ref with_ndarrays(PyObject* o) {
    if (is_array(o)) return ndarray_copy(Borrowed<Array64>(as_array(o)).get());
    const bool list = PyList_Check(o), tuple = PyTuple_Check(o), dict = PyDict_Check(o);
    if (!list && !tuple && !dict) return Ref::borrow(o);
    if (Py_EnterRecursiveCall(" while converting arguments to NumPy arrays")) throw PyErrSet{};
    struct Leave {
        ~Leave() { Py_LeaveRecursiveCall(); }
    } leave;
    if (dict) {
        Ref out = check_new(PyDict_New());
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(o, &pos, &key, &value))
            check_status(PyDict_SetItem(out.get(), key, with_ndarrays(value).get()));
        return out;
    }
    const Py_ssize_t n = list ? PyList_GET_SIZE(o) : PyTuple_GET_SIZE(o);
    Ref out = check_new(list ? PyList_New(n) : PyTuple_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = list ? PyList_GET_ITEM(o, i) : PyTuple_GET_ITEM(o, i);
        PyObject* converted = with_ndarrays(item).release();
        if (list) PyList_SET_ITEM(out.get(), i, converted);
        else PyTuple_SET_ITEM(out.get(), i, converted);
    }
    return out;
}

// NumPy functions run on the converted arrays, so they behave as on `numpy.asarray(a)`; the
// Array methods of the same names keep their own signatures. Types other than Array and
// NumPy arrays get their own say (NotImplemented).
Ref array_function_impl(PyObject*, PyObject* func, PyObject* types, PyObject* args, PyObject* kwargs) {
    const numpy::Api np = numpy::api();
    Ref type_list = check_new(PySequence_Fast(types, "types must be a collection"));
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(type_list.get()); ++i) {
        PyObject* t = PySequence_Fast_GET_ITEM(type_list.get(), i);
        const bool known = t == reinterpret_cast<PyObject*>(type_object(Class::array)) ||
                           (PyType_Check(t) && PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(t), np.ndarray_type()));
        if (!known) return Ref::borrow(Py_NotImplemented);
    }
    Ref call_args = with_ndarrays(args);
    if (!PyTuple_Check(call_args.get())) call_args = check_new(PySequence_Tuple(call_args.get()));
    Ref call_kwargs = kwargs == Py_None ? Ref() : with_ndarrays(kwargs);
    return check_new(PyObject_Call(func, call_args.get(), call_kwargs.get()));
}

constexpr auto array_array_sig =
    signature("__array__", shared_self<Array64>, optional_param<Object>("dtype"), optional_param<Object>("copy"));
constexpr auto array_function_sig = signature("__array_function__", object_self, param<Object>("func"),
                                              param<Object>("types"), param<Object>("args"), param<Object>("kwargs"));
constexpr auto array_from_bytes_sig = signature("_array_from_bytes", param<Object>("shape"), param<Object>("data"));

// ---------------------------------------------------------------------------------------------
// Generator

Ref wrap_generator(const Generator& g) { return new_instance(type_object(Class::generator), Generator(g)); }

Ref generator_reduce_impl(const Generator& g) {
    Ref words = check_new(PyTuple_New(4));
    for (int i = 0; i < 4; ++i) PyTuple_SET_ITEM(words.get(), i, check(PyLong_FromUnsignedLongLong(g.s[i])));
    return reduction("_generator_from_state", std::move(words));
}

u64 state_word(PyObject* o) {
    const unsigned long long v = PyLong_Check(o) ? PyLong_AsUnsignedLongLong(o) : 0;
    if (!PyLong_Check(o) || PyErr_Occurred()) {
        PyErr_Clear();
        raise(PyExc_ValueError, msg::generator_state_words);
    }
    return v;
}

Ref generator_from_state_impl(PyObject* s0, PyObject* s1, PyObject* s2, PyObject* s3) {
    const std::array<u64, 4> words{state_word(s0), state_word(s1), state_word(s2), state_word(s3)};
    return wrap_generator(unwrap(Generator::from_state(words)));
}

Ref generator_jumped_impl(const Generator& g, u64 jumps) { return wrap_generator(g.jumped(jumps)); }

// The list is allocated before the parent moves, so a refused size leaves it unchanged.
Ref generator_spawn_impl(Generator& g, u64 n) {
    if (n > static_cast<u64>(PY_SSIZE_T_MAX)) throw std::bad_alloc();
    Ref out = check_new(PyList_New(static_cast<Py_ssize_t>(n)));
    std::vector<Generator> children = g.spawn(n);
    for (u64 i = 0; i < n; ++i)
        PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), wrap_generator(children[i]).release());
    return out;
}

constexpr auto generator_reduce_sig = signature("__reduce__", shared_self<Generator>);
constexpr auto generator_jumped_sig = signature("jumped", shared_self<Generator>, param<Index>("jumps", 1));
constexpr auto generator_spawn_sig = signature("spawn", exclusive_self<Generator>, param<Index>("n"));
// ---------------------------------------------------------------------------------------------
// The internal-error exception: its class cannot be imported by its name, so a pickle names
// the module's reconstructor instead, which calls the one class of this process.

Ref panic_from_args_impl(PyObject* args) {
    if (!PyTuple_Check(args)) raise(PyExc_ValueError, msg::panic_state);
    PyObject* type = panic_exception_type();
    if (!type) throw PyErrSet{};
    return check_new(PyObject_Call(type, args, nullptr));
}

// (veltrix._panic_from_args, (args,)), plus the instance's attributes (notes, say) as the
// state that BaseException.__setstate__ restores.
PyObject* panic_reduce(PyObject* self, PyObject*) noexcept {
    return guarded([&] {
        const Ref args = check_new(PyObject_GetAttrString(self, "args"));
        Ref r = reduction("_panic_from_args", tuple_of(args));
        const Ref dict = check_new(PyObject_GetAttrString(self, "__dict__"));
        if (!PyDict_Check(dict.get()) || PyDict_GET_SIZE(dict.get()) == 0) return r;
        return check_new(PyTuple_Pack(3, PyTuple_GET_ITEM(r.get(), 0), PyTuple_GET_ITEM(r.get(), 1), dict.get()));
    });
}

constexpr auto panic_from_args_sig = signature("_panic_from_args", param<Object>("args"));

constexpr auto generator_from_state_sig =
    signature("_generator_from_state", param<Object>("s0"), param<Object>("s1"), param<Object>("s2"),
              param<Object>("s3"));

}  // namespace

PyMethodDef array_reduce_ex_def = def<reduce_ex_sig<Array64>, array_reduce_ex_impl, Class::array>();
PyMethodDef array_dunder_copy_def = def<copy_sig<Array64>, copy_impl<Array64, Class::array>, Class::array>();
PyMethodDef array_deepcopy_def = def<deepcopy_sig<Array64>, deepcopy_impl<Array64, Class::array>, Class::array>();
PyMethodDef array_array_def = def<array_array_sig, array_array_impl, Class::array>();
PyMethodDef array_function_def = def<array_function_sig, array_function_impl, Class::array>();
PyMethodDef generator_reduce_def = def<generator_reduce_sig, generator_reduce_impl, Class::generator>();
PyMethodDef generator_copy_def = def<copy_sig<Generator>, copy_impl<Generator, Class::generator>, Class::generator>();
PyMethodDef generator_deepcopy_def =
    def<deepcopy_sig<Generator>, deepcopy_impl<Generator, Class::generator>, Class::generator>();
PyMethodDef generator_jumped_def = def<generator_jumped_sig, generator_jumped_impl, Class::generator>();
PyMethodDef generator_spawn_def = def<generator_spawn_sig, generator_spawn_impl, Class::generator>();
PyMethodDef panic_reduce_def = {"__reduce__", &panic_reduce, METH_NOARGS, nullptr};

void register_reconstructors(PyObject* m) {
    static PyMethodDef defs[] = {
        def<array_from_bytes_sig, array_from_bytes_impl>(),
        def<generator_from_state_sig, generator_from_state_impl>(),
        tree_from_state_def,
        def<panic_from_args_sig, panic_from_args_impl>(),
        {nullptr, nullptr, 0, nullptr},
    };
    add_functions(m, defs, false);
}

}  // namespace veltrix::py
