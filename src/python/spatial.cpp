// veltrix.spatial: the KDTree, BallTree and VPTree classes, written once over the tree type.
#include <string>
#include <utility>
#include <vector>

#include "python/array_type.hpp"
#include "python/messages.hpp"
#include "spatial/ball_tree/ball_tree.hpp"
#include "spatial/kd_tree/kd_tree.hpp"
#include "spatial/vp_tree/vp_tree.hpp"

namespace veltrix::py {

namespace {

// ---------------------------------------------------------------------------------------------
// Messages



// ---------------------------------------------------------------------------------------------
// Option strings: lower-cased for matching, quoted as passed in the refusal.

template <class T, class Lookup>
T parse_option(const Args& a, std::size_t i, T fallback, Lookup lookup, std::string (*refusal)(const std::string&)) {
    if (!a.given(i)) return fallback;
    if (const std::optional<T> v = lookup(a.lower_text(i))) return *v;
    raise(PyExc_ValueError, refusal(a.text(i)));
}

DistanceMetric parse_metric(const Args& a, std::size_t i) {
    return parse_option(a, i, DistanceMetric::Euclidean, metric_from_name, msg::unknown_metric);
}
KernelType parse_kernel(const Args& a, std::size_t i) {
    return parse_option(a, i, KernelType::Gaussian, kernel_from_name, msg::unknown_kernel);
}
VantageSelection parse_selection(const Args& a, std::size_t i) {
    return parse_option(a, i, VantageSelection::First, selection_from_name, msg::unknown_selection);
}

// criterion, min_samples and max_span at positions i, i + 1, i + 2.
ApproxCriterion parse_criterion(const Args& a, std::size_t i) {
    using Kind = ApproxCriterion::Kind;
    const Kind kind = parse_option(a, i, Kind::None, criterion_from_name, msg::unknown_criterion);
    const std::optional<u64> min_samples = a.given(i + 1) ? std::optional<u64>(a.index(i + 1)) : std::nullopt;
    const std::optional<f64> max_span = a.given(i + 2) ? std::optional<f64>(a.f64(i + 2)) : std::nullopt;
    switch (kind) {
        case Kind::None: return ApproxCriterion::none();
        case Kind::MinSamples:
            if (!min_samples) raise(PyExc_ValueError, msg::parameter_required("min_samples", "min_samples"));
            return ApproxCriterion::with_min_samples(*min_samples);
        case Kind::MaxSpan:
            if (!max_span) raise(PyExc_ValueError, msg::parameter_required("max_span", "max_span"));
            return ApproxCriterion::with_max_span(*max_span);
        case Kind::Combined:
            if (!min_samples) raise(PyExc_ValueError, msg::parameter_required("min_samples", "combined"));
            if (!max_span) raise(PyExc_ValueError, msg::parameter_required("max_span", "combined"));
            return ApproxCriterion::combined(*min_samples, *max_span);
    }
    return ApproxCriterion::none();
}

// ---------------------------------------------------------------------------------------------
// Queries

// The vector of query_knn and query_radius: a number, a sequence of numbers, or any Array's
// elements in row-major order.
// The value of an object with a float conversion; lists and tuples never have one.
std::optional<double> scalar(PyObject* o) {
    if (PyList_Check(o) || PyTuple_Check(o)) return std::nullopt;
    std::optional<double> x = to_f64(o);
    if (!x) PyErr_Clear();
    return x;
}

std::vector<double> query_vector(PyObject* o, u64 dim) {
    std::vector<double> q;
    if (is_array(o)) {
        // An Array has no float conversion and reads the same as a sequence or as a whole.
        q = ArrayRef(as_array(o))->data;
    } else if (const std::optional<double> x = scalar(o)) {
        q.assign(1, *x);
    } else if (!to_f64_vec(o, q)) {
        PyErr_Clear();
        raise(PyExc_ValueError, msg::bad_query);
    }
    if (q.size() != dim) raise(PyExc_ValueError, msg::query_length(q.size(), dim));
    return q;
}

// The query rows of a density call; `at_points` when the tree's own points are meant.
struct DensityQueries {
    bool at_points = false;
    std::optional<ArrayRef> borrowed;  // a 2-D Array used in place
    Array64 owned;

    const Array64& matrix() const { return borrowed ? borrowed->get() : owned; }
};

DensityQueries density_queries(PyObject* o, u64 dim) {
    DensityQueries out;
    if (!o || o == Py_None) {
        out.at_points = true;
        return out;
    }
    if (!is_array(o)) {
        // A number is one query of width 1, whatever the tree's dimension (the core asserts it).
        if (const std::optional<double> x = scalar(o)) {
            out.owned = Array64(Shape::d2(1, 1), {*x});
            return out;
        }
        std::vector<double> v;
        if (!to_f64_vec(o, v)) {
            PyErr_Clear();
            raise(PyExc_ValueError, msg::bad_queries);
        }
        if (v.size() != dim) raise(PyExc_ValueError, msg::query_length(v.size(), dim));
        const u64 m = v.size();
        out.owned = Array64(Shape::d2(1, m), std::move(v));
        return out;
    }
    ArrayRef arr(as_array(o));
    const Array64& a = arr.get();
    if (a.ndim() == 1) {
        if (a.shape[0] != dim) raise(PyExc_ValueError, msg::query_dimension(a.shape[0], dim));
        out.owned = Array64(Shape::d2(1, dim), a.data);
        return out;
    }
    if (a.ndim() != 2) raise(PyExc_ValueError, msg::queries_rank);
    if (a.shape[1] != dim) raise(PyExc_ValueError, msg::query_dimension(a.shape[1], dim));
    out.borrowed.emplace(std::move(arr));
    return out;
}

// One query row gives a float, any other number of rows an Array.
Ref density_result(Array64&& d, u64 rows) {
    if (rows == 1) return to_py(d.data[0]);
    return new_array(std::move(d));
}

// ---------------------------------------------------------------------------------------------
// The three classes

template <class Tree>
struct TreeClass;

template <>
struct TreeClass<KDTree> {
    static constexpr const char* name = "KDTree";
    static constexpr const char* qualified = "builtins.KDTree";
};
template <>
struct TreeClass<BallTree> {
    static constexpr const char* name = "BallTree";
    static constexpr const char* qualified = "builtins.BallTree";
};
template <>
struct TreeClass<VPTree> {
    static constexpr const char* name = "VPTree";
    static constexpr const char* qualified = "builtins.VPTree";
};

template <class Tree>
inline constexpr bool has_selection = std::is_same_v<Tree, VPTree>;

template <class Tree>
PyTypeObject* tree_type();
template <>
PyTypeObject* tree_type<BallTree>() { return type_object(Class::ball_tree); }
template <>
PyTypeObject* tree_type<KDTree>() { return type_object(Class::kd_tree); }
template <>
PyTypeObject* tree_type<VPTree>() { return type_object(Class::vp_tree); }

template <class Tree>
const Tree& tree_of(PyObject* self) {
    return reinterpret_cast<Instance<Tree>*>(self)->value;
}
template <class Tree>
BorrowFlag& flag_of(PyObject* self) {
    return reinterpret_cast<Instance<Tree>*>(self)->borrow;
}

template <class Tree>
Ref from_array_impl(PyObject*, const Args& a) {
    ArrayRef points = a.array(0);
    const u64 leaf_size = a.given(1) ? a.index(1) : 20;
    const DistanceMetric metric = parse_metric(a, 2);
    typename Tree::Options options{};
    if constexpr (has_selection<Tree>) options.selection = parse_selection(a, 3);
    Tree tree = unwrap(Tree::from_ndarray(points.get(), leaf_size, metric, options));
    return new_instance(tree_type<Tree>(), std::move(tree));
}

template <class Tree>
Ref query_knn_impl(PyObject* self, const Args& a) {
    SharedBorrow guard(flag_of<Tree>(self));
    const Tree& tree = tree_of<Tree>(self);
    const u64 k = a.index(1);
    const std::vector<double> q = query_vector(a[0], tree.dim);
    return index_list(tree.query_knn(q.data(), k));
}

template <class Tree>
Ref query_radius_impl(PyObject* self, const Args& a) {
    SharedBorrow guard(flag_of<Tree>(self));
    const Tree& tree = tree_of<Tree>(self);
    const f64 radius = a.f64(1);
    const std::vector<double> q = query_vector(a[0], tree.dim);
    return index_list(tree.query_radius(q.data(), radius));
}

template <class Tree>
Ref densities(const Tree& tree, PyObject* queries, KernelType kernel, const ApproxCriterion& criterion,
              f64 bandwidth) {
    const DensityQueries qs = density_queries(queries, tree.dim);
    if (qs.at_points)
        return density_result(unwrap(tree.kernel_density_at_points(kernel, criterion, bandwidth)), tree.n_points);
    const Array64& m = qs.matrix();
    return density_result(unwrap(tree.kernel_density_approx(m, kernel, criterion, bandwidth)), m.shape[0]);
}

template <class Tree>
Ref kernel_density_impl(PyObject* self, const Args& a) {
    SharedBorrow guard(flag_of<Tree>(self));
    const f64 bandwidth = a.given(1) ? a.f64(1) : 1.0;
    const KernelType kernel = parse_kernel(a, 2);
    return densities(tree_of<Tree>(self), a[0], kernel, ApproxCriterion::none(), bandwidth);
}

template <class Tree>
Ref kernel_density_approx_impl(PyObject* self, const Args& a) {
    SharedBorrow guard(flag_of<Tree>(self));
    const f64 bandwidth = a.given(1) ? a.f64(1) : 1.0;
    // Every argument converts before the kernel and the criterion are parsed.
    if (a.given(2)) (void)a.text(2);
    if (a.given(3)) (void)a.text(3);
    if (a.given(4)) (void)a.index(4);
    if (a.given(5)) (void)a.f64(5);
    const KernelType kernel = parse_kernel(a, 2);
    const ApproxCriterion criterion = parse_criterion(a, 3);
    return densities(tree_of<Tree>(self), a[0], kernel, criterion, bandwidth);
}

template <class Tree>
inline constexpr FnSpec from_array_s =
    has_selection<Tree>
        ? FnSpec{"from_array", TreeClass<Tree>::name,
                 "from_array(array, leaf_size=20, metric=\"euclidean\", selection=\"first\")\n--\n\n",
                 {"array", "leaf_size", "metric", "selection"}, 4, 1}
        : FnSpec{"from_array", TreeClass<Tree>::name, "from_array(array, leaf_size=20, metric=\"euclidean\")\n--\n\n",
                 {"array", "leaf_size", "metric"}, 3, 1};
template <class Tree>
inline constexpr FnSpec query_knn_s{"query_knn", TreeClass<Tree>::name, "query_knn($self, query, k)\n--\n\n",
                                    {"query", "k"}, 2, 2};
template <class Tree>
inline constexpr FnSpec query_radius_s{"query_radius", TreeClass<Tree>::name,
                                       "query_radius($self, query, radius)\n--\n\n", {"query", "radius"}, 2, 2};
template <class Tree>
inline constexpr FnSpec kernel_density_s{
    "kernel_density", TreeClass<Tree>::name,
    "kernel_density($self, queries=None, bandwidth=1.0, kernel=\"gaussian\")\n--\n\n",
    {"queries", "bandwidth", "kernel"}, 3, 0};
template <class Tree>
inline constexpr FnSpec kernel_density_approx_s{
    "kernel_density_approx", TreeClass<Tree>::name,
    "kernel_density_approx($self, queries=None, bandwidth=1.0, kernel=\"gaussian\", criterion=\"none\", "
    "min_samples=None, max_span=None)\n--\n\n",
    {"queries", "bandwidth", "kernel", "criterion", "min_samples", "max_span"}, 6, 0};

template <class Tree>
PyMethodDef tree_methods[] = {
    VELTRIX_STATIC(from_array_s<Tree>, from_array_impl<Tree>),
    VELTRIX_METHOD(query_knn_s<Tree>, query_knn_impl<Tree>),
    VELTRIX_METHOD(query_radius_s<Tree>, query_radius_impl<Tree>),
    VELTRIX_METHOD(kernel_density_s<Tree>, kernel_density_impl<Tree>),
    VELTRIX_METHOD(kernel_density_approx_s<Tree>, kernel_density_approx_impl<Tree>),
    {nullptr, nullptr, 0, nullptr},
};

// Instances come only from from_array: without a constructor, calling the class raises
// "cannot create 'builtins.KDTree' instances".
template <class Tree>
PyType_Spec& spec_of_tree() {
    {
        static PyType_Slot slots[] = {
            {Py_tp_dealloc, reinterpret_cast<void*>(instance_dealloc<Tree>)},
            {Py_tp_methods, tree_methods<Tree>},
            {0, nullptr},
        };
        static PyType_Spec spec = {TreeClass<Tree>::qualified, sizeof(Instance<Tree>), 0,
                                   class_flags | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
        return spec;
    }
}

}  // namespace

PyType_Spec& tree_spec(Class c) {
    if (c == Class::ball_tree) return spec_of_tree<BallTree>();
    if (c == Class::kd_tree) return spec_of_tree<KDTree>();
    return spec_of_tree<VPTree>();
}

PyTypeObject* ball_tree_type() { return type_object(Class::ball_tree); }
PyTypeObject* kd_tree_type() { return type_object(Class::kd_tree); }
PyTypeObject* vp_tree_type() { return type_object(Class::vp_tree); }

void register_spatial(PyObject* m) {
    add_member(m, "BallTree", reinterpret_cast<PyObject*>(ball_tree_type()));
    add_member(m, "KDTree", reinterpret_cast<PyObject*>(kd_tree_type()));
    add_member(m, "VPTree", reinterpret_cast<PyObject*>(vp_tree_type()));
}

}  // namespace veltrix::py
