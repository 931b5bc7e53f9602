#include "python/binding.hpp"

#include <chrono>
#include <cstdio>
#include <new>

#include "python/messages.hpp"
#include "python/state.hpp"

namespace veltrix::py {

void raise(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw PyErrSet{};
}

void raise_with_cause(PyObject* type, const std::string& message, Ref cause) {
    const Ref exc = check_new(PyObject_CallFunction(type, "s", message.c_str()));
    if (cause) PyException_SetCause(exc.get(), cause.release());
    PyErr_SetObject(type, exc.get());
    throw PyErrSet{};
}

void raise_borrow_conflict(bool exclusive) {
    raise(PyExc_RuntimeError, exclusive ? msg::already_borrowed : msg::already_mutably_borrowed);
}

PyTypeObject* make_class(PyType_Spec& spec) {
    return reinterpret_cast<PyTypeObject*>(check(PyType_FromSpec(&spec)));
}

std::string type_name(PyObject* o) {
    const Ref q = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(o)), "__qualname__"));
    const char* s = q && PyUnicode_Check(q.get()) ? PyUnicode_AsUTF8(q.get()) : nullptr;
    if (s) return s;
    PyErr_Clear();
    return Py_TYPE(o)->tp_name;
}

Ref fetch_exception() {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && value) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return Ref::steal(value);
}

std::string exception_str(PyObject* exc) {
    Ref s = Ref::steal(PyObject_Str(exc));
    const char* t = s ? PyUnicode_AsUTF8(s.get()) : nullptr;
    if (t) return t;
    PyErr_Clear();
    return msg::str_failed;
}

// ---------------------------------------------------------------------------------------------
// Failures

static void report_internal_error(const InternalError& e) {
    // One line on stderr, so a log shows where the precondition broke.
    std::string text = e.message();
    for (char& c : text)
        if (c == '\n') c = ' ';
    std::fprintf(stderr, msg::internal_error_report, PyThread_get_thread_ident(), e.file(), e.line(),
                 text.c_str());
}

void poll_signals(CancelToken& token) {
    // Taking the lock costs far more than a block; a few milliseconds between looks keep the
    // answer to Ctrl-C well under a tenth of a second.
    using clock = std::chrono::steady_clock;
    static thread_local clock::time_point next{};
    const clock::time_point now = clock::now();
    if (now < next) return;
    next = now + std::chrono::milliseconds(5);
    if (PyGILState_Check()) {
        if (PyErr_CheckSignals() < 0) token.requested.store(true, std::memory_order_relaxed);
        return;
    }
    const PyGILState_STATE state = PyGILState_Ensure();
    if (PyErr_CheckSignals() < 0) token.requested.store(true, std::memory_order_relaxed);
    PyGILState_Release(state);
}

void translate_current_exception() noexcept {
    try {
        throw;
    } catch (const PyErrSet&) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, msg::no_exception_set);
    } catch (const Cancelled&) {
        // The signal handler's exception is pending already.
        if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
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
        if (t) PyErr_SetString(t, msg::unknown_internal_error);
    }
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

void add_functions(PyObject* module, PyMethodDef* defs, bool listed) {
    const Ref modname = check_new(PyModule_GetNameObject(module));
    for (PyMethodDef* d = defs; d->ml_name; ++d) {
        const Ref f = check_new(PyCFunction_NewEx(d, module, modname.get()));
        if (listed) add_member(module, d->ml_name, f.get());
        else check_status(PyObject_SetAttrString(module, d->ml_name, f.get()));
    }
}

}  // namespace veltrix::py
