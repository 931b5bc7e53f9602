// veltrix.linalg, the linear-algebra members of Array and veltrix.diag.
#include <utility>

#include "array/linalg.hpp"
#include "array/solvers.hpp"
#include "python/array_methods.hpp"
#include "python/array_type.hpp"
#include "python/frame.hpp"

namespace veltrix::py {

namespace {

constexpr const char* diagonal_needs_matrix = "diagonal requires a 2D array";

ArrayRef self_ref(PyObject* self) { return ArrayRef(reinterpret_cast<ArrayObject*>(self)); }

Ref pair(Array64&& first, Array64&& second) {
    Ref a = new_array(std::move(first));
    Ref b = new_array(std::move(second));
    return check_new(PyTuple_Pack(2, a.get(), b.get()));
}

// None or an omitted k means the main diagonal.
i64 offset_arg(const Args& a, std::size_t i) { return a.given(i) ? a.i64_(i) : 0; }

Ref diagonal_of(const Array64& m, i64 k) {
    if (m.ndim() != 2) raise(PyExc_ValueError, diagonal_needs_matrix);
    return new_array(diagonal(m, k));
}

// ---------------------------------------------------------------------------------------------
// Implementations shared by the functions and the methods

Ref matmul_impl(PyObject*, const Args& a) {
    ArrayRef x = a.array(0);
    ArrayRef y = a.array(1);
    return new_array(matmul(x.get(), y.get()));
}

Ref transpose_impl(PyObject*, const Args& a) { return new_array(transpose(a.array(0).get())); }

Ref cholesky_impl(PyObject*, const Args& a) { return new_array(unwrap(cholesky(a.array(0).get()))); }

Ref qr_impl(PyObject*, const Args& a) {
    QrResult f = unwrap(qr(a.array(0).get()));
    return pair(std::move(f.q), std::move(f.r));
}

Ref eig_pair(Result<EigResult>&& r) {
    EigResult e = unwrap(std::move(r));
    return pair(std::move(e.values), std::move(e.vectors));
}

Ref eig_impl(PyObject*, const Args& a) { return eig_pair(eig_with_params(a.array(0).get(), 1000, 1e-10)); }

Ref eig_with_params_impl(PyObject*, const Args& a) {
    ArrayRef m = a.array(0);
    const u64 max_iter = a[1] ? a.index(1) : 1000;
    const double tol = a[2] ? a.f64(2) : 1e-10;
    return eig_pair(eig_with_params(m.get(), max_iter, tol));
}

Ref eigvals_impl(PyObject*, const Args& a) { return new_array(unwrap(eigvals(a.array(0).get()))); }

Ref diagonal_impl(PyObject*, const Args& a) {
    ArrayRef m = a.array(0);
    const i64 k = offset_arg(a, 1);
    return diagonal_of(m.get(), k);
}

Ref outer_impl(PyObject*, const Args& a) {
    Array64 x = vec_or_array_to_array(a.vec_or_array(0));
    Array64 y = vec_or_array_to_array(a.vec_or_array(1));
    return new_array(outer(x, y));
}

Ref diag_impl(PyObject*, const Args& a) {
    Array64 v = vec_or_array_to_array(a.vec_or_array(0));
    const i64 k = offset_arg(a, 1);
    return new_array(from_diag(v, k));
}

Ref method_matmul_impl(PyObject* self, const Args& a) {
    ArrayRef x = self_ref(self);
    ArrayRef y = a.array(0);
    return new_array(matmul(x.get(), y.get()));
}

Ref method_transpose_impl(PyObject* self) { return new_array(transpose(self_ref(self).get())); }

Ref method_diagonal_impl(PyObject* self, const Args& a) {
    ArrayRef m = self_ref(self);
    const i64 k = offset_arg(a, 0);
    return diagonal_of(m.get(), k);
}

// ---------------------------------------------------------------------------------------------
// Reproducible solvers: attributes of the submodule, outside its __all__.

Ref eigh_impl(const Array64& a) {
    EighResult r = unwrap(eigh(a));
    return pair(std::move(r.values), std::move(r.vectors));
}
Ref eigvalsh_impl(const Array64& a) { return new_array(unwrap(eigvalsh(a))); }
Ref solve_impl(const Array64& a, const Array64& b) { return new_array(unwrap(solve(a, b))); }
Ref lstsq_impl(const Array64& a, const Array64& b) { return new_array(unwrap(lstsq(a, b))); }
Ref inv_impl(const Array64& a) { return new_array(unwrap(inv(a))); }
Ref det_impl(const Array64& a) { return to_py(unwrap(det(a))); }

constexpr auto eigh_sig = signature("eigh", param<ArrayArg>("a"));
constexpr auto eigvalsh_sig = signature("eigvalsh", param<ArrayArg>("a"));
constexpr auto solve_sig = signature("solve", param<ArrayArg>("a"), param<ArrayArg>("b"));
constexpr auto lstsq_sig = signature("lstsq", param<ArrayArg>("a"), param<ArrayArg>("b"));
constexpr auto inv_sig = signature("inv", param<ArrayArg>("a"));
constexpr auto det_sig = signature("det", param<ArrayArg>("a"));

// ---------------------------------------------------------------------------------------------
// Signatures

constexpr FnSpec matmul_f{"matmul", nullptr, "matmul(a, b)\n--\n\n", {"a", "b"}, 2, 2};
constexpr FnSpec dot_f{"dot", nullptr, "dot(a, b)\n--\n\n", {"a", "b"}, 2, 2};
constexpr FnSpec transpose_f{"transpose", nullptr, "transpose(a)\n--\n\n", {"a"}, 1, 1};
constexpr FnSpec cholesky_f{"cholesky", nullptr, "cholesky(a)\n--\n\n", {"a"}, 1, 1};
constexpr FnSpec qr_f{"qr", nullptr, "qr(a)\n--\n\n", {"a"}, 1, 1};
constexpr FnSpec eig_f{"eig", nullptr, "eig(a)\n--\n\n", {"a"}, 1, 1};
constexpr FnSpec eig_with_params_f{"eig_with_params", nullptr,
                                   "eig_with_params(a, max_iter=1000, tol=1e-10)\n--\n\n",
                                   {"a", "max_iter", "tol"}, 3, 1};
constexpr FnSpec eigvals_f{"eigvals", nullptr, "eigvals(a)\n--\n\n", {"a"}, 1, 1};
constexpr FnSpec diagonal_f{"diagonal", nullptr, "diagonal(a, k=None)\n--\n\n", {"a", "k"}, 2, 1};
constexpr FnSpec outer_f{"outer", nullptr, "outer(a, b)\n--\n\n", {"a", "b"}, 2, 2};
constexpr FnSpec diag_f{"diag", nullptr, "diag(v, k=None)\n--\n\n", {"v", "k"}, 2, 1};

constexpr FnSpec diag_s{"diag", "Array", "diag(v, k=None)\n--\n\n", {"v", "k"}, 2, 1};
constexpr FnSpec outer_s{"outer", "Array", "outer(a, b)\n--\n\n", {"a", "b"}, 2, 2};
constexpr FnSpec diagonal_m{"diagonal", "Array", "diagonal($self, k=None)\n--\n\n", {"k"}, 1, 0};
constexpr FnSpec matmul_m{"matmul", "Array", "matmul($self, other)\n--\n\n", {"other"}, 1, 1};
constexpr FnSpec dot_m{"dot", "Array", "dot($self, other)\n--\n\n", {"other"}, 1, 1};

PyMethodDef linalg_functions[] = {
    VELTRIX_FUNCTION(matmul_f, matmul_impl),
    VELTRIX_FUNCTION(dot_f, matmul_impl),
    VELTRIX_FUNCTION(transpose_f, transpose_impl),
    VELTRIX_FUNCTION(cholesky_f, cholesky_impl),
    VELTRIX_FUNCTION(qr_f, qr_impl),
    VELTRIX_FUNCTION(eig_f, eig_impl),
    VELTRIX_FUNCTION(eig_with_params_f, eig_with_params_impl),
    VELTRIX_FUNCTION(eigvals_f, eigvals_impl),
    VELTRIX_FUNCTION(diagonal_f, diagonal_impl),
    VELTRIX_FUNCTION(outer_f, outer_impl),
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef solver_functions[] = {
    def<eigh_sig, eigh_impl>(),
    def<eigvalsh_sig, eigvalsh_impl>(),
    def<solve_sig, solve_impl>(),
    def<lstsq_sig, lstsq_impl>(),
    def<inv_sig, inv_impl>(),
    def<det_sig, det_impl>(),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMethodDef array_diag_def = VELTRIX_STATIC(diag_s, diag_impl);
PyMethodDef array_outer_def = VELTRIX_STATIC(outer_s, outer_impl);
PyMethodDef array_diagonal_def = VELTRIX_METHOD(diagonal_m, method_diagonal_impl);
PyMethodDef array_matmul_def = VELTRIX_METHOD(matmul_m, method_matmul_impl);
PyMethodDef array_dot_def = VELTRIX_METHOD(dot_m, method_matmul_impl);
PyMethodDef array_transpose_def =
    VELTRIX_NOARGS("transpose", "transpose($self)\n--\n\n", method_transpose_impl);
PyMethodDef array_t_def = VELTRIX_NOARGS("t", "t($self)\n--\n\n", method_transpose_impl);
PyMethodDef module_diag_def = VELTRIX_FUNCTION(diag_f, diag_impl);

PyObject* array_matmul_operator(PyObject* a, PyObject* b) {
    // Only Array @ Array; anything else lets the interpreter report the operand types.
    if (!is_array(a) || !is_array(b)) Py_RETURN_NOTIMPLEMENTED;
    return guarded([&] {
        ArrayRef x = self_ref(a);
        ArrayRef y = self_ref(b);
        return new_array(matmul(x.get(), y.get()));
    });
}

void register_linalg(PyObject* module) {
    add_functions(module, linalg_functions);
    add_attributes(module, solver_functions);
}

}  // namespace veltrix::py
