#pragma once

#include <string>

#include "python/binding.hpp"
#include "python/state.hpp"

namespace veltrix::py {

ArrayObject* as_array(PyObject* o) noexcept;

// Appends the shortest round-trip text of x, as Array's repr writes its elements.
void append_f64(std::string& out, double x);


}  // namespace veltrix::py
