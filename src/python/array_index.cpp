#include "python/array_methods.hpp"
#include "python/stub.hpp"

namespace veltrix::py {
PyMethodDef array_get_def = VELTRIX_STUB_DEF("get", 0);
PyMethodDef array_take_def = VELTRIX_STUB_DEF("take", 0);
PyObject* array_subscript(PyObject* s, PyObject* k) { return stub::not_yet(s, k); }
int array_ass_subscript(PyObject* s, PyObject* k, PyObject*) { stub::not_yet(s, k); return -1; }
PyObject* array_sq_item(PyObject* s, Py_ssize_t) { return stub::not_yet(s, nullptr); }
int array_sq_ass_item(PyObject* s, Py_ssize_t, PyObject*) { stub::not_yet(s, nullptr); return -1; }
int array_contains(PyObject* s, PyObject* v) { stub::not_yet(s, v); return -1; }
PyObject* array_iter(PyObject* s) { return stub::not_yet(s, nullptr); }
PyTypeObject* array_iter_type() {
    static PyTypeObject* t = stub::stub_class("builtins.PyArrayIter");
    return t;
}
}  // namespace veltrix::py
