// Conversions of Python arguments into core values.
#include "python/binding.hpp"
#include "python/frame.hpp"
#include "python/messages.hpp"
#include "python/numpy.hpp"

namespace veltrix::py {

std::optional<double> to_f64(PyObject* o) {
    if (PyFloat_CheckExact(o)) return PyFloat_AS_DOUBLE(o);
    const double v = PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) return std::nullopt;
    return v;
}

std::optional<u64> to_index(PyObject* o) {
    const Ref idx = Ref::steal(PyNumber_Index(o));  // an int itself, or its __index__
    if (!idx) return std::nullopt;
    const unsigned long long v = PyLong_AsUnsignedLongLong(idx.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return std::nullopt;
    return v;
}

std::optional<i64> to_i64(PyObject* o) {
    const long long v = PyLong_AsLongLong(o);  // calls __index__ for non-ints
    if (v == -1 && PyErr_Occurred()) return std::nullopt;
    return v;
}

namespace {

// Walks a Python sequence, converting each item with `conv`; the first failure ends it.
template <class T, class Conv>
std::optional<std::vector<T>> sequence(PyObject* o, Conv conv) {
    if (PyUnicode_Check(o)) {
        PyErr_SetString(PyExc_TypeError, msg::str_to_vec);
        return std::nullopt;
    }
    if (!PySequence_Check(o)) {
        PyErr_SetString(PyExc_TypeError, msg::cannot_cast(type_name(o), "Sequence").c_str());
        return std::nullopt;
    }
    std::vector<T> out;
    if (PyList_CheckExact(o)) {
        // Indexing by position re-reads the length each step, exactly as the list iterator does;
        // each item is held while it converts.
        out.reserve(static_cast<std::size_t>(PyList_GET_SIZE(o)));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(o); ++i) {
            PyObject* item = PyList_GET_ITEM(o, i);
            Py_INCREF(item);
            auto v = conv(item);
            Py_DECREF(item);
            if (!v) return std::nullopt;
            out.push_back(std::move(*v));
        }
        return out;
    }
    if (PyTuple_CheckExact(o)) {
        out.reserve(static_cast<std::size_t>(PyTuple_GET_SIZE(o)));
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(o); ++i) {
            auto v = conv(PyTuple_GET_ITEM(o, i));
            if (!v) return std::nullopt;
            out.push_back(std::move(*v));
        }
        return out;
    }
    const Py_ssize_t size = PyObject_Size(o);
    if (size < 0) PyErr_Clear();
    else out.reserve(static_cast<std::size_t>(size));
    const Ref it = Ref::steal(PyObject_GetIter(o));
    if (!it) return std::nullopt;
    while (const Ref item = Ref::steal(PyIter_Next(it.get()))) {
        auto v = conv(item.get());
        if (!v) return std::nullopt;
        out.push_back(std::move(*v));
    }
    if (PyErr_Occurred()) return std::nullopt;
    return out;
}

}  // namespace

std::optional<std::vector<double>> to_f64_vec(PyObject* o) { return sequence<double>(o, to_f64); }
std::optional<std::vector<u64>> to_index_vec(PyObject* o) { return sequence<u64>(o, to_index); }
std::optional<std::vector<i64>> to_i64_vec(PyObject* o) { return sequence<i64>(o, to_i64); }
std::optional<std::vector<Array64>> to_array_vec(PyObject* o) { return sequence<Array64>(o, to_array_copy); }

std::optional<Shape> to_shape(PyObject* o) {
    std::optional<std::vector<u64>> dims = to_index_vec(o);
    if (!dims) return std::nullopt;
    Shape s(std::move(*dims));
    (void)unwrap(checked_size(s));
    return s;
}

// The Array object `o`, or null with a TypeError set.
static ArrayObject* array_or_error(PyObject* o) {
    if (is_array(o)) return as_array(o);
    PyErr_SetString(PyExc_TypeError, msg::cannot_cast(type_name(o), "Array").c_str());
    return nullptr;
}

std::optional<ArrayRef> to_array_ref(PyObject* o) {
    if (ArrayObject* a = array_or_error(o)) return ArrayRef(a);
    return std::nullopt;
}

std::optional<Array64> to_array_copy(PyObject* o) {
    ArrayObject* a = array_or_error(o);
    if (!a) return std::nullopt;
    if (a->borrow.load() < 0) {
        PyErr_SetString(PyExc_RuntimeError, msg::already_mutably_borrowed);
        return std::nullopt;
    }
    return a->value;
}

std::optional<std::string> to_text(PyObject* o) {
    if (!PyUnicode_Check(o)) {
        PyErr_SetString(PyExc_TypeError, msg::cannot_cast(type_name(o), "str").c_str());
        return std::nullopt;
    }
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(o, &n);
    if (!s) return std::nullopt;
    return std::string(s, static_cast<std::size_t>(n));
}

std::optional<std::string> to_lower_text(PyObject* o) {
    if (!PyUnicode_Check(o)) return to_text(o);
    const Ref lower = Ref::steal(PyObject_CallMethod(o, "lower", nullptr));
    if (!lower) return std::nullopt;
    return to_text(lower.get());
}

namespace {

// "TypeError: failed to extract field {enum}::{variant}.0, caused by" the pending error and its
// causes, as the combined error shows one alternative's failure; the pending error is cleared.
std::string field_failure(const char* enum_name, const char* variant) {
    std::vector<std::string> chain{msg::exception_line("TypeError", msg::field_error(enum_name, variant))};
    for (Ref cur = fetch_exception(); cur; cur = Ref::steal(PyException_GetCause(cur.get())))
        chain.push_back(msg::exception_line(type_name(cur.get()), exception_str(cur.get())));
    return msg::cause_chain(chain);
}

// The Array alternative first, then `second`. The failures of both are built only once both
// have failed, so the common success of the second costs no exception objects.
template <class T, class Second>
std::optional<T> tagged(PyObject* o, const char* enum_name, const char* variant, Second second) {
    if (is_array(o)) {
        if (auto a = to_array_copy(o)) return T(std::move(*a));
        PyErr_Clear();
    }
    if (auto v = second(o)) return T(std::move(*v));
    const std::string e2 = field_failure(enum_name, variant);
    (void)to_array_copy(o);  // sets the Array alternative's own error again
    const std::string e1 = field_failure(enum_name, "Array");
    PyErr_SetString(PyExc_TypeError, msg::combined_error(enum_name, "Array", e1, variant, e2).c_str());
    return std::nullopt;
}

}  // namespace

std::optional<Array64> to_array_or_vec(PyObject* o) {
    return tagged<Array64>(o, "VecOrArray", "Vec", [](PyObject* x) -> std::optional<Array64> {
        std::optional<std::vector<double>> v = to_f64_vec(x);
        if (!v) return std::nullopt;
        const u64 n = v->size();
        return Array64(Shape::d1(n), Storage<f64>(v->begin(), v->end()));
    });
}

std::optional<ArrayOrScalar> to_array_or_scalar(PyObject* o) {
    return tagged<ArrayOrScalar>(o, "ArrayOrScalar", "Scalar", to_f64);
}

// ---------------------------------------------------------------------------------------------
// Numbers in any of their forms

bool is_sequence(PyObject* x) {
    return PySequence_Check(x) && !PyUnicode_Check(x) && !PyBytes_Check(x) && !PyByteArray_Check(x);
}

// One dimension for a sequence of numbers, two for a sequence of rows.
static Array64 sequence_numbers(PyObject* o, const char* name) {
    const Ref seq = check_new(PySequence_Fast(o, ""));
    const Py_ssize_t len = PySequence_Fast_GET_SIZE(seq.get());
    PyObject** items = PySequence_Fast_ITEMS(seq.get());
    if (len == 0 || !is_sequence(items[0])) {
        const std::vector<f64> values = convert_argument<Floats>(name, o);
        const u64 n = values.size();
        return Array64(Shape::d1(n), Storage<f64>(values.begin(), values.end()));
    }
    Storage<f64> values;
    u64 cols = 0;
    for (Py_ssize_t i = 0; i < len; ++i) {
        const std::vector<double> row = convert_argument<Floats>(name, items[i]);
        if (i == 0) cols = row.size();
        if (row.size() != cols) raise(PyExc_ValueError, msg::ragged_rows(name));
        values.insert(values.end(), row.begin(), row.end());
    }
    return Array64(Shape::d2(u64(len), cols), std::move(values));
}

Numbers read_numbers(PyObject* o, const char* name) {
    Numbers n;
    if (is_array(o)) n.borrowed.emplace(as_array(o));
    else if (numpy::is_ndarray(o)) n.owned = numpy::read_f64(o, name);
    else if ((n.sequence = is_sequence(o))) n.owned = sequence_numbers(o, name);
    else raise(PyExc_TypeError, msg::argument_error(name, msg::not_numbers(type_name(o))));
    return n;
}

}  // namespace veltrix::py
