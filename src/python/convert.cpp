// Conversions of Python arguments into core values.
#include "python/binding.hpp"
#include "python/messages.hpp"

namespace veltrix::py {

std::optional<double> to_f64(PyObject* o) {
    if (PyFloat_CheckExact(o)) return PyFloat_AS_DOUBLE(o);
    const double v = PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) return std::nullopt;
    return v;
}

std::optional<u64> to_index(PyObject* o) {
    if (PyLong_Check(o)) {
        const unsigned long long v = PyLong_AsUnsignedLongLong(o);
        if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return std::nullopt;
        return v;
    }
    PyObject* idx = PyNumber_Index(o);
    if (!idx) return std::nullopt;
    const unsigned long long v = PyLong_AsUnsignedLongLong(idx);
    Py_DECREF(idx);
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
bool sequence_to_vec(PyObject* o, std::vector<T>& out, Conv conv) {
    if (PyUnicode_Check(o)) {
        PyErr_SetString(PyExc_TypeError, msg::str_to_vec);
        return false;
    }
    if (!PySequence_Check(o)) {
        PyErr_SetString(PyExc_TypeError, msg::cannot_cast(type_name(o), "Sequence").c_str());
        return false;
    }
    out.clear();
    if (PyList_CheckExact(o)) {
        // Indexing by position re-reads the length each step, exactly as the list iterator does.
        out.reserve(static_cast<std::size_t>(PyList_GET_SIZE(o)));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(o); ++i) {
            PyObject* item = PyList_GET_ITEM(o, i);
            Py_INCREF(item);
            auto v = conv(item);
            Py_DECREF(item);
            if (!v) {
                out.clear();
                return false;
            }
            out.push_back(std::move(*v));
        }
        return true;
    }
    if (PyTuple_CheckExact(o)) {
        const Py_ssize_t n = PyTuple_GET_SIZE(o);
        out.reserve(static_cast<std::size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            auto v = conv(PyTuple_GET_ITEM(o, i));
            if (!v) {
                out.clear();
                return false;
            }
            out.push_back(std::move(*v));
        }
        return true;
    }
    const Py_ssize_t size = PyObject_Size(o);
    if (size < 0)
        PyErr_Clear();
    else
        out.reserve(static_cast<std::size_t>(size));
    PyObject* it = PyObject_GetIter(o);
    if (!it) return false;
    while (PyObject* item = PyIter_Next(it)) {
        auto v = conv(item);
        Py_DECREF(item);
        if (!v) {
            Py_DECREF(it);
            out.clear();
            return false;
        }
        out.push_back(std::move(*v));
    }
    Py_DECREF(it);
    if (PyErr_Occurred()) {
        out.clear();
        return false;
    }
    return true;
}

}  // namespace

bool to_f64_vec(PyObject* o, std::vector<double>& out) { return sequence_to_vec(o, out, to_f64); }
bool to_index_vec(PyObject* o, std::vector<u64>& out) { return sequence_to_vec(o, out, to_index); }
bool to_i64_vec(PyObject* o, std::vector<i64>& out) { return sequence_to_vec(o, out, to_i64); }
bool to_array_vec(PyObject* o, std::vector<Array64>& out) {
    return sequence_to_vec(o, out, to_array_copy);
}

std::optional<Array64> to_array_copy(PyObject* o) {
    if (!is_array(o)) {
        PyErr_SetString(PyExc_TypeError, msg::cannot_cast(type_name(o), "Array").c_str());
        return std::nullopt;
    }
    auto* a = reinterpret_cast<ArrayObject*>(o);
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
    PyObject* lower = PyObject_CallMethod(o, "lower", nullptr);
    if (!lower) return std::nullopt;
    auto r = to_text(lower);
    Py_DECREF(lower);
    return r;
}

namespace {

// "TypeError: message" followed by the cause chain, as shown in the combined error.
std::string render_exception(PyObject* exc) {
    std::string out;
    Ref cur = Ref::borrow(exc);
    while (cur) {
        if (!out.empty()) out += ", caused by ";
        out += type_name(cur.get());
        out += ": ";
        Ref s = Ref::steal(PyObject_Str(cur.get()));
        const char* t = s ? PyUnicode_AsUTF8(s.get()) : nullptr;
        if (!t) {
            PyErr_Clear();
            out += "<exception str() failed>";
        } else {
            out += t;
        }
        cur = Ref::steal(PyException_GetCause(cur.get()));
    }
    return out;
}

// Takes the pending error as the cause of "failed to extract field {enum}::{variant}.0".
Ref wrap_field_error(const char* enum_name, const char* variant) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    std::string m = std::string("failed to extract field ") + enum_name + "::" + variant + ".0";
    PyObject* w = PyObject_CallFunction(PyExc_TypeError, "s", m.c_str());
    if (!w) {
        Py_XDECREF(value);
        throw PyErrSet{};
    }
    if (value) PyException_SetCause(w, value);  // steals value
    return Ref::steal(w);
}

void raise_combined(const char* enum_name, const char* v1, Ref e1, const char* v2, Ref e2) {
    std::string m = std::string("failed to extract enum ") + enum_name + " ('" + v1 + " | " + v2 + "')";
    m += std::string("\n- variant ") + v1 + " (" + v1 + "): " + render_exception(e1.get());
    m += std::string("\n- variant ") + v2 + " (" + v2 + "): " + render_exception(e2.get());
    PyErr_SetString(PyExc_TypeError, m.c_str());
}

}  // namespace

// The failures of both alternatives are built only once both have failed, so the common
// success of the second alternative costs no exception objects.
std::optional<VecOrArray> to_vec_or_array(PyObject* o) {
    const bool array_like = is_array(o);
    if (array_like) {
        if (auto a = to_array_copy(o)) return VecOrArray(std::move(*a));
        PyErr_Clear();
    }
    std::vector<double> v;
    if (to_f64_vec(o, v)) return VecOrArray(std::move(v));
    Ref e2 = wrap_field_error("VecOrArray", "Vec");
    (void)to_array_copy(o);  // sets the Array alternative's own error again
    Ref e1 = wrap_field_error("VecOrArray", "Array");
    raise_combined("VecOrArray", "Array", std::move(e1), "Vec", std::move(e2));
    return std::nullopt;
}

std::optional<ArrayOrScalar> to_array_or_scalar(PyObject* o, bool quiet) {
    if (is_array(o)) {
        if (auto a = to_array_copy(o)) return ArrayOrScalar(std::move(*a));
        PyErr_Clear();
    }
    if (auto s = to_f64(o)) return ArrayOrScalar(*s);
    if (quiet) {
        PyErr_Clear();
        return std::nullopt;
    }
    Ref e2 = wrap_field_error("ArrayOrScalar", "Scalar");
    (void)to_array_copy(o);
    Ref e1 = wrap_field_error("ArrayOrScalar", "Array");
    raise_combined("ArrayOrScalar", "Array", std::move(e1), "Scalar", std::move(e2));
    return std::nullopt;
}

Array64 vec_or_array_to_array(VecOrArray&& v) {
    if (auto* a = std::get_if<Array64>(&v)) return std::move(*a);
    auto& d = std::get<std::vector<double>>(v);
    const u64 n = d.size();
    return Array64(Shape::d1(n), std::move(d));
}

}  // namespace veltrix::py
