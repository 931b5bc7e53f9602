#pragma once

#include <string>

#include "python/binding.hpp"

namespace veltrix::py {

// Flags of every class: no subclassing from Python, no attribute dict, no weak references.
inline constexpr unsigned int class_flags = Py_TPFLAGS_DEFAULT
#ifdef Py_TPFLAGS_IMMUTABLETYPE
                                            | Py_TPFLAGS_IMMUTABLETYPE
#endif
    ;

ArrayObject* as_array(PyObject* o) noexcept;

// Appends the shortest round-trip text of x, as Array's repr writes its elements.
void append_f64(std::string& out, double x);

// zeros, ones, full, asarray, eye, diag, column_stack, in registration order.
PyMethodDef* module_array_functions();

}  // namespace veltrix::py
