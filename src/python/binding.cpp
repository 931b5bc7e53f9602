#include "python/binding.hpp"

#include <cstdio>
#include <new>

#include "python/messages.hpp"
#include "python/state.hpp"

namespace veltrix::py {

void raise(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw PyErrSet{};
}

SharedBorrow::SharedBorrow(BorrowFlag& f) : f_(&f) {
    const std::int64_t n = f.load();
    if (n < 0) raise(PyExc_RuntimeError, msg::already_mutably_borrowed);
    f.store(n + 1);
}

ExclusiveBorrow::ExclusiveBorrow(BorrowFlag& f) : f_(&f) {
    if (f.load() != 0) raise(PyExc_RuntimeError, msg::already_borrowed);
    f.store(-1);
}

PyTypeObject* make_class(PyType_Spec& spec) {
    return reinterpret_cast<PyTypeObject*>(check(PyType_FromSpec(&spec)));
}

std::string type_name(PyObject* o) {
    Ref q = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(o)), "__qualname__"));
    if (q && PyUnicode_Check(q.get())) {
        const char* s = PyUnicode_AsUTF8(q.get());
        if (s) return s;
    }
    PyErr_Clear();
    return Py_TYPE(o)->tp_name;
}

// ---------------------------------------------------------------------------------------------
// Failures

static void report_internal_error(const InternalError& e) {
    // One line on stderr, so a log shows where the precondition broke.
    std::string text = e.message();
    for (char& c : text)
        if (c == '\n') c = ' ';
    std::fprintf(stderr, "veltrix: internal error in thread %lu at %s:%d: %s\n",
                 PyThread_get_thread_ident(), e.file(), e.line(), text.c_str());
}

void translate_current_exception() noexcept {
    try {
        throw;
    } catch (const PyErrSet&) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    } catch (const InternalError& e) {
        report_internal_error(e);
        PyObject* t = panic_exception_type();
        if (t) PyErr_SetString(t, e.message().c_str());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyObject* t = panic_exception_type();
        if (t) PyErr_SetString(t, e.what());
    } catch (...) {
        PyObject* t = panic_exception_type();
        if (t) PyErr_SetString(t, "unknown internal error");
    }
}

// ---------------------------------------------------------------------------------------------
// Argument parsing

static std::string qualified(const FnSpec& s) {
    std::string q;
    if (s.cls) {
        q += s.cls;
        q += '.';
    }
    q += s.name;
    q += "()";
    return q;
}

static void raise_missing(const FnSpec& s, PyObject** out) {
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < s.n_required; ++i)
        if (!out[i]) missing.push_back(s.params[i]);
    std::string names;
    for (std::size_t i = 0; i < missing.size(); ++i) {
        if (i) names += (i + 1 == missing.size()) ? (missing.size() == 2 ? " and " : ", and ") : ", ";
        names += '\'';
        names += missing[i];
        names += '\'';
    }
    PyErr_SetString(PyExc_TypeError,
                    (qualified(s) + " missing " + std::to_string(missing.size()) +
                     " required positional " + (missing.size() == 1 ? "argument" : "arguments") +
                     ": " + names)
                        .c_str());
}

bool parse_args(const FnSpec& s, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                PyObject** out) noexcept {
    const auto np = static_cast<Py_ssize_t>(s.n_params);
    if (nargs > np) {
        std::string m = qualified(s) + " takes ";
        if (s.n_required == s.n_params)
            m += std::to_string(s.n_params);
        else
            m += "from " + std::to_string(s.n_required) + " to " + std::to_string(s.n_params);
        m += " positional arguments but " + std::to_string(nargs) + (nargs == 1 ? " was" : " were") +
             " given";
        PyErr_SetString(PyExc_TypeError, m.c_str());
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
                PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'",
                             qualified(s).c_str(), key);
                return false;
            }
            if (out[found]) {
                PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'",
                             qualified(s).c_str(), s.params[found]);
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

void Args::fail(std::size_t i) const {
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
            t = "<exception str() failed>";
        }
        std::string m = std::string("argument '") + spec_.params[i] + "': " + t;
        Ref exc = Ref::steal(PyObject_CallFunction(PyExc_TypeError, "s", m.c_str()));
        if (!exc) throw PyErrSet{};
        PyException_SetCause(exc.get(), cause.release());
        PyErr_SetObject(PyExc_TypeError, exc.get());
    }
    throw PyErrSet{};
}

double Args::f64(std::size_t i) const { return ok(i, to_f64(v_[i])); }
u64 Args::index(std::size_t i) const { return ok(i, to_index(v_[i])); }
i64 Args::i64_(std::size_t i) const { return ok(i, to_i64(v_[i])); }

std::vector<u64> Args::indices(std::size_t i) const {
    std::vector<u64> out;
    if (!to_index_vec(v_[i], out)) fail(i);
    return out;
}

Shape Args::shape(std::size_t i) const {
    Shape s(indices(i));
    (void)unwrap(checked_size(s));
    return s;
}

std::vector<double> Args::floats(std::size_t i) const {
    std::vector<double> out;
    if (!to_f64_vec(v_[i], out)) fail(i);
    return out;
}

std::vector<Array64> Args::arrays(std::size_t i) const {
    std::vector<Array64> out;
    if (!to_array_vec(v_[i], out)) fail(i);
    return out;
}

std::string Args::text(std::size_t i) const { return ok(i, to_text(v_[i])); }
std::string Args::lower_text(std::size_t i) const { return ok(i, to_lower_text(v_[i])); }

ArrayRef Args::array(std::size_t i) const {
    if (!is_array(v_[i])) {
        PyErr_SetString(PyExc_TypeError, msg::cannot_cast(type_name(v_[i]), "Array").c_str());
        fail(i);
    }
    return ArrayRef(reinterpret_cast<ArrayObject*>(v_[i]));
}

Array64 Args::array_copy(std::size_t i) const { return ok(i, to_array_copy(v_[i])); }
VecOrArray Args::vec_or_array(std::size_t i) const { return ok(i, to_vec_or_array(v_[i])); }
ArrayOrScalar Args::array_or_scalar(std::size_t i) const {
    return ok(i, to_array_or_scalar(v_[i]));
}

// ---------------------------------------------------------------------------------------------
// Results and modules

Ref index_list(const std::vector<u64>& v) {
    Ref list = check_new(PyList_New(static_cast<Py_ssize_t>(v.size())));
    for (std::size_t i = 0; i < v.size(); ++i)
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i),
                        check(PyLong_FromUnsignedLongLong(v[i])));
    return list;
}

void add_member(PyObject* module, const char* name, PyObject* obj) {
    PyObject* dict = PyModule_GetDict(module);
    PyObject* all = PyDict_GetItemString(dict, "__all__");
    if (!all) {
        Ref fresh = check_new(PyList_New(0));
        check_status(PyDict_SetItemString(dict, "__all__", fresh.get()));
        all = fresh.get();
    }
    Ref n = check_new(PyUnicode_FromString(name));
    check_status(PyList_Append(all, n.get()));
    check_status(PyObject_SetAttr(module, n.get(), obj));
}

namespace {

template <class Add>
void add_each_function(PyObject* module, PyMethodDef* defs, Add add) {
    Ref modname = check_new(PyModule_GetNameObject(module));
    for (PyMethodDef* d = defs; d->ml_name; ++d) {
        Ref f = check_new(PyCFunction_NewEx(d, module, modname.get()));
        add(d->ml_name, f.get());
    }
}

}  // namespace

void add_functions(PyObject* module, PyMethodDef* defs) {
    add_each_function(module, defs, [&](const char* name, PyObject* f) { add_member(module, name, f); });
}

void add_attributes(PyObject* module, PyMethodDef* defs) {
    add_each_function(module, defs, [&](const char* name, PyObject* f) {
        check_status(PyObject_SetAttrString(module, name, f));
    });
}

}  // namespace veltrix::py
