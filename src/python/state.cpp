// The module's state: class objects, the internal-error type and the NumPy function table.
#include "python/state.hpp"

#include "python/binding.hpp"
#include "python/travel.hpp"

namespace veltrix::py {

namespace {

constexpr int n_classes = static_cast<int>(Class::slice_container) + 1;

PyType_Spec& spec_of(Class c) {
    switch (c) {
        case Class::none: VELTRIX_FAIL("no class object for Class::none");
        case Class::array: return array_spec();
        case Class::array_iter: return array_iter_spec();
        case Class::generator: return generator_spec();
        case Class::slice_container: return slice_container_spec();
        default: return tree_spec(c);  // ball_tree, kd_tree, vp_tree
    }
}

}  // namespace

// Created once per process under the interpreter lock and kept for its whole life.
PyTypeObject* class_objects[n_classes] = {};

PyTypeObject* create_type_object(Class c) {
    return class_objects[static_cast<int>(c)] = make_class(spec_of(c));
}

namespace {

// The class, with a __reduce__ that names the module's reconstructor: "pyo3_runtime" is no
// importable module, so pickling by class reference would fail in every other process.
PyObject* new_panic_exception_type() {
    PyObject* type = PyErr_NewException("pyo3_runtime.PanicException", PyExc_BaseException, nullptr);
    if (!type) return nullptr;
    PyObject* reduce = PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(type), &panic_reduce_def);
    if (!reduce || PyObject_SetAttrString(type, "__reduce__", reduce) < 0) {
        Py_XDECREF(reduce);
        Py_DECREF(type);
        return nullptr;
    }
    Py_DECREF(reduce);
    return type;
}

}  // namespace

PyObject* panic_exception_type() {
    // Created once per process and deliberately kept alive for its whole life.
    static PyObject* type = new_panic_exception_type();
    return type;
}

std::atomic<void**>& numpy_table() noexcept {
    static std::atomic<void**> table{nullptr};
    return table;
}

}  // namespace veltrix::py
