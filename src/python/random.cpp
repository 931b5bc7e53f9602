#include "python/stub.hpp"

namespace veltrix::py {
PyTypeObject* generator_type() {
    static PyTypeObject* t = stub::stub_class("builtins.Generator");
    return t;
}
void register_random(PyObject* m) { add_member(m, "Generator", reinterpret_cast<PyObject*>(generator_type())); }
}  // namespace veltrix::py
