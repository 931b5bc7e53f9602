// Array arithmetic: the four operators with their reflected forms, unary minus, and the
// element-wise mathematical methods.
#include "ops/elementwise.hpp"
#include "python/array_methods.hpp"
#include "python/array_type.hpp"

namespace veltrix::py {

namespace {

template <Transform T>
Ref transform_impl(PyObject* self) {
    ArrayObject* o = as_array(self);
    SharedBorrow guard(o->borrow);
    return new_array(transform(o->value, T));
}

constexpr FnSpec clip_s{"clip", "Array", "clip($self, min, max)\n--\n\n", {"min", "max"}, 2, 2};

Ref clip_impl(PyObject* self, const Args& a) {
    const double lo = a.f64(0);
    const double hi = a.f64(1);
    ArrayObject* o = as_array(self);
    SharedBorrow guard(o->borrow);
    return new_array(clip(o->value, lo, hi));
}

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

PyMethodDef array_sin_def = VELTRIX_NOARGS("sin", "sin($self)\n--\n\n", transform_impl<Transform::sin>);
PyMethodDef array_cos_def = VELTRIX_NOARGS("cos", "cos($self)\n--\n\n", transform_impl<Transform::cos>);
PyMethodDef array_exp_def = VELTRIX_NOARGS("exp", "exp($self)\n--\n\n", transform_impl<Transform::exp>);
PyMethodDef array_sqrt_def = VELTRIX_NOARGS("sqrt", "sqrt($self)\n--\n\n", transform_impl<Transform::sqrt>);
PyMethodDef array_clip_def = VELTRIX_METHOD(clip_s, clip_impl);
PyMethodDef array_tan_def = VELTRIX_NOARGS("tan", "tan($self)\n--\n\n", transform_impl<Transform::tan>);
PyMethodDef array_arcsin_def =
    VELTRIX_NOARGS("arcsin", "arcsin($self)\n--\n\n", transform_impl<Transform::arcsin>);
PyMethodDef array_arccos_def =
    VELTRIX_NOARGS("arccos", "arccos($self)\n--\n\n", transform_impl<Transform::arccos>);
PyMethodDef array_arctan_def =
    VELTRIX_NOARGS("arctan", "arctan($self)\n--\n\n", transform_impl<Transform::arctan>);
PyMethodDef array_log_def = VELTRIX_NOARGS("log", "log($self)\n--\n\n", transform_impl<Transform::log>);
PyMethodDef array_abs_def = VELTRIX_NOARGS("abs", "abs($self)\n--\n\n", transform_impl<Transform::abs>);
PyMethodDef array_sign_def = VELTRIX_NOARGS("sign", "sign($self)\n--\n\n", transform_impl<Transform::sign>);

PyObject* array_add(PyObject* a, PyObject* b) { return binary_slot<BinaryOp::add>(a, b); }
PyObject* array_subtract(PyObject* a, PyObject* b) { return binary_slot<BinaryOp::subtract>(a, b); }
PyObject* array_multiply(PyObject* a, PyObject* b) { return binary_slot<BinaryOp::multiply>(a, b); }
PyObject* array_true_divide(PyObject* a, PyObject* b) { return binary_slot<BinaryOp::divide>(a, b); }

PyObject* array_negative(PyObject* a) {
    return guarded([&] { return transform_impl<Transform::negate>(a); });
}

}  // namespace veltrix::py
