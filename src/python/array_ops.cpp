// Array arithmetic: the four operators with their reflected forms, unary minus, and the
// element-wise mathematical methods.
#include "ops/elementwise.hpp"
#include "python/array_methods.hpp"
#include "python/frame.hpp"

namespace veltrix::py {

namespace {

template <Transform T>
Ref transform_impl(const Array64& a) {
    return new_array(transform(a, T));
}

Ref clip_impl(double lo, double hi, const Array64& a) { return new_array(clip(a, lo, hi)); }

constexpr auto sin_m = array_method("sin"), cos_m = array_method("cos"), exp_m = array_method("exp"),
               sqrt_m = array_method("sqrt"), tan_m = array_method("tan"), arcsin_m = array_method("arcsin"),
               arccos_m = array_method("arccos"), arctan_m = array_method("arctan"), log_m = array_method("log"),
               abs_m = array_method("abs"), sign_m = array_method("sign");
// Both bounds convert before the array is borrowed.
constexpr auto clip_m = signature("clip", param<F64>("min"), param<F64>("max"), shared_self<Array64>);

// Forward form first (an Array on the left, the right operand an Array or a scalar), then the
// reflected form (a scalar on the left of an Array); anything else is left to the interpreter.
// An Array operand is read under a shared borrow instead of being copied: the result is a
// fresh buffer either way.
template <BinaryOp Op>
PyObject* binary_slot(PyObject* l, PyObject* r) noexcept {
    return guarded([&]() -> Ref {
        if (is_array(l)) {
            ArrayObject* left = as_array(l);
            SharedBorrow guard(left->borrow);
            if (is_array(r)) {
                ArrayObject* right = as_array(r);
                // A mutably borrowed operand does not convert, and an Array is never a float.
                if (right->borrow.load() >= 0) {
                    SharedBorrow right_guard(right->borrow);
                    return new_array(binary_op_copy(left->value, right->value, Op));
                }
            } else if (std::optional<double> s = to_f64(r)) {
                return new_array(scalar_op_copy(left->value, *s, Op));
            } else {
                PyErr_Clear();
            }
        } else if (is_array(r)) {
            if (std::optional<double> s = to_f64(l)) {
                ArrayObject* right = as_array(r);
                SharedBorrow guard(right->borrow);
                return new_array(scalar_left_op_copy(*s, right->value, Op));
            }
            PyErr_Clear();
        }
        return Ref::borrow(Py_NotImplemented);
    });
}

}  // namespace

PyMethodDef array_sin_def = def<sin_m, transform_impl<Transform::sin>, Class::array>();
PyMethodDef array_cos_def = def<cos_m, transform_impl<Transform::cos>, Class::array>();
PyMethodDef array_exp_def = def<exp_m, transform_impl<Transform::exp>, Class::array>();
PyMethodDef array_sqrt_def = def<sqrt_m, transform_impl<Transform::sqrt>, Class::array>();
PyMethodDef array_clip_def = def<clip_m, clip_impl, Class::array>();
PyMethodDef array_tan_def = def<tan_m, transform_impl<Transform::tan>, Class::array>();
PyMethodDef array_arcsin_def = def<arcsin_m, transform_impl<Transform::arcsin>, Class::array>();
PyMethodDef array_arccos_def = def<arccos_m, transform_impl<Transform::arccos>, Class::array>();
PyMethodDef array_arctan_def = def<arctan_m, transform_impl<Transform::arctan>, Class::array>();
PyMethodDef array_log_def = def<log_m, transform_impl<Transform::log>, Class::array>();
PyMethodDef array_abs_def = def<abs_m, transform_impl<Transform::abs>, Class::array>();
PyMethodDef array_sign_def = def<sign_m, transform_impl<Transform::sign>, Class::array>();

PyObject* array_add(PyObject* a, PyObject* b) { return binary_slot<BinaryOp::add>(a, b); }
PyObject* array_subtract(PyObject* a, PyObject* b) { return binary_slot<BinaryOp::subtract>(a, b); }
PyObject* array_multiply(PyObject* a, PyObject* b) { return binary_slot<BinaryOp::multiply>(a, b); }
PyObject* array_true_divide(PyObject* a, PyObject* b) { return binary_slot<BinaryOp::divide>(a, b); }

PyObject* array_negative(PyObject* a) {
    return guarded([&] { return transform_impl<Transform::negate>(ArrayRef(as_array(a)).get()); });
}

}  // namespace veltrix::py
