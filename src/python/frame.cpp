// The argument parser, the converters that need more than one call, and the table of every
// entry point's signature.
#include "python/frame.hpp"

#include <chrono>
#include <map>
#include <thread>

#include "ops/vmath.hpp"
#include "python/array_type.hpp"
#include "python/messages.hpp"

namespace veltrix::py {

// ---------------------------------------------------------------------------------------------
// Converters

std::string F64::render(double v) {
    std::string out;
    append_f64(out, v);
    return out;
}

std::optional<std::vector<u64>> Indices::from(PyObject* o) {
    std::vector<u64> out;
    if (!to_index_vec(o, out)) return std::nullopt;
    return out;
}

std::optional<Shape> ShapeArg::from(PyObject* o) {
    std::optional<std::vector<u64>> dims = Indices::from(o);
    if (!dims) return std::nullopt;
    Shape s(std::move(*dims));
    (void)unwrap(checked_size(s));
    return s;
}

std::optional<std::vector<double>> Floats::from(PyObject* o) {
    std::vector<double> out;
    if (!to_f64_vec(o, out)) return std::nullopt;
    return out;
}

std::optional<std::vector<Array64>> ArrayCopies::from(PyObject* o) {
    std::vector<Array64> out;
    if (!to_array_vec(o, out)) return std::nullopt;
    return out;
}

std::optional<ArrayRef> ArrayArg::from(PyObject* o) {
    if (!is_array(o)) {
        PyErr_SetString(PyExc_TypeError, msg::cannot_cast(type_name(o), "Array").c_str());
        return std::nullopt;
    }
    return ArrayRef(as_array(o));
}

// ---------------------------------------------------------------------------------------------
// Argument parsing

namespace {

std::string qualified(const ParseSpec& s) { return frame::call_name(s.cls, s.name) + "()"; }

void raise_missing(const ParseSpec& s, PyObject** out) {
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < s.n_required; ++i)
        if (!out[i]) missing.push_back(s.params[i]);
    PyErr_SetString(PyExc_TypeError, msg::missing_arguments(qualified(s), missing).c_str());
}

}  // namespace

bool parse_args(const ParseSpec& s, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                PyObject** out) noexcept {
    const auto np = static_cast<Py_ssize_t>(s.n_params);
    if (nargs > np) {
        PyErr_SetString(PyExc_TypeError,
                        msg::too_many_positional(qualified(s), s.n_required, s.n_params,
                                                 static_cast<std::size_t>(nargs))
                            .c_str());
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    if (kwnames) {
        const Py_ssize_t nk = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nk; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            Py_ssize_t found = -1;
            for (Py_ssize_t p = 0; p < np; ++p) {
                if (PyUnicode_CompareWithASCIIString(key, s.params[p]) == 0) {
                    found = p;
                    break;
                }
            }
            if (found < 0) {
                PyErr_Format(PyExc_TypeError, msg::unexpected_keyword, qualified(s).c_str(), key);
                return false;
            }
            if (out[found]) {
                PyErr_Format(PyExc_TypeError, msg::multiple_values, qualified(s).c_str(), s.params[found]);
                return false;
            }
            out[found] = args[nargs + k];
        }
    }
    for (std::size_t i = 0; i < s.n_required; ++i) {
        if (!out[i]) {
            raise_missing(s, out);
            return false;
        }
    }
    return true;
}

void fail_argument(const char* name) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        PyErr_NormalizeException(&type, &value, &tb);
        if (tb) PyException_SetTraceback(value, tb);
        Ref cause = Ref::steal(value);
        Py_XDECREF(type);
        Py_XDECREF(tb);
        Ref text = Ref::steal(PyObject_Str(cause.get()));
        const char* t = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
        if (!t) {
            PyErr_Clear();
            t = msg::str_failed;
        }
        const std::string m = msg::argument_error(name, t);
        Ref exc = Ref::steal(PyObject_CallFunction(PyExc_TypeError, "s", m.c_str()));
        if (!exc) throw PyErrSet{};
        PyException_SetCause(exc.get(), cause.release());
        PyErr_SetObject(PyExc_TypeError, exc.get());
    }
    throw PyErrSet{};
}

// ---------------------------------------------------------------------------------------------
// The signature table

namespace {

struct SignatureEntry {
    std::string doc;
    bool has_self;
    std::vector<SignatureParam> params;
};

// Filled while the method tables are built, read once by register_private.
std::map<std::string, SignatureEntry>& signature_table() {
    static std::map<std::string, SignatureEntry> table;
    return table;
}

}  // namespace

const char* register_signature(const std::string& key, const char* doc_name, bool has_self,
                               std::vector<SignatureParam> params) {
    std::string doc = std::string(doc_name) + "(" + (has_self ? "$self" : "");
    for (std::size_t i = 0; i < params.size(); ++i) {
        if (i || has_self) doc += ", ";
        doc += params[i].name;
        if (params[i].fallback) doc += "=" + *params[i].fallback;
    }
    doc += ")\n--\n\n";
    // The same entry point may be listed twice (a class's table is built once per process).
    auto [it, fresh] = signature_table().try_emplace(key, SignatureEntry{std::move(doc), has_self, std::move(params)});
    (void)fresh;
    return it->second.doc.c_str();
}

namespace {

Ref signature_dict() {
    Ref dict = check_new(PyDict_New());
    for (const auto& [key, entry] : signature_table()) {
        Ref params = check_new(PyTuple_New(static_cast<Py_ssize_t>(entry.params.size())));
        for (std::size_t i = 0; i < entry.params.size(); ++i) {
            const SignatureParam& p = entry.params[i];
            Ref fallback = p.fallback ? check_new(PyUnicode_FromString(p.fallback->c_str())) : Ref::borrow(Py_None);
            PyTuple_SET_ITEM(params.get(), static_cast<Py_ssize_t>(i),
                             check(Py_BuildValue("(sO)", p.name, fallback.get())));
        }
        Ref value = check_new(Py_BuildValue("(OO)", entry.has_self ? Py_True : Py_False, params.get()));
        check_status(PyDict_SetItemString(dict.get(), key.c_str(), value.get()));
    }
    return dict;
}

// Holds a shared borrow of `array` for `seconds` with the interpreter lock released, as a
// computation that releases the lock does: lets a test watch the borrow from another thread.
Ref hold_shared_borrow_impl(const Array64&, double seconds) {
    {
        WithoutGil unlocked;
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    }
    return Ref::borrow(Py_None);
}

constexpr auto hold_shared_borrow_sig =
    signature("_hold_shared_borrow", param<ArrayArg>("array"), param<F64>("seconds"));

}  // namespace

void register_private(PyObject* m) {
    static PyMethodDef hold = def<hold_shared_borrow_sig, hold_shared_borrow_impl>();
    Ref modname = check_new(PyModule_GetNameObject(m));
    Ref f = check_new(PyCFunction_NewEx(&hold, m, modname.get()));
    check_status(PyObject_SetAttrString(m, hold.ml_name, f.get()));
    Ref table = signature_dict();
    check_status(PyObject_SetAttrString(m, "_signatures", table.get()));
    // Which exp/log kernels run: naming them runs their guard once, here.
    const std::string_view path = vmath::path_name();
    Ref name = check_new(PyUnicode_FromStringAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
    check_status(PyObject_SetAttrString(m, "_vmath_path", name.get()));
}

}  // namespace veltrix::py
