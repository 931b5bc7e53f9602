// The module's state, in one place: its class objects, the internal-error type and the NumPy
// function table, each created on first use and kept for the life of the process, and the
// routines through which the binding files contribute classes and members.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>

namespace veltrix::py {

// The classes of the module. `none` owns the module-level functions.
enum class Class { none, array, array_iter, generator, ball_tree, kd_tree, vp_tree, slice_container };

// The type name a class is created with ("builtins.Array"), and its Python name ("Array");
// nullptr for Class::none.
constexpr const char* qualified_name(Class c) noexcept {
    constexpr const char* names[] = {nullptr,           "builtins.Array",   "builtins.PyArrayIter",
                                     "builtins.Generator", "builtins.BallTree", "builtins.KDTree",
                                     "builtins.VPTree", "builtins.PySliceContainer"};
    return names[static_cast<int>(c)];
}
constexpr const char* class_name(Class c) noexcept {
    return c == Class::none ? nullptr : qualified_name(c) + 9;  // past "builtins."
}

// The class object, created from its slot table the first time it is asked for (inline: the
// operators look the Array class up on every call).
extern PyTypeObject* class_objects[];
PyTypeObject* create_type_object(Class c);
inline PyTypeObject* type_object(Class c) {
    PyTypeObject* t = class_objects[static_cast<int>(c)];
    return t ? t : create_type_object(c);
}

// The internal-error exception type (a BaseException subclass, no attribute of the module).
PyObject* panic_exception_type();

// NumPy's C function table: null until the first call that needs NumPy locates it (numpy.hpp).
std::atomic<void**>& numpy_table() noexcept;

// Flags of every class: no subclassing from Python, no attribute dict, no weak references.
inline constexpr unsigned int class_flags = Py_TPFLAGS_DEFAULT
#ifdef Py_TPFLAGS_IMMUTABLETYPE
                                            | Py_TPFLAGS_IMMUTABLETYPE
#endif
    ;

// ---------------------------------------------------------------------------------------------
// What each binding file supplies

PyType_Spec& array_spec();            // array_type.cpp
PyType_Spec& array_iter_spec();       // array_index.cpp
PyType_Spec& generator_spec();        // random.cpp
PyType_Spec& tree_spec(Class tree);   // spatial.cpp: ball_tree, kd_tree, vp_tree
PyType_Spec& slice_container_spec();  // numpy.cpp

// Top-level functions in registration order (array_type.cpp), NULL-terminated.
PyMethodDef* module_array_functions();

// One per submodule, each adding its members to the fresh submodule in order.
void register_linalg(PyObject* m);
void register_stats(PyObject* m);
void register_random(PyObject* m);
void register_spatial(PyObject* m);
void register_sharded(PyObject* m);  // sharded.cpp, called by register_spatial

// Private members of the top-level module (not in __all__), frame.cpp.
void register_private(PyObject* m);

}  // namespace veltrix::py
