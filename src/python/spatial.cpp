// veltrix.spatial: the KDTree, BallTree and VPTree classes, written once over the tree type.
#include <string>
#include <utility>
#include <vector>

#include "python/frame.hpp"
#include "python/messages.hpp"
#include "python/travel.hpp"
#include "spatial/ball_tree/ball_tree.hpp"
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

// A query argument as passed: an Array (borrowed), a number, or a sequence of numbers. An
// Array has no float conversion, and lists and tuples never have one.
struct QueryArg {
    std::optional<ArrayRef> array;
    std::vector<double> values;
    bool scalar = false;
};

// False (and no pending error) when the object is none of the three.
bool read_query(PyObject* o, QueryArg& q) {
    if (is_array(o)) {
        q.array.emplace(as_array(o));
        return true;
    }
    if (!PyList_Check(o) && !PyTuple_Check(o)) {
        if (const std::optional<double> x = to_f64(o)) {
            q.values.assign(1, *x);
            q.scalar = true;
            return true;
        }
        PyErr_Clear();
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
    if (arg.array) arg.values = (*arg.array)->data;
    if (arg.values.size() != dim) raise(PyExc_ValueError, msg::query_length(arg.values.size(), dim));
    return std::move(arg.values);
}

// The query rows of a density call; `at_points` when the tree's own points are meant.
struct DensityQueries {
    bool at_points = false;
    std::optional<ArrayRef> borrowed;  // a 2-D Array used in place
    Array64 owned;

    const Array64& matrix() const { return borrowed ? borrowed->get() : owned; }
};

DensityQueries density_queries(std::optional<PyObject*> o, u64 dim) {
    DensityQueries out;
    if (!o) {
        out.at_points = true;
        return out;
    }
    QueryArg arg;
    if (!read_query(*o, arg)) raise(PyExc_ValueError, msg::bad_queries);
    if (!arg.array) {
        // A number is one query of width 1, whatever the tree's dimension (the core asserts it).
        const u64 m = arg.values.size();
        if (!arg.scalar && m != dim) raise(PyExc_ValueError, msg::query_length(m, dim));
        out.owned = Array64(Shape::d2(1, m), std::move(arg.values));
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
// The three classes

template <class Tree>
constexpr Class class_of = std::is_same_v<Tree, KDTree>     ? Class::kd_tree
                           : std::is_same_v<Tree, BallTree> ? Class::ball_tree
                                                            : Class::vp_tree;

template <class Tree>
Ref build(const Array64& points, u64 leaf_size, DistanceMetric metric, typename Tree::Options options) {
    Tree tree = unwrap(Tree::from_ndarray(points, leaf_size, metric, options));
    return new_instance(type_object(class_of<Tree>), std::move(tree));
}

template <class Tree>
Ref from_array_impl(const Array64& points, u64 leaf_size, DistanceMetric metric) {
    return build<Tree>(points, leaf_size, metric, {});
}

// Only the VP tree takes a selection.
Ref from_array_vp_impl(const Array64& points, u64 leaf_size, DistanceMetric metric, VantageSelection selection) {
    VPTree::Options options{};
    options.selection = selection;
    return build<VPTree>(points, leaf_size, metric, options);
}
template <class Tree>
inline constexpr auto from_array_fn = [] {
    if constexpr (std::is_same_v<Tree, VPTree>)
        return &from_array_vp_impl;
    else
        return &from_array_impl<Tree>;
}();

template <class Tree>
Ref query_knn_impl(const Tree& tree, PyObject* query, u64 k) {
    const std::vector<double> q = query_vector(query, tree.dim);
    return index_list(tree.query_knn(q.data(), k));
}

template <class Tree>
Ref query_radius_impl(const Tree& tree, PyObject* query, f64 radius) {
    const std::vector<double> q = query_vector(query, tree.dim);
    return index_list(tree.query_radius(q.data(), radius));
}

template <class Tree>
Ref densities(const Tree& tree, std::optional<PyObject*> queries, KernelType kernel,
              const ApproxCriterion& criterion, f64 bandwidth) {
    const DensityQueries qs = density_queries(queries, tree.dim);
    if (qs.at_points)
        return density_result(unwrap(tree.kernel_density_at_points(kernel, criterion, bandwidth)), tree.n_points);
    const Array64& m = qs.matrix();
    return density_result(unwrap(tree.kernel_density_approx(m, kernel, criterion, bandwidth)), m.shape[0]);
}

template <class Tree>
Ref kernel_density_impl(const Tree& tree, std::optional<PyObject*> queries, f64 bandwidth, KernelType kernel) {
    return densities(tree, queries, kernel, ApproxCriterion::none(), bandwidth);
}

// Every argument converts before the kernel and the criterion names are matched.
template <class Tree>
Ref kernel_density_approx_impl(const Tree& tree, std::optional<PyObject*> queries, f64 bandwidth,
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

// The tree is borrowed before anything converts; the query is read last, against its dimension.
template <class Tree>
inline constexpr auto from_array_sig = make_from_array_sig<Tree>();
template <class Tree>
inline constexpr auto query_knn_sig =
    signature("query_knn", shared_self<Tree>, param<Object>("query"), param<Index>("k"));
template <class Tree>
inline constexpr auto query_radius_sig =
    signature("query_radius", shared_self<Tree>, param<Object>("query"), param<F64>("radius"));
template <class Tree>
inline constexpr auto kernel_density_sig =
    signature("kernel_density", shared_self<Tree>, optional_param<Object>("queries"),
              param<F64>("bandwidth", 1.0), param<Kernel>("kernel", "gaussian"));
template <class Tree>
inline constexpr auto kernel_density_approx_sig =
    signature("kernel_density_approx", shared_self<Tree>, optional_param<Object>("queries"),
              param<F64>("bandwidth", 1.0), param<LateChoice<Kernel>>("kernel", "gaussian"),
              param<LateChoice<CriterionKind>>("criterion", "none"), optional_param<Index>("min_samples"),
              optional_param<F64>("max_span"));

template <class Tree>
PyMethodDef tree_methods[] = {
    def<from_array_sig<Tree>, from_array_fn<Tree>, class_of<Tree>>(),
    def<query_knn_sig<Tree>, query_knn_impl<Tree>, class_of<Tree>>(),
    def<query_radius_sig<Tree>, query_radius_impl<Tree>, class_of<Tree>>(),
    def<kernel_density_sig<Tree>, kernel_density_impl<Tree>, class_of<Tree>>(),
    def<kernel_density_approx_sig<Tree>, kernel_density_approx_impl<Tree>, class_of<Tree>>(),
    // Pickling and copying (travel.cpp).
    travel_method(class_of<Tree>, Travel::reduce_ex),
    travel_method(class_of<Tree>, Travel::copy),
    travel_method(class_of<Tree>, Travel::deepcopy),
    {nullptr, nullptr, 0, nullptr},
};

// Instances come only from from_array: without a constructor, calling the class raises
// "cannot create 'builtins.KDTree' instances".
template <class Tree>
PyType_Spec& spec_of_tree() {
    static PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(instance_dealloc<Tree>)},
        {Py_tp_methods, tree_methods<Tree>},
        {0, nullptr},
    };
    static PyType_Spec spec = {qualified_name(class_of<Tree>), sizeof(Instance<Tree>), 0,
                               class_flags | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
    return spec;
}

}  // namespace

PyType_Spec& tree_spec(Class c) {
    if (c == Class::ball_tree) return spec_of_tree<BallTree>();
    if (c == Class::kd_tree) return spec_of_tree<KDTree>();
    return spec_of_tree<VPTree>();
}

void register_spatial(PyObject* m) {
    add_member(m, "BallTree", reinterpret_cast<PyObject*>(type_object(Class::ball_tree)));
    add_member(m, "KDTree", reinterpret_cast<PyObject*>(type_object(Class::kd_tree)));
    add_member(m, "VPTree", reinterpret_cast<PyObject*>(type_object(Class::vp_tree)));
}

}  // namespace veltrix::py
