// veltrix.linalg, the linear-algebra members of Array and veltrix.diag.
#include <utility>

#include "array/linalg.hpp"
#include "array/solvers.hpp"
#include "python/array_methods.hpp"
#include "python/frame.hpp"
#include "python/messages.hpp"

namespace veltrix::py {

namespace {

Ref pair(Array64&& first, Array64&& second) {
    return tuple_of(new_array(std::move(first)), new_array(std::move(second)));
}

// ---------------------------------------------------------------------------------------------
// Implementations shared by the functions and the methods. Products and factorisations stop
// on Ctrl-C: the core looks for it between blocks.

Ref matmul_impl(const Array64& x, const Array64& y) { return new_array(interruptible([&] { return matmul(x, y); })); }
Ref transpose_impl(const Array64& a) { return new_array(transpose(a)); }
Ref cholesky_impl(const Array64& a) { return new_array(unwrap(interruptible([&] { return cholesky(a); }))); }

Ref qr_impl(const Array64& a) {
    QrResult f = unwrap(interruptible([&] { return qr(a); }));
    return pair(std::move(f.q), std::move(f.r));
}

Ref eig_with_params_impl(const Array64& a, u64 max_iter, double tol) {
    EigResult e = unwrap(interruptible([&] { return eig_with_params(a, max_iter, tol); }));
    return pair(std::move(e.values), std::move(e.vectors));
}
Ref eig_impl(const Array64& a) { return eig_with_params_impl(a, 1000, 1e-10); }
Ref eigvals_impl(const Array64& a) { return new_array(unwrap(interruptible([&] { return eigvals(a); }))); }

// None or an omitted k means the main diagonal.
Ref diagonal_impl(const Array64& m, std::optional<i64> k) {
    if (m.ndim() != 2) raise(PyExc_ValueError, msg::diagonal_needs_matrix);
    return new_array(diagonal(m, k.value_or(0)));
}

Ref outer_impl(const Array64& a, const Array64& b) { return new_array(outer(a, b)); }
Ref diag_impl(const Array64& v, std::optional<i64> k) { return new_array(from_diag(v, k.value_or(0))); }

// ---------------------------------------------------------------------------------------------
// Reproducible solvers: attributes of the submodule, outside its __all__.

Ref eigh_impl(const Array64& a) {
    EighResult r = unwrap(interruptible([&] { return eigh(a); }));
    return pair(std::move(r.values), std::move(r.vectors));
}
Ref eigvalsh_impl(const Array64& a) { return new_array(unwrap(interruptible([&] { return eigvalsh(a); }))); }
Ref solve_impl(const Array64& a, const Array64& b) {
    return new_array(unwrap(interruptible([&] { return solve(a, b); })));
}
Ref lstsq_impl(const Array64& a, const Array64& b) {
    return new_array(unwrap(interruptible([&] { return lstsq(a, b); })));
}
Ref inv_impl(const Array64& a) { return new_array(unwrap(interruptible([&] { return inv(a); }))); }
Ref det_impl(const Array64& a) { return to_py(unwrap(interruptible([&] { return det(a); }))); }

// ---------------------------------------------------------------------------------------------
// Signatures

constexpr auto of_ab(const char* name) { return signature(name, param<ArrayArg>("a"), param<ArrayArg>("b")); }

constexpr auto matmul_f = of_ab("matmul"), dot_f = of_ab("dot");
constexpr auto transpose_f = of_a("transpose"), cholesky_f = of_a("cholesky"), qr_f = of_a("qr"),
               eig_f = of_a("eig"), eigvals_f = of_a("eigvals");
constexpr auto eig_with_params_f = signature("eig_with_params", param<ArrayArg>("a"),
                                             strict_param<Index>("max_iter", 1000), strict_param<F64>("tol", 1e-10));
constexpr auto diagonal_f = signature("diagonal", param<ArrayArg>("a"), optional_param<I64>("k"));
constexpr auto outer_s = signature("outer", param<ArrayOrVec>("a"), param<ArrayOrVec>("b"));
constexpr auto diag_s = signature("diag", param<ArrayOrVec>("v"), optional_param<I64>("k"));

// The solvers take an Array, a NumPy array or nested sequences for each argument.
constexpr auto numbers_a(const char* name) { return signature(name, param<NumbersArg>("a")); }
constexpr auto numbers_ab(const char* name) {
    return signature(name, param<NumbersArg>("a"), param<NumbersArg>("b"));
}
constexpr auto eigh_sig = numbers_a("eigh"), eigvalsh_sig = numbers_a("eigvalsh"), inv_sig = numbers_a("inv"),
               det_sig = numbers_a("det");
constexpr auto solve_sig = numbers_ab("solve"), lstsq_sig = numbers_ab("lstsq");

constexpr auto diagonal_m = signature("diagonal", shared_self<Array64>, optional_param<I64>("k"));
constexpr auto matmul_m = signature("matmul", shared_self<Array64>, param<ArrayArg>("other"));
constexpr auto dot_m = signature("dot", shared_self<Array64>, param<ArrayArg>("other"));
constexpr auto transpose_m = array_method("transpose"), t_m = array_method("t");

PyMethodDef linalg_functions[] = {
    def<matmul_f, matmul_impl>(),
    def<dot_f, matmul_impl>(),
    def<transpose_f, transpose_impl>(),
    def<cholesky_f, cholesky_impl>(),
    def<qr_f, qr_impl>(),
    def<eig_f, eig_impl>(),
    def<eig_with_params_f, eig_with_params_impl>(),
    def<eigvals_f, eigvals_impl>(),
    def<diagonal_f, diagonal_impl>(),
    def<outer_s, outer_impl>(),
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

PyMethodDef array_diag_def = def<diag_s, diag_impl, Class::array>();
PyMethodDef array_outer_def = def<outer_s, outer_impl, Class::array>();
PyMethodDef array_diagonal_def = def<diagonal_m, diagonal_impl, Class::array>();
PyMethodDef array_matmul_def = def<matmul_m, matmul_impl, Class::array>();
PyMethodDef array_dot_def = def<dot_m, matmul_impl, Class::array>();
PyMethodDef array_transpose_def = def<transpose_m, transpose_impl, Class::array>();
PyMethodDef array_t_def = def<t_m, transpose_impl, Class::array>();
PyMethodDef module_diag_def = def<diag_s, diag_impl>();

PyObject* array_matmul_operator(PyObject* a, PyObject* b) {
    // Only Array @ Array; anything else lets the interpreter report the operand types.
    if (!is_array(a) || !is_array(b)) Py_RETURN_NOTIMPLEMENTED;
    return guarded([&] { return matmul_impl(ArrayRef(as_array(a)).get(), ArrayRef(as_array(b)).get()); });
}

void register_linalg(PyObject* module) {
    add_functions(module, linalg_functions);
    add_functions(module, solver_functions, false);
}

}  // namespace veltrix::py
