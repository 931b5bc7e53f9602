// veltrix.stats and the statistics methods of Array: each borrows its arrays, calls
// one core routine and wraps the result. The methods compute exactly what the
// function of the same name computes for `a`.
#include <variant>

#include "python/array_methods.hpp"
#include "python/array_type.hpp"
#include "stats/stats.hpp"

namespace veltrix::py {

namespace {

using FloatStat = f64 (*)(const Array64&);
using BoolStat = bool (*)(const Array64&);

template <FloatStat F>
Ref float_fn(PyObject*, const Args& args) {
    return to_py(F(args.array(0).get()));
}
template <BoolStat F>
Ref bool_fn(PyObject*, const Args& args) {
    return to_py_bool(F(args.array(0).get()));
}
template <FloatStat F>
Ref float_method(PyObject* self) {
    SharedBorrow b(as_array(self)->borrow);
    return to_py(F(as_array(self)->value));
}
template <BoolStat F>
Ref bool_method(PyObject* self) {
    SharedBorrow b(as_array(self)->borrow);
    return to_py_bool(F(as_array(self)->value));
}

// A scalar q is one probability; an Array q supplies its flat data as the list.
Ref quantile_of(const Array64& a, const ArrayOrScalar& q) {
    if (const double* p = std::get_if<double>(&q)) return to_py(stats::quantile(a, *p));
    return new_array(stats::quantiles(a, std::get<Array64>(q).data));
}

Ref quantile_fn(PyObject*, const Args& args) {
    const ArrayRef a = args.array(0);
    return quantile_of(a.get(), args.array_or_scalar(1));
}

Ref quantile_method(PyObject* self, const Args& args) {
    SharedBorrow b(as_array(self)->borrow);
    return quantile_of(as_array(self)->value, args.array_or_scalar(0));
}

template <f64 (*F)(const Array64&, const Array64&)>
Ref pair_fn(PyObject*, const Args& args) {
    const ArrayRef a = args.array(0);
    const ArrayRef b = args.array(1);
    return to_py(F(a.get(), b.get()));
}

constexpr FnSpec sum_s{"sum", nullptr, "sum(a)\n--\n\n", {"a"}, 1, 1};
constexpr FnSpec mean_s{"mean", nullptr, "mean(a)\n--\n\n", {"a"}, 1, 1};
constexpr FnSpec var_s{"var", nullptr, "var(a)\n--\n\n", {"a"}, 1, 1};
constexpr FnSpec std_s{"std", nullptr, "std(a)\n--\n\n", {"a"}, 1, 1};
constexpr FnSpec median_s{"median", nullptr, "median(a)\n--\n\n", {"a"}, 1, 1};
constexpr FnSpec quantile_s{"quantile", nullptr, "quantile(a, q)\n--\n\n", {"a", "q"}, 2, 2};
constexpr FnSpec any_s{"any", nullptr, "any(a)\n--\n\n", {"a"}, 1, 1};
constexpr FnSpec all_s{"all", nullptr, "all(a)\n--\n\n", {"a"}, 1, 1};
constexpr FnSpec pearson_s{"pearson", nullptr, "pearson(a, b)\n--\n\n", {"a", "b"}, 2, 2};
constexpr FnSpec spearman_s{"spearman", nullptr, "spearman(a, b)\n--\n\n", {"a", "b"}, 2, 2};
constexpr FnSpec quantile_m{"quantile", "Array", "quantile($self, q)\n--\n\n", {"q"}, 1, 1};

// The function behind the Python name `std`.
Ref std_dev(PyObject* self, const Args& args) { return float_fn<stats::std>(self, args); }

PyMethodDef stats_functions[] = {
    VELTRIX_FUNCTION(sum_s, float_fn<stats::sum>),
    VELTRIX_FUNCTION(mean_s, float_fn<stats::mean>),
    VELTRIX_FUNCTION(var_s, float_fn<stats::var>),
    VELTRIX_FUNCTION(std_s, std_dev),
    VELTRIX_FUNCTION(median_s, float_fn<stats::median>),
    VELTRIX_FUNCTION(quantile_s, quantile_fn),
    VELTRIX_FUNCTION(any_s, bool_fn<stats::any>),
    VELTRIX_FUNCTION(all_s, bool_fn<stats::all>),
    VELTRIX_FUNCTION(pearson_s, pair_fn<stats::pearson>),
    VELTRIX_FUNCTION(spearman_s, pair_fn<stats::spearman>),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMethodDef array_sum_def = VELTRIX_NOARGS("sum", "sum($self)\n--\n\n", float_method<stats::sum>);
PyMethodDef array_mean_def = VELTRIX_NOARGS("mean", "mean($self)\n--\n\n", float_method<stats::mean>);
PyMethodDef array_var_def = VELTRIX_NOARGS("var", "var($self)\n--\n\n", float_method<stats::var>);
PyMethodDef array_std_def = VELTRIX_NOARGS("std", "std($self)\n--\n\n", float_method<stats::std>);
PyMethodDef array_median_def =
    VELTRIX_NOARGS("median", "median($self)\n--\n\n", float_method<stats::median>);
PyMethodDef array_quantile_def = VELTRIX_METHOD(quantile_m, quantile_method);
PyMethodDef array_any_def = VELTRIX_NOARGS("any", "any($self)\n--\n\n", bool_method<stats::any>);
PyMethodDef array_all_def = VELTRIX_NOARGS("all", "all($self)\n--\n\n", bool_method<stats::all>);

void register_stats(PyObject* module) { add_functions(module, stats_functions); }

}  // namespace veltrix::py
