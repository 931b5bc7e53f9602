// Objects that travel: pickling and copying of Array, Generator and the trees, the NumPy array
// protocol of Array, and the jumped and spawned streams of Generator.
//
// Pickles name private reconstructors of the top-level module (veltrix._array_from_bytes,
// veltrix._generator_from_state, veltrix._tree_from_state). Their arguments may come from
// anywhere, so every defect of a state, its types included, is a ValueError.
#include "python/travel.hpp"

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "python/array_type.hpp"
#include "python/frame.hpp"
#include "python/messages.hpp"
#include "python/numpy.hpp"
#include "random/generator.hpp"
#include "spatial/ball_tree/ball_tree.hpp"
#include "spatial/common/state.hpp"
#include "spatial/kd_tree/kd_tree.hpp"
#include "spatial/vp_tree/vp_tree.hpp"

namespace veltrix::py {

namespace {

// ---------------------------------------------------------------------------------------------
// Shared pieces

// The reconstructor `name` of the top-level module, as pickle will look it up.
Ref reconstructor(const char* name) {
    Ref module = check_new(PyImport_ImportModule("veltrix"));
    return check_new(PyObject_GetAttrString(module.get(), name));
}

// A fresh bytes object of n bytes for the caller to fill.
Ref new_bytes(u64 n) { return check_new(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n))); }

// From protocol 5 on, the bytes travel as an out-of-band buffer when the pickler takes them.
Ref payload(Ref bytes, i64 protocol) {
    if (protocol < 5) return bytes;
    return check_new(PyPickleBuffer_FromObject(bytes.get()));
}

// The contiguous bytes of any bytes-like object, released with the view.
class ByteView {
public:
    ByteView(PyObject* o, const char* refusal) {
        if (PyObject_GetBuffer(o, &view_, PyBUF_SIMPLE) != 0) {
            PyErr_Clear();
            raise(PyExc_ValueError, refusal);
        }
    }
    ByteView(const ByteView&) = delete;
    ~ByteView() { PyBuffer_Release(&view_); }
    const unsigned char* data() const noexcept { return static_cast<const unsigned char*>(view_.buf); }
    std::size_t size() const noexcept { return static_cast<std::size_t>(view_.len); }

private:
    Py_buffer view_{};
};

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
    Ref args = check_new(PyTuple_Pack(2, shape_tuple(a.shape).get(), payload(std::move(bytes), protocol).get()));
    return check_new(PyTuple_Pack(2, reconstructor("_array_from_bytes").get(), args.get()));
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
    std::vector<f64> values(n);
    if (n) std::memcpy(values.data(), data.data(), n * sizeof(f64));
    return new_array(Array64(std::move(shape), std::move(values)));
}

Ref array_copy_impl(const Array64& a) { return new_array(Array64(a)); }
Ref array_deepcopy_impl(const Array64& a, PyObject*) { return new_array(Array64(a)); }

// A fresh NumPy array of the Array's shape holding a copy of its values.
Ref ndarray_copy(const Array64& a) {
    numpy::Fresh<f64> f = numpy::new_f64(a.shape.dims);
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

constexpr auto array_reduce_ex_sig = signature("__reduce_ex__", shared_self<Array64>, param<I64>("protocol"));
constexpr auto array_copy_sig = signature("__copy__", shared_self<Array64>);
constexpr auto array_deepcopy_sig = signature("__deepcopy__", shared_self<Array64>, param<Object>("memo"));
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
    return check_new(PyTuple_Pack(2, reconstructor("_generator_from_state").get(), words.get()));
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

Ref generator_copy_impl(const Generator& g) { return wrap_generator(g); }
Ref generator_deepcopy_impl(const Generator& g, PyObject*) { return wrap_generator(g); }
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
constexpr auto generator_copy_sig = signature("__copy__", shared_self<Generator>);
constexpr auto generator_deepcopy_sig = signature("__deepcopy__", shared_self<Generator>, param<Object>("memo"));
constexpr auto generator_jumped_sig = signature("jumped", shared_self<Generator>, param<Index>("jumps", 1));
constexpr auto generator_spawn_sig = signature("spawn", exclusive_self<Generator>, param<Index>("n"));
constexpr auto generator_from_state_sig =
    signature("_generator_from_state", param<Object>("s0"), param<Object>("s1"), param<Object>("s2"),
              param<Object>("s3"));

// ---------------------------------------------------------------------------------------------
// Trees

template <class Tree>
constexpr Class class_of() {
    if constexpr (std::is_same_v<Tree, KDTree>) return Class::kd_tree;
    else if constexpr (std::is_same_v<Tree, BallTree>) return Class::ball_tree;
    else return Class::vp_tree;
}

template <class Tree>
Ref wrap_tree(Tree&& t) {
    return new_instance(type_object(class_of<Tree>()), std::move(t));
}

template <class Tree>
Ref tree_reduce_ex_impl(const Tree& t, i64 protocol) {
    Ref bytes = new_bytes(tree_state_length(t));
    write_tree_state(t, reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(bytes.get())));
    Ref args = check_new(PyTuple_Pack(1, payload(std::move(bytes), protocol).get()));
    return check_new(PyTuple_Pack(2, reconstructor("_tree_from_state").get(), args.get()));
}

template <class Tree>
Ref tree_copy_impl(const Tree& t) {
    return wrap_tree(Tree(t));
}
template <class Tree>
Ref tree_deepcopy_impl(const Tree& t, PyObject*) {
    return wrap_tree(Tree(t));
}

template <class P>
Ref load_tree(const ByteView& v) {
    return wrap_tree(unwrap(tree_from_state<P>(v.data(), v.size())));
}

Ref tree_from_state_impl(PyObject* state) {
    const ByteView v(state, msg::tree_state_type);
    switch (unwrap(tree_state_kind(v.data(), v.size()))) {
        case TreeKind::KD: return load_tree<KdPolicy>(v);
        case TreeKind::Ball: return load_tree<BallPolicy>(v);
        case TreeKind::VP: break;
    }
    return load_tree<VpPolicy>(v);
}

template <class Tree>
constexpr auto tree_reduce_ex_sig = signature("__reduce_ex__", shared_self<Tree>, param<I64>("protocol"));
template <class Tree>
constexpr auto tree_copy_sig = signature("__copy__", shared_self<Tree>);
template <class Tree>
constexpr auto tree_deepcopy_sig = signature("__deepcopy__", shared_self<Tree>, param<Object>("memo"));
constexpr auto tree_from_state_sig = signature("_tree_from_state", param<Object>("state"));

template <class Tree>
PyMethodDef tree_method(Travel which) {
    constexpr Class c = class_of<Tree>();
    switch (which) {
        case Travel::reduce_ex: return def<tree_reduce_ex_sig<Tree>, tree_reduce_ex_impl<Tree>, c>();
        case Travel::copy: return def<tree_copy_sig<Tree>, tree_copy_impl<Tree>, c>();
        case Travel::deepcopy: return def<tree_deepcopy_sig<Tree>, tree_deepcopy_impl<Tree>, c>();
        default: break;
    }
    VELTRIX_FAIL("no such tree member");
}

}  // namespace

PyMethodDef travel_method(Class c, Travel which) {
    switch (c) {
        case Class::array:
            switch (which) {
                case Travel::reduce_ex: return def<array_reduce_ex_sig, array_reduce_ex_impl, Class::array>();
                case Travel::copy: return def<array_copy_sig, array_copy_impl, Class::array>();
                case Travel::deepcopy: return def<array_deepcopy_sig, array_deepcopy_impl, Class::array>();
                case Travel::array: return def<array_array_sig, array_array_impl, Class::array>();
                case Travel::array_function: return def<array_function_sig, array_function_impl, Class::array>();
                default: break;
            }
            break;
        case Class::generator:
            switch (which) {
                case Travel::reduce: return def<generator_reduce_sig, generator_reduce_impl, Class::generator>();
                case Travel::copy: return def<generator_copy_sig, generator_copy_impl, Class::generator>();
                case Travel::deepcopy: return def<generator_deepcopy_sig, generator_deepcopy_impl, Class::generator>();
                case Travel::jumped: return def<generator_jumped_sig, generator_jumped_impl, Class::generator>();
                case Travel::spawn: return def<generator_spawn_sig, generator_spawn_impl, Class::generator>();
                default: break;
            }
            break;
        case Class::kd_tree: return tree_method<KDTree>(which);
        case Class::ball_tree: return tree_method<BallTree>(which);
        case Class::vp_tree: return tree_method<VPTree>(which);
        default: break;
    }
    VELTRIX_FAIL("no such travel member");
}

void register_reconstructors(PyObject* m) {
    static PyMethodDef defs[] = {
        def<array_from_bytes_sig, array_from_bytes_impl>(),
        def<generator_from_state_sig, generator_from_state_impl>(),
        def<tree_from_state_sig, tree_from_state_impl>(),
    };
    Ref modname = check_new(PyModule_GetNameObject(m));
    for (PyMethodDef& d : defs) {
        Ref f = check_new(PyCFunction_NewEx(&d, m, modname.get()));
        check_status(PyObject_SetAttrString(m, d.ml_name, f.get()));
    }
}

}  // namespace veltrix::py
