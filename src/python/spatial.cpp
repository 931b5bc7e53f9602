// veltrix.spatial: the KDTree, BallTree and VPTree classes, written once over the tree type.
#include <cmath>
#include <limits>
#include <string>
#include <tuple>
#include <utility>
#include <variant>
#include <vector>

#include "python/frame.hpp"
#include "python/messages.hpp"
#include "python/numpy.hpp"
#include "python/travel.hpp"
#include "random/generator.hpp"
#include "spatial/common/pairs.hpp"
#include "spatial/ball_tree/ball_tree.hpp"
#include "spatial/common/density.hpp"
#include "spatial/common/kernels.hpp"
#include "spatial/common/parallel.hpp"
#include "spatial/common/sample.hpp"
#include "spatial/common/state.hpp"
#include "spatial/kd_tree/kd_tree.hpp"
#include "spatial/vp_tree/vp_tree.hpp"

namespace veltrix::py {

namespace {

// ---------------------------------------------------------------------------------------------
// Option strings

using Metric = Choice<DistanceMetric, metric_from_name, msg::unknown_metric>;
using Kernel = Choice<KernelType, kernel_from_name, msg::unknown_kernel>;
using Selection = Choice<VantageSelection, selection_from_name, msg::unknown_selection>;
using CriterionKind = Choice<ApproxCriterion::Kind, criterion_from_name, msg::unknown_criterion>;

// The criterion named by `kind` with the parameters it needs.
ApproxCriterion make_criterion(ApproxCriterion::Kind kind, std::optional<u64> min_samples,
                               std::optional<f64> max_span) {
    using Kind = ApproxCriterion::Kind;
    const char* name = kind == Kind::MinSamples ? "min_samples" : kind == Kind::MaxSpan ? "max_span" : "combined";
    if ((kind == Kind::MinSamples || kind == Kind::Combined) && !min_samples)
        raise(PyExc_ValueError, msg::parameter_required("min_samples", name));
    if ((kind == Kind::MaxSpan || kind == Kind::Combined) && !max_span)
        raise(PyExc_ValueError, msg::parameter_required("max_span", name));
    switch (kind) {
        case Kind::MinSamples: return ApproxCriterion::with_min_samples(*min_samples);
        case Kind::MaxSpan: return ApproxCriterion::with_max_span(*max_span);
        case Kind::Combined: return ApproxCriterion::combined(*min_samples, *max_span);
        default: return ApproxCriterion::none();
    }
}

// ---------------------------------------------------------------------------------------------
// Queries

// A query argument as passed: an Array (borrowed), a number, or a sequence of numbers. An
// Array has no float conversion, and lists and tuples never have one.
struct QueryArg {
    std::optional<ArrayRef> array;
    std::vector<double> values;
    bool scalar = false;
};

// The value of an object with a float conversion; lists and tuples never have one.
std::optional<double> scalar(PyObject* o) {
    if (PyList_Check(o) || PyTuple_Check(o)) return std::nullopt;
    std::optional<double> x = to_f64(o);
    if (!x) PyErr_Clear();
    return x;
}

// False (and no pending error) when the object is none of the three.
bool read_query(PyObject* o, QueryArg& q) {
    if (is_array(o)) {
        q.array.emplace(as_array(o));
        return true;
    }
    if (const std::optional<double> x = scalar(o)) {
        q.values.assign(1, *x);
        q.scalar = true;
        return true;
    }
    if (std::optional<std::vector<double>> values = to_f64_vec(o)) {
        q.values = std::move(*values);
        return true;
    }
    PyErr_Clear();
    return false;
}

// The vector of query_knn and query_radius: any Array's elements in row-major order, a number
// or a sequence, of the tree's dimension.
std::vector<double> query_vector(PyObject* o, u64 dim) {
    QueryArg arg;
    if (!read_query(o, arg)) raise(PyExc_ValueError, msg::bad_query);
    if (arg.array) arg.values.assign((*arg.array)->data.begin(), (*arg.array)->data.end());
    if (arg.values.size() != dim) raise(PyExc_ValueError, msg::query_length(arg.values.size(), dim));
    return std::move(arg.values);
}

// The query rows of a density call as a matrix; nothing when the tree's own points are meant.
std::optional<Numbers> density_queries(std::optional<PyObject*> o, u64 dim) {
    if (!o) return std::nullopt;
    QueryArg arg;
    if (!read_query(*o, arg)) raise(PyExc_ValueError, msg::bad_queries);
    Numbers out;
    if (!arg.array) {
        // A number is one query of width 1, whatever the tree's dimension (the core asserts it).
        const u64 m = arg.values.size();
        if (!arg.scalar && m != dim) raise(PyExc_ValueError, msg::query_length(m, dim));
        out.owned = Array64(Shape::d2(1, m), Storage<f64>(arg.values.begin(), arg.values.end()));
        return out;
    }
    const Array64& a = arg.array->get();
    if (a.ndim() == 1) {
        if (a.shape[0] != dim) raise(PyExc_ValueError, msg::query_dimension(a.shape[0], dim));
        out.owned = Array64(Shape::d2(1, dim), a.data);
        return out;
    }
    if (a.ndim() != 2) raise(PyExc_ValueError, msg::queries_rank);
    if (a.shape[1] != dim) raise(PyExc_ValueError, msg::query_dimension(a.shape[1], dim));
    out.borrowed.emplace(std::move(*arg.array));
    return out;
}

// One query row gives a float, any other number of rows an Array.
Ref density_result(Array64&& d, u64 rows) {
    if (rows == 1) return to_py(d.data[0]);
    return new_array(std::move(d));
}

// ---------------------------------------------------------------------------------------------
// Batch queries: arguments

// NumPy, located on first use; ImportError (caused by NumPy's own) when it cannot be imported.
void need_numpy() {
    if (numpy_table().load(std::memory_order_acquire)) return;
    if (!Ref::steal(PyImport_ImportModule("numpy")))
        raise_with_cause(PyExc_ImportError, msg::batch_needs_numpy, fetch_exception());
    (void)numpy::api();
}


u64 thread_count(i64 workers) {
    if (workers == 0 || workers < -1) raise(PyExc_ValueError, msg::bad_workers(workers));
    return resolve_workers(workers);
}

Numbers numbers(PyObject* o, const char* name) {
    Numbers n = read_numbers(o, name);
    const u64 ndim = n.array().ndim();
    if (ndim != 1 && ndim != 2) raise(PyExc_ValueError, msg::batch_rank(name, ndim));
    return n;
}

// Query rows: many (two dimensions) or one point (one dimension), each of the tree's width,
// without NaN. An empty sequence is a batch of no rows.
struct QueryRows {
    Numbers values;
    u64 m = 0;
    bool one_point = false;
    const f64* data() const noexcept { return values.data(); }
};

QueryRows query_rows(PyObject* o, u64 dim, const char* name = "X") {
    QueryRows q{numbers(o, name)};
    const Numbers& v = q.values;
    const bool empty_list = v.sequence && v.rows() == 0;
    q.one_point = v.array().ndim() == 1 && !empty_list;
    q.m = q.one_point ? 1 : (empty_list ? 0 : v.rows());
    const u64 width = q.one_point ? v.rows() : (empty_list ? dim : v.cols());
    if (width != dim) raise(PyExc_ValueError, msg::batch_width(name, width, dim));
    for (u64 i = 0; i < q.m * dim; ++i)
        if (std::isnan(v.data()[i])) raise(PyExc_ValueError, msg::rows_nan(name));
    return q;
}

// One radius for every row (step 0) or one per row; none negative or NaN.
struct Radii {
    std::vector<f64> values;
    u64 step = 0;
};

Radii radii(PyObject* o, u64 m) {
    Radii r;
    if (const std::optional<double> x = scalar(o)) {
        r.values.assign(1, *x);
    } else {
        const Numbers n = numbers(o, "r");
        if (n.array().ndim() != 1) raise(PyExc_ValueError, msg::radius_rank);
        if (n.rows() != m) raise(PyExc_ValueError, msg::radius_count(n.rows(), m));
        r.values.assign(n.data(), n.data() + n.rows());
        r.step = 1;
    }
    for (const f64 x : r.values)
        if (std::isnan(x) || x < 0.0) raise(PyExc_ValueError, msg::radius_invalid);
    if (r.values.empty()) r.values.assign(1, 0.0);  // no rows: nothing reads it
    return r;
}

// A NumPy array holding n values from `src` (distances as float64, row numbers as int64).
template <class T>
Ref numpy_copy(const T* src, u64 n) {
    using Out = std::conditional_t<std::is_same_v<T, f64>, f64, i64>;
    numpy::Fresh<Out> a = numpy::fresh<Out>({n});
    std::copy_n(src, n, a.data);
    return std::move(a.array);
}

// ---------------------------------------------------------------------------------------------
// The three classes

// What an instance of any of the three classes holds. The methods are compiled once for the
// three and reach the tree's own code only where they call into it (std::visit); the classes'
// tables differ only in the names their messages and signatures give.
using AnyTree = std::variant<KDTree, BallTree, VPTree>;

template <class Tree>
constexpr Class class_of = std::is_same_v<Tree, KDTree>     ? Class::kd_tree
                           : std::is_same_v<Tree, BallTree> ? Class::ball_tree
                                                            : Class::vp_tree;

Class class_of_tree(const AnyTree& t) noexcept {
    return std::visit([]<class T>(const T&) { return class_of<T>; }, t);
}

// What every tree has: dimension, points, metric, box, leaf size.
const TreeData& data_of(const AnyTree& t) noexcept {
    return std::visit([](const TreeData& d) -> const TreeData& { return d; }, t);
}

template <class Tree>
Ref wrap(Tree&& tree) {
    return new_instance(type_object(class_of<Tree>), AnyTree(std::move(tree)));
}

// Only the VP tree takes a selection.
template <class Tree>
constexpr auto from_array_impl = [](const Array64& points, u64 leaf_size, DistanceMetric metric, auto... selection) {
    typename Tree::Options options{};
    if constexpr (sizeof...(selection) == 1) options.selection = (selection, ...);
    // Built with the lock held: the points are read from an Array other threads may write.
    return wrap(unwrap(interruptible([&] { return Tree::from_ndarray(points, leaf_size, metric, options); })));
};

// from_points: the points as the tree's own row-major float64 values. A float64 NumPy array
// is read into them directly; an Array is copied, as from_array copies it.
struct PointRows {
    std::vector<f64> values;
    u64 n = 0, dim = 0;
};

PointRows point_rows(PyObject* o) {
    Numbers v = numbers(o, "points");
    if (v.array().ndim() != 2) raise(PyExc_ValueError, msg::points_rank(v.array().ndim()));
    PointRows p{{}, v.rows(), v.cols()};
    p.values.assign(v.array().data.begin(), v.array().data.end());
    return p;
}

// One side length for every dimension or one per dimension, each positive and finite; none
// for a space that is not periodic.
std::vector<f64> box_lengths(std::optional<PyObject*> o, u64 dim) {
    if (!o) return {};
    std::vector<f64> box;
    if (const std::optional<double> x = scalar(*o)) {
        box.assign(dim, *x);
        if (!(*x > 0.0 && std::isfinite(*x))) raise(PyExc_ValueError, msg::boxsize_invalid);
        return box;
    }
    const Numbers n = numbers(*o, "boxsize");
    if (n.array().ndim() != 1 || n.rows() != dim)
        raise(PyExc_ValueError, msg::boxsize_count(n.array().ndim() == 1 ? n.rows() : n.array().data.size(), dim));
    box.assign(n.data(), n.data() + dim);
    for (const f64 L : box)
        if (!(L > 0.0 && std::isfinite(L))) raise(PyExc_ValueError, msg::boxsize_invalid);
    return box;
}

// The points convert last, once every option has been checked; the build runs without the
// interpreter lock (the tree owns everything it reads).
template <class Tree>
constexpr auto from_points_impl = [](PyObject* points, u64 leaf_size, DistanceMetric metric, auto... rest) {
    typename Tree::Options options{};
    const auto [boxsize, workers] = [&] {
        if constexpr (sizeof...(rest) == 3) {
            const auto args = std::make_tuple(rest...);
            options.selection = std::get<0>(args);
            return std::make_pair(std::get<1>(args), std::get<2>(args));
        } else {
            return std::make_pair(rest...);
        }
    }();
    const u64 threads = thread_count(workers);
    PointRows p = point_rows(points);
    std::vector<f64> box = box_lengths(boxsize, p.dim);
    std::optional<Result<Tree>> built;
    interruptible([&] {
        WithoutGil unlocked;
        built.emplace(Tree::from_rows(std::move(p.values), p.n, p.dim, leaf_size, metric, options, std::move(box),
                                      threads));
    });
    return wrap(unwrap(std::move(*built)));
};

Ref query_knn_impl(const AnyTree& tree, PyObject* query, u64 k) {
    const std::vector<double> q = query_vector(query, data_of(tree).dim);
    return index_list(std::visit([&](const auto& t) { return t.query_knn(q.data(), k); }, tree));
}

Ref query_radius_impl(const AnyTree& tree, PyObject* query, f64 radius) {
    const std::vector<double> q = query_vector(query, data_of(tree).dim);
    return index_list(std::visit([&](const auto& t) { return t.query_radius(q.data(), radius); }, tree));
}

Ref densities(const AnyTree& tree, std::optional<PyObject*> queries, KernelType kernel,
              const ApproxCriterion& criterion, f64 bandwidth) {
    const TreeData& data = data_of(tree);
    const std::optional<Numbers> qs = density_queries(queries, data.dim);
    const Array64* m = qs ? &qs->array() : nullptr;
    Result<Array64> d = interruptible([&] {
        return std::visit(
            [&](const auto& t) {
                return m ? t.kernel_density_approx(*m, kernel, criterion, bandwidth)
                         : t.kernel_density_at_points(kernel, criterion, bandwidth);
            },
            tree);
    });
    return density_result(unwrap(std::move(d)), m ? m->shape[0] : data.n_points);
}

Ref kernel_density_impl(const AnyTree& tree, std::optional<PyObject*> queries, f64 bandwidth, KernelType kernel) {
    return densities(tree, queries, kernel, ApproxCriterion::none(), bandwidth);
}

// Every argument converts before the kernel and the criterion names are matched.
Ref kernel_density_approx_impl(const AnyTree& tree, std::optional<PyObject*> queries, f64 bandwidth,
                               Later<Kernel> kernel, Later<CriterionKind> criterion,
                               std::optional<u64> min_samples, std::optional<f64> max_span) {
    const KernelType k = kernel.parse();
    const ApproxCriterion c = make_criterion(criterion.parse(), min_samples, max_span);
    return densities(tree, queries, k, c, bandwidth);
}

template <class Tree>
constexpr auto make_from_array_sig() {
    constexpr auto array = param<ArrayArg>("array");
    constexpr auto leaf_size = param<Index>("leaf_size", 20);
    constexpr auto metric = param<Metric>("metric", "euclidean");
    if constexpr (std::is_same_v<Tree, VPTree>)
        return signature("from_array", array, leaf_size, metric, param<Selection>("selection", "first"));
    else
        return signature("from_array", array, leaf_size, metric);
}

// Pickling and copying: the compact tree state as bytes (spatial/common/state.hpp).
Ref reduce_ex_impl(const AnyTree& tree, i64 protocol) {
    Ref bytes = std::visit(
        [](const auto& t) {
            Ref b = new_bytes(tree_state_length(t));
            write_tree_state(t, reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(b.get())));
            return b;
        },
        tree);
    return reduction("_tree_from_state", tuple_of(payload(std::move(bytes), protocol)));
}

// A copy is an instance of the same class.
Ref copy_tree_impl(const AnyTree& t) { return new_instance(type_object(class_of_tree(t)), AnyTree(t)); }
Ref deepcopy_tree_impl(const AnyTree& t, PyObject*) { return copy_tree_impl(t); }

template <class P>
Ref load_tree(const ByteView& v) {
    return wrap(unwrap(tree_from_state<P>(v.data(), v.size())));
}

Ref tree_from_state_impl(PyObject* state) {
    const ByteView v(state, msg::tree_state_type);
    switch (unwrap(tree_state_kind(v.data(), v.size()))) {
        case TreeKind::KD: return load_tree<KdPolicy>(v);
        case TreeKind::Ball: return load_tree<BallPolicy>(v);
        case TreeKind::VP: break;
    }
    return load_tree<VpPolicy>(v);
}

constexpr auto tree_from_state_sig = signature("_tree_from_state", param<Object>("state"));

// The kernel's integral over space under a metric, for callers that normalise sums of their own.
Ref kernel_norm_impl(KernelType kernel, DistanceMetric metric, u64 dim) { return to_py(kernel_norm(kernel, metric, dim)); }

constexpr auto kernel_norm_sig =
    signature("_kernel_norm", param<Kernel>("kernel"), param<Metric>("metric"), param<Index>("dim"));

PyMethodDef spatial_functions[] = {
    def<kernel_norm_sig, kernel_norm_impl>(),
    {nullptr, nullptr, 0, nullptr},
};

// Batch methods: every argument converts and every output is allocated with the interpreter
// lock held; the search itself runs without it (the tree never changes after from_array).

Ref query_impl(PyObject* X, i64 k, bool return_distance, double upper_bound, i64 workers, const AnyTree& any) {
    const TreeData& tree = data_of(any);
    need_numpy();
    if (k < 0) raise(PyExc_ValueError, msg::k_negative(k));
    if (std::isnan(upper_bound) || upper_bound < 0.0) raise(PyExc_ValueError, msg::distance_upper_bound_invalid);
    const u64 kk = static_cast<u64>(k);
    if (kk > tree.n_points) raise(PyExc_ValueError, msg::k_too_large(kk, tree.n_points));
    const u64 threads = thread_count(workers);
    const QueryRows q = query_rows(X, tree.dim);
    const std::vector<u64> dims = q.one_point ? std::vector<u64>{kk} : std::vector<u64>{q.m, kk};
    numpy::Fresh<i64> rows = numpy::fresh<i64>(dims);
    std::optional<numpy::Fresh<f64>> dist;
    if (return_distance) dist = numpy::fresh<f64>(dims);
    interruptible([&] {
        WithoutGil unlocked;
        std::visit(
            [&](const auto& t) {
                t.query_knn_batch(q.data(), q.m, kk, dist ? dist->data : nullptr, reinterpret_cast<u64*>(rows.data),
                                  threads, upper_bound);
            },
            any);
    });
    if (!dist) return std::move(rows.array);
    return tuple_of(dist->array, rows.array);
}

Ref query_ball_point_impl(PyObject* X, PyObject* r, bool return_distance, bool sort_results, bool count_only,
                          i64 workers, const AnyTree& any) {
    const TreeData& tree = data_of(any);
    need_numpy();
    const u64 threads = thread_count(workers);
    const QueryRows q = query_rows(X, tree.dim);
    const Radii rad = radii(r, q.m);
    if (count_only) {
        numpy::Fresh<i64> counts = numpy::fresh<i64>({q.m});
        interruptible([&] {
            WithoutGil unlocked;
            std::visit(
                [&](const auto& t) {
                    t.count_radius_batch(q.data(), q.m, rad.values.data(), rad.step,
                                         reinterpret_cast<u64*>(counts.data), threads);
                },
                any);
        });
        if (q.one_point) return check_new(PyLong_FromLongLong(counts.data[0]));
        return std::move(counts.array);
    }
    RadiusBatch found;
    interruptible([&] {
        WithoutGil unlocked;
        found = std::visit(
            [&](const auto& t) {
                return t.query_radius_batch(q.data(), q.m, rad.values.data(), rad.step, return_distance, sort_results,
                                            threads);
            },
            any);
    });
    const auto row_arrays = [&]<class T>(const std::vector<T>& values) {
        if (q.one_point) return numpy_copy(values.data(), found.offsets[1]);
        Ref list = check_new(PyList_New(static_cast<Py_ssize_t>(q.m)));
        for (u64 i = 0; i < q.m; ++i) {
            const u64 a = found.offsets[i], b = found.offsets[i + 1];
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), numpy_copy(values.data() + a, b - a).release());
        }
        return list;
    };
    Ref indices = row_arrays(found.rows);
    if (!return_distance) return indices;
    return tuple_of(indices, row_arrays(found.dists));
}

// ---------------------------------------------------------------------------------------------
// Densities with weights, normalisation and logarithms; bandwidth rules; sampling

using Rule = Choice<BandwidthRule, bandwidth_rule_from_name, msg::unknown_bandwidth_rule>;

// A bandwidth as passed: a number (checked when used) or the name of a rule.
struct Bandwidth {
    f64 value = 1.0;
    std::optional<BandwidthRule> rule;
};
struct BandwidthArg {
    using type = Bandwidth;
    using default_type = double;
    static std::optional<Bandwidth> from(PyObject* o) {
        if (PyUnicode_Check(o)) {
            const std::optional<BandwidthRule> r = Rule::from(o);
            if (!r) return std::nullopt;
            return Bandwidth{0.0, r};
        }
        const std::optional<double> v = to_f64(o);
        if (!v) return std::nullopt;
        return Bandwidth{*v, std::nullopt};
    }
    static Bandwidth absent(double v) { return {v, std::nullopt}; }
    static std::string render(double v) { return render_number(v); }
};

const char* rule_name(BandwidthRule r) { return r == BandwidthRule::Scott ? "scott" : "silverman"; }

// One non-negative finite weight per point of the tree, in input-row order.
// `which` names the array in messages ("weights", or one side of a pair's weights).
std::vector<f64> weight_vector(PyObject* o, u64 rows, const char* which) {
    const Numbers n = numbers(o, "weights");
    if (n.array().ndim() != 1) raise(PyExc_ValueError, msg::weights_rank(which));
    if (n.rows() != rows) raise(PyExc_ValueError, msg::weights_count(which, n.rows(), rows));
    std::vector<f64> w(n.data(), n.data() + rows);
    for (const f64 x : w)
        if (!std::isfinite(x) || x < 0.0) raise(PyExc_ValueError, msg::weights_invalid);
    return w;
}

std::optional<std::vector<f64>> read_weights(std::optional<PyObject*> o, u64 n_points) {
    if (!o) return std::nullopt;
    return weight_vector(*o, n_points, "weights");
}

f64 rule_value(const TreeData& tree, BandwidthRule rule, const std::optional<std::vector<f64>>& w) {
    const f64 h = rule_bandwidth(tree, rule, w ? w->data() : nullptr);
    if (!(h > 0.0) || !std::isfinite(h)) raise(PyExc_ValueError, msg::bandwidth_rule_undefined(rule_name(rule)));
    return h;
}

// The bandwidth to use: a rule's value, or the number if it is valid.
f64 resolve_bandwidth(const TreeData& tree, const Bandwidth& b, const std::optional<std::vector<f64>>& w) {
    if (b.rule) return rule_value(tree, *b.rule, w);
    if (!(b.value > 0.0)) raise(PyExc_ValueError, ::veltrix::msg::bandwidth);
    return b.value;
}

Ref density_impl(std::optional<PyObject*> X, Bandwidth bandwidth, Later<Kernel> kernel,
                 std::optional<PyObject*> weights, bool normalize, bool log, Later<CriterionKind> criterion,
                 std::optional<u64> min_samples, std::optional<f64> max_span, i64 workers, const AnyTree& any) {
    const TreeData& tree = data_of(any);
    need_numpy();
    const KernelType k = kernel.parse();
    const ApproxCriterion c = make_criterion(criterion.parse(), min_samples, max_span);
    const u64 threads = thread_count(workers);
    const std::optional<std::vector<f64>> w = read_weights(weights, tree.n_points);
    const f64 h = resolve_bandwidth(tree, bandwidth, w);
    const DensityScale scale{normalize, log, w ? total_weight(w->data(), w->size()) : static_cast<f64>(tree.n_points)};
    if (normalize && !(scale.total_weight > 0.0)) raise(PyExc_ValueError, msg::normalize_zero_weight);
    std::optional<QueryRows> q;
    if (X) q.emplace(query_rows(*X, tree.dim));
    const u64 m = q ? q->m : tree.n_points;
    numpy::Fresh<f64> out = numpy::fresh<f64>({m});
    interruptible([&] {
        WithoutGil unlocked;
        std::optional<DensityWeights> dw;
        const f64* x = q ? q->data() : nullptr;
        std::visit(
            [&](const auto& t) {
                if (w) dw = t.density_weights(w->data());
                t.density_batch(x, m, k, c, h, out.data, threads, dw ? &*dw : nullptr);
            },
            any);
        finish_densities(tree, x, m, k, h, dw ? &*dw : nullptr, scale, out.data, threads);
    });
    return std::move(out.array);
}

Ref bandwidth_impl(BandwidthRule rule, std::optional<PyObject*> weights, const AnyTree& any) {
    const TreeData& tree = data_of(any);
    return to_py(rule_value(tree, rule, read_weights(weights, tree.n_points)));
}

constexpr const char* kernel_names[] = {"gaussian", "epanechnikov", "uniform", "triangular"};
constexpr const char* metric_names[] = {"euclidean", "manhattan", "chebyshev"};

Ref sample_impl(i64 n, PyObject* generator, Bandwidth bandwidth, Later<Kernel> kernel, std::optional<PyObject*> weights,
                const AnyTree& any) {
    const TreeData& tree = data_of(any);
    need_numpy();
    const KernelType k = kernel.parse();
    if (n < 0) raise(PyExc_ValueError, msg::sample_negative(n));
    if (!PyObject_TypeCheck(generator, type_object(Class::generator)))
        raise(PyExc_TypeError, msg::argument_error("generator", msg::not_a_generator(type_name(generator))));
    if (tree.n_points == 0) raise(PyExc_ValueError, msg::sample_empty_tree);
    if (!kernel_samplable(k, tree.metric))
        raise(PyExc_ValueError, msg::sample_kernel(kernel_names[static_cast<unsigned>(k)],
                                                   metric_names[static_cast<unsigned>(tree.metric)]));
    const std::optional<std::vector<f64>> w = read_weights(weights, tree.n_points);
    if (w && !(total_weight(w->data(), w->size()) > 0.0)) raise(PyExc_ValueError, msg::sample_zero_weight);
    const f64 h = resolve_bandwidth(tree, bandwidth, w);
    BorrowedMut<Generator> g(generator);
    const u64 rows = static_cast<u64>(n);
    numpy::Fresh<f64> out = numpy::fresh<f64>({rows, tree.dim});
    // The draws advance a copy, kept only once every row is drawn: Ctrl-C leaves the
    // generator as it was.
    Generator draws = g.get();
    interruptible([&] {
        WithoutGil unlocked;
        sample_density(tree, draws, rows, k, h, w ? w->data() : nullptr, out.data);
    });
    g.get() = draws;
    return std::move(out.array);
}

// ---------------------------------------------------------------------------------------------
// Pair searches (spatial/common/pairs.hpp): arguments convert and are checked with the
// interpreter lock held; the walk, and the tree built over query points, run without it.

// A radius or cut-off: finite and not negative.
f64 pair_radius(f64 r, const char* name) {
    if (!std::isfinite(r) || r < 0.0) raise(PyExc_ValueError, msg::pair_radius(name));
    return r;
}

// The radii of count_neighbors: one (scalar) or a one-dimensional non-decreasing array.
struct PairRadii {
    std::vector<f64> values;
    bool scalar = false;
};

PairRadii pair_radii(PyObject* o) {
    PairRadii r;
    const bool zero_dim = numpy::is_ndarray(o) && numpy::fields(o)->nd == 0;
    if (!zero_dim && (is_array(o) || numpy::is_ndarray(o) || is_sequence(o))) {
        const Numbers n = numbers(o, "r");
        if (n.array().ndim() != 1) raise(PyExc_ValueError, msg::pair_radii_rank);
        r.values.assign(n.data(), n.data() + n.rows());
    } else {
        r.values.assign(1, convert_argument<F64>("r", o));
        r.scalar = true;
    }
    for (u64 i = 0; i < r.values.size(); ++i) {
        pair_radius(r.values[i], "r");
        if (i > 0 && r.values[i] < r.values[i - 1]) raise(PyExc_ValueError, msg::pair_radii_order);
    }
    return r;
}

const char* metric_name(DistanceMetric m) noexcept {
    switch (m) {
        case DistanceMetric::Manhattan: return "manhattan";
        case DistanceMetric::Chebyshev: return "chebyshev";
        case DistanceMetric::Euclidean: break;
    }
    return "euclidean";
}

// `other` of count_neighbors and sparse_distance_matrix: a tree of the same class, dimension,
// metric and box (borrowed), or query points of the tree's width without NaN, over which a
// tree with the same leaf size, metric and box is built without the lock.
struct PairOther {
    std::optional<Borrowed<AnyTree>> tree;
    std::optional<QueryRows> points;
    std::optional<AnyTree> built;

    const AnyTree& get() const { return tree ? tree->get() : *built; }
    u64 rows() const { return tree ? data_of(tree->get()).n_points : points->m; }
};

PairOther pair_other(PyObject* o, const AnyTree& any) {
    const TreeData& self = data_of(any);
    const Class own = class_of_tree(any);
    PairOther out;
    for (const Class c : {Class::kd_tree, Class::ball_tree, Class::vp_tree}) {
        if (!PyObject_TypeCheck(o, type_object(c))) continue;
        if (c != own)
            raise(PyExc_TypeError, msg::argument_error("other", msg::other_class(class_name(own), class_name(c))));
        out.tree.emplace(o);
        const TreeData& t = data_of(out.tree->get());
        if (t.dim != self.dim) raise(PyExc_ValueError, msg::other_dimension(t.dim, self.dim));
        if (t.metric != self.metric)
            raise(PyExc_ValueError, msg::other_metric(metric_name(t.metric), metric_name(self.metric)));
        if (t.box != self.box) raise(PyExc_ValueError, msg::other_box);
        return out;
    }
    out.points.emplace(query_rows(o, self.dim, "other"));
    return out;
}

// The tree over query points, if `other` holds them, built without the lock; a periodic
// tree's refusal of infinite points is raised once the lock is back.
void build_other(PairOther& other, const AnyTree& any) {
    if (other.tree) return;
    const QueryRows& q = *other.points;
    const TreeData& self = data_of(any);
    std::visit(
        [&]<class Tree>(const Tree&) {
            std::optional<Result<Tree>> t;
            interruptible([&] {
                WithoutGil unlocked;
                t.emplace(Tree::from_rows(std::vector<f64>(q.data(), q.data() + q.m * self.dim), q.m, self.dim,
                                          self.leaf_size, self.metric, {}, self.box));
            });
            other.built.emplace(unwrap(std::move(*t)));
        },
        any);
}

// f(a, b) with self's tree and other's, which is of the same class.
template <class F>
decltype(auto) with_pair(const AnyTree& self, const PairOther& other, F&& f) {
    return std::visit([&]<class Tree>(const Tree& a) { return f(a, std::get<Tree>(other.get())); }, self);
}

// One weight array of count_neighbors: None (all ones) or `rows` finite non-negative floats.
std::optional<std::vector<f64>> pair_weights(PyObject* o, u64 rows, const char* which) {
    if (!o || o == Py_None) return std::nullopt;
    return weight_vector(o, rows, which);
}

Ref query_pairs_impl(f64 r, bool return_distance, i64 workers, const AnyTree& tree) {
    need_numpy();
    pair_radius(r, "r");
    const u64 threads = thread_count(workers);
    SortedPairs found;
    interruptible([&] {
        WithoutGil unlocked;
        found = std::visit(
            [&]<class Tree>(const Tree& t) {
                return list_pairs(t, static_cast<const Tree*>(nullptr), r, return_distance, threads);
            },
            tree);
    });
    const u64 m = found.size();
    numpy::Fresh<i64> pairs = numpy::fresh<i64>({m, 2});
    for (u64 k = 0; k < m; ++k) {
        pairs.data[2 * k] = static_cast<i64>(found.row(k));
        pairs.data[2 * k + 1] = static_cast<i64>(found.col(k));
    }
    if (!return_distance) return std::move(pairs.array);
    return tuple_of(pairs.array, numpy_copy(found.dists.data(), m));
}

Ref count_neighbors_impl(PyObject* other_arg, PyObject* r_arg, std::optional<PyObject*> weights, bool cumulative,
                         i64 workers, const AnyTree& tree) {
    need_numpy();
    const u64 threads = thread_count(workers);
    PairOther other = pair_other(other_arg, tree);
    const PairRadii r = pair_radii(r_arg);
    std::optional<std::vector<f64>> w_self, w_other;
    if (weights) {
        PyObject* w = *weights;
        if (!PyTuple_Check(w) && !PyList_Check(w))
            raise(PyExc_TypeError, msg::argument_error("weights", msg::weights_pair(type_name(w))));
        if (PySequence_Fast_GET_SIZE(w) != 2) raise(PyExc_ValueError, msg::weights_pair_length(PySequence_Fast_GET_SIZE(w)));
        w_self = pair_weights(PySequence_Fast_GET_ITEM(w, 0), data_of(tree).n_points, "weights[0]");
        w_other = pair_weights(PySequence_Fast_GET_ITEM(w, 1), other.rows(), "weights[1]");
    }
    const u64 n = r.values.size();
    std::vector<u64> counts;
    std::vector<f64> sums;
    build_other(other, tree);
    interruptible([&] {
        WithoutGil unlocked;
        with_pair(tree, other, [&](const auto& a, const auto& b) {
            if (weights)
                sums = count_pairs<f64>(a, b, r.values.data(), n, w_self ? w_self->data() : nullptr,
                                        w_other ? w_other->data() : nullptr, cumulative, threads);
            else
                counts = count_pairs<u64>(a, b, r.values.data(), n, nullptr, nullptr, cumulative, threads);
        });
    });
    if (weights) {
        if (r.scalar) return to_py(sums[0]);
        return numpy_copy(sums.data(), n);
    }
    if (r.scalar) return check_new(PyLong_FromUnsignedLongLong(counts[0]));
    return numpy_copy(counts.data(), n);
}

Ref sparse_distance_matrix_impl(PyObject* other_arg, f64 max_distance, i64 workers, const AnyTree& tree) {
    need_numpy();
    const u64 threads = thread_count(workers);
    PairOther other = pair_other(other_arg, tree);
    pair_radius(max_distance, "max_distance");
    SortedPairs found;
    build_other(other, tree);
    interruptible([&] {
        WithoutGil unlocked;
        found = with_pair(tree, other,
                          [&](const auto& a, const auto& b) { return list_pairs(a, &b, max_distance, true, threads); });
    });
    const u64 m = found.size();
    numpy::Fresh<i64> rows = numpy::fresh<i64>({m});
    numpy::Fresh<i64> cols = numpy::fresh<i64>({m});
    for (u64 k = 0; k < m; ++k) {
        rows.data[k] = static_cast<i64>(found.row(k));
        cols.data[k] = static_cast<i64>(found.col(k));
    }
    return tuple_of(rows.array, cols.array, numpy_copy(found.dists.data(), m));
}

constexpr auto query_pairs_sig = signature("query_pairs", param<F64>("r"),
                                           keyword_only(strict_param<Flag>("return_distance", false)),
                                           keyword_only(param<I64>("workers", 1)), shared_self<AnyTree>);
constexpr auto count_neighbors_sig =
    signature("count_neighbors", param<Object>("other"), param<Object>("r"),
              keyword_only(optional_param<Object>("weights")), keyword_only(strict_param<Flag>("cumulative", true)),
              keyword_only(param<I64>("workers", 1)), shared_self<AnyTree>);
constexpr auto sparse_distance_matrix_sig =
    signature("sparse_distance_matrix", param<Object>("other"), param<F64>("max_distance"),
              keyword_only(param<I64>("workers", 1)), shared_self<AnyTree>);

constexpr auto query_sig =
    signature("query", param<Object>("X"), param<I64>("k", 1), keyword_only(strict_param<Flag>("return_distance", true)),
              keyword_only(param<F64>("distance_upper_bound", std::numeric_limits<double>::infinity())),
              keyword_only(param<I64>("workers", 1)), shared_self<AnyTree>);

template <class Tree>
constexpr auto make_from_points_sig() {
    constexpr auto points = param<Object>("points");
    constexpr auto leaf_size = keyword_only(param<Index>("leaf_size", 20));
    constexpr auto metric = keyword_only(param<Metric>("metric", "euclidean"));
    constexpr auto boxsize = keyword_only(optional_param<Object>("boxsize"));
    constexpr auto workers = keyword_only(param<I64>("workers", 1));
    if constexpr (std::is_same_v<Tree, VPTree>)
        return signature("from_points", points, leaf_size, metric,
                         keyword_only(param<Selection>("selection", "first")), boxsize, workers);
    else
        return signature("from_points", points, leaf_size, metric, boxsize, workers);
}
template <class Tree>
inline constexpr auto from_points_sig = make_from_points_sig<Tree>();
constexpr auto query_ball_point_sig =
    signature("query_ball_point", param<Object>("X"), param<Object>("r"),
              keyword_only(strict_param<Flag>("return_distance", false)),
              keyword_only(strict_param<Flag>("sort_results", false)),
              keyword_only(strict_param<Flag>("count_only", false)), keyword_only(param<I64>("workers", 1)),
              shared_self<AnyTree>);
constexpr auto density_sig =
    signature("density", optional_param<Object>("X"), param<BandwidthArg>("bandwidth", 1.0),
              param<LateChoice<Kernel>>("kernel", "gaussian"), keyword_only(optional_param<Object>("weights")),
              keyword_only(strict_param<Flag>("normalize", false)), keyword_only(strict_param<Flag>("log", false)),
              keyword_only(param<LateChoice<CriterionKind>>("criterion", "none")),
              keyword_only(optional_param<Index>("min_samples")), keyword_only(optional_param<F64>("max_span")),
              keyword_only(param<I64>("workers", 1)), shared_self<AnyTree>);

constexpr auto bandwidth_sig =
    signature("bandwidth", param<Rule>("rule"), keyword_only(optional_param<Object>("weights")), shared_self<AnyTree>);
constexpr auto sample_sig =
    signature("sample", param<I64>("n"), param<Object>("generator"), param<BandwidthArg>("bandwidth", 1.0),
              param<LateChoice<Kernel>>("kernel", "gaussian"), keyword_only(optional_param<Object>("weights")),
              shared_self<AnyTree>);

// The tree is borrowed before anything converts; the query is read last, against its dimension.
template <class Tree>
inline constexpr auto from_array_sig = make_from_array_sig<Tree>();
constexpr auto query_knn_sig =
    signature("query_knn", shared_self<AnyTree>, param<Object>("query"), param<Index>("k"));
constexpr auto query_radius_sig =
    signature("query_radius", shared_self<AnyTree>, param<Object>("query"), param<F64>("radius"));
constexpr auto kernel_density_sig =
    signature("kernel_density", shared_self<AnyTree>, optional_param<Object>("queries"),
              param<F64>("bandwidth", 1.0), param<Kernel>("kernel", "gaussian"));
constexpr auto kernel_density_approx_sig =
    signature("kernel_density_approx", shared_self<AnyTree>, optional_param<Object>("queries"),
              param<F64>("bandwidth", 1.0), param<LateChoice<Kernel>>("kernel", "gaussian"),
              param<LateChoice<CriterionKind>>("criterion", "none"), optional_param<Index>("min_samples"),
              optional_param<F64>("max_span"));

template <class Tree>
PyMethodDef tree_methods[] = {
    def<from_array_sig<Tree>, from_array_impl<Tree>, class_of<Tree>>(),
    def<from_points_sig<Tree>, from_points_impl<Tree>, class_of<Tree>>(),
    def<query_knn_sig, query_knn_impl, class_of<Tree>>(),
    def<query_radius_sig, query_radius_impl, class_of<Tree>>(),
    def<kernel_density_sig, kernel_density_impl, class_of<Tree>>(),
    def<kernel_density_approx_sig, kernel_density_approx_impl, class_of<Tree>>(),
    // Pickling and copying.
    def<reduce_ex_sig<AnyTree>, reduce_ex_impl, class_of<Tree>>(),
    def<copy_sig<AnyTree>, copy_tree_impl, class_of<Tree>>(),
    def<deepcopy_sig<AnyTree>, deepcopy_tree_impl, class_of<Tree>>(),
    // Batch queries.
    def<query_sig, query_impl, class_of<Tree>>(),
    def<query_ball_point_sig, query_ball_point_impl, class_of<Tree>>(),
    def<density_sig, density_impl, class_of<Tree>>(),
    def<bandwidth_sig, bandwidth_impl, class_of<Tree>>(),
    def<sample_sig, sample_impl, class_of<Tree>>(),
    // Pair searches.
    def<query_pairs_sig, query_pairs_impl, class_of<Tree>>(),
    def<count_neighbors_sig, count_neighbors_impl, class_of<Tree>>(),
    def<sparse_distance_matrix_sig, sparse_distance_matrix_impl, class_of<Tree>>(),
    {nullptr, nullptr, 0, nullptr},
};

// The periodic box as a tuple of side lengths, or None.
PyObject* boxsize_of(PyObject* self, void*) noexcept {
    return guarded([&] {
        const Borrowed<AnyTree> any(self);
        const TreeData& t = data_of(any.get());
        if (!t.periodic()) return Ref::borrow(Py_None);
        Ref out = check_new(PyTuple_New(static_cast<Py_ssize_t>(t.box.size())));
        for (u64 i = 0; i < t.box.size(); ++i)
            PyTuple_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), to_py(t.box[i]).release());
        return out;
    });
}

PyGetSetDef tree_getset[] = {
    {"boxsize", boxsize_of, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Instances come only from from_array and from_points: without a constructor, calling the class raises
// "cannot create 'builtins.KDTree' instances".
template <class Tree>
PyType_Spec& spec_of_tree() {
    static PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(instance_dealloc<AnyTree>)},
        {Py_tp_methods, tree_methods<Tree>},
        {Py_tp_getset, tree_getset},
        {0, nullptr},
    };
    static PyType_Spec spec = {qualified_name(class_of<Tree>), sizeof(Instance<AnyTree>), 0,
                               class_flags | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
    return spec;
}

}  // namespace

PyMethodDef tree_from_state_def = def<tree_from_state_sig, tree_from_state_impl>();

PyType_Spec& tree_spec(Class c) {
    if (c == Class::ball_tree) return spec_of_tree<BallTree>();
    if (c == Class::kd_tree) return spec_of_tree<KDTree>();
    return spec_of_tree<VPTree>();
}

void register_spatial(PyObject* m) {
    for (Class c : {Class::ball_tree, Class::kd_tree, Class::vp_tree})
        add_member(m, class_name(c), reinterpret_cast<PyObject*>(type_object(c)));
    add_functions(m, spatial_functions, false);
    register_sharded(m);
}

}  // namespace veltrix::py
