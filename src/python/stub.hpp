// Placeholders for members whose subsystem binding is still being written.
#pragma once

#include "python/array_type.hpp"

namespace veltrix::py::stub {

inline PyObject* not_yet(PyObject*, PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "not implemented yet");
    return nullptr;
}
inline PyObject* not_yet_binary(PyObject*, PyObject*) { Py_RETURN_NOTIMPLEMENTED; }

#define VELTRIX_STUB_DEF(name, flags)                                                            \
    PyMethodDef { name, reinterpret_cast<PyCFunction>(&::veltrix::py::stub::not_yet),            \
                  METH_VARARGS | METH_KEYWORDS | (flags), nullptr }

inline PyTypeObject* stub_class(const char* name) {
    static PyType_Slot slots[] = {{0, nullptr}};
    PyType_Spec* spec = new PyType_Spec{name, sizeof(PyObject), 0, class_flags, slots};
    return make_class(*spec);
}

}  // namespace veltrix::py::stub
