// The module's state: class objects, the internal-error type and the NumPy function table.
#include "python/state.hpp"

#include "python/binding.hpp"

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

PyObject* panic_exception_type() {
    // Created once per process and deliberately kept alive for its whole life.
    static PyObject* type =
        PyErr_NewException("pyo3_runtime.PanicException", PyExc_BaseException, nullptr);
    return type;
}

std::atomic<void**>& numpy_table() noexcept {
    static std::atomic<void**> table{nullptr};
    return table;
}

}  // namespace veltrix::py
