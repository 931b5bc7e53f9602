// veltrix.stats and the statistics methods of Array: each borrows its arrays, calls
// one core routine and wraps the result. The methods compute exactly what the
// function of the same name computes for `a`.
#include <variant>

#include "python/array_methods.hpp"
#include "python/frame.hpp"
#include "stats/stats.hpp"

namespace veltrix::py {

namespace {

// One statistic of the arrays as a Python float (or bool, for any and all).
template <auto F>
constexpr auto stat = [](const auto&... a) {
    if constexpr (std::is_same_v<decltype(F(a...)), bool>) return to_py_bool(F(a...));
    else return to_py(F(a...));
};

// A scalar q is one probability; an Array q supplies its flat data as the list.
Ref quantile_impl(const Array64& a, ArrayOrScalar q) {
    if (const double* p = std::get_if<double>(&q)) return to_py(stats::quantile(a, *p));
    return new_array(stats::quantiles(a, std::get<Array64>(q).data));
}

constexpr auto of_pair(const char* name) { return signature(name, param<ArrayArg>("a"), param<ArrayArg>("b")); }

constexpr auto sum_f = of_a("sum"), mean_f = of_a("mean"), var_f = of_a("var"), std_f = of_a("std"),
               median_f = of_a("median"), any_f = of_a("any"), all_f = of_a("all");
constexpr auto quantile_f = signature("quantile", param<ArrayArg>("a"), param<ArrayOrScalarArg>("q"));
constexpr auto pearson_f = of_pair("pearson"), spearman_f = of_pair("spearman");

constexpr auto sum_m = array_method("sum"), mean_m = array_method("mean"), var_m = array_method("var"),
               std_m = array_method("std"), median_m = array_method("median"), any_m = array_method("any"),
               all_m = array_method("all");
constexpr auto quantile_m = signature("quantile", shared_self<Array64>, param<ArrayOrScalarArg>("q"));

PyMethodDef stats_functions[] = {
    def<sum_f, stat<stats::sum>>(),
    def<mean_f, stat<stats::mean>>(),
    def<var_f, stat<stats::var>>(),
    def<std_f, stat<stats::std>>(),
    def<median_f, stat<stats::median>>(),
    def<quantile_f, quantile_impl>(),
    def<any_f, stat<stats::any>>(),
    def<all_f, stat<stats::all>>(),
    def<pearson_f, stat<stats::pearson>>(),
    def<spearman_f, stat<stats::spearman>>(),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMethodDef array_sum_def = def<sum_m, stat<stats::sum>, Class::array>();
PyMethodDef array_mean_def = def<mean_m, stat<stats::mean>, Class::array>();
PyMethodDef array_var_def = def<var_m, stat<stats::var>, Class::array>();
PyMethodDef array_std_def = def<std_m, stat<stats::std>, Class::array>();
PyMethodDef array_median_def = def<median_m, stat<stats::median>, Class::array>();
PyMethodDef array_quantile_def = def<quantile_m, quantile_impl, Class::array>();
PyMethodDef array_any_def = def<any_m, stat<stats::any>, Class::array>();
PyMethodDef array_all_def = def<all_m, stat<stats::all>, Class::array>();

void register_stats(PyObject* module) { add_functions(module, stats_functions); }

}  // namespace veltrix::py
