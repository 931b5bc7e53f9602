#include "python/stub.hpp"

namespace veltrix::py {
PyTypeObject* ball_tree_type() {
    static PyTypeObject* t = stub::stub_class("builtins.BallTree");
    return t;
}
PyTypeObject* kd_tree_type() {
    static PyTypeObject* t = stub::stub_class("builtins.KDTree");
    return t;
}
PyTypeObject* vp_tree_type() {
    static PyTypeObject* t = stub::stub_class("builtins.VPTree");
    return t;
}
void register_spatial(PyObject* m) {
    add_member(m, "BallTree", reinterpret_cast<PyObject*>(ball_tree_type()));
    add_member(m, "KDTree", reinterpret_cast<PyObject*>(kd_tree_type()));
    add_member(m, "VPTree", reinterpret_cast<PyObject*>(vp_tree_type()));
}
}  // namespace veltrix::py
