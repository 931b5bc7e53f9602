// Objects that travel (travel.cpp): pickling and copying of every class, the NumPy array
// protocol of Array, and the jumped and spawned streams of Generator. Each class's method
// table lists the members it has; the reconstructors that pickle calls are private functions
// of the top-level module.
#pragma once

#include "python/binding.hpp"
#include "python/state.hpp"

namespace veltrix::py {

enum class Travel { reduce_ex, reduce, copy, deepcopy, array, array_function, jumped, spawn };

// Member `which` of class `c` (Array: reduce_ex, copy, deepcopy, array, array_function;
// Generator: reduce, copy, deepcopy, jumped, spawn; the trees: reduce_ex, copy, deepcopy).
PyMethodDef travel_method(Class c, Travel which);

// Adds _array_from_bytes, _generator_from_state and _tree_from_state, outside __all__.
void register_reconstructors(PyObject* module);

}  // namespace veltrix::py
