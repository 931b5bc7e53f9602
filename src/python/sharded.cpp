// Private helpers of veltrix.spatial for trees sharded by rows (the veltrix_dask module): the
// boxes that pick the shards a query block visits, and the merges of per-shard answers. The
// orchestration around them moves NumPy arrays between processes, so these take and give
// NumPy arrays; the caller has NumPy loaded.
#include <cfloat>
#include <cmath>
#include <limits>
#include <cstring>
#include <optional>
#include <vector>

#include "python/frame.hpp"
#include "python/messages.hpp"
#include "python/numpy.hpp"
#include "spatial/common/kernels.hpp"
#include "spatial/common/merge.hpp"

namespace veltrix::py {

namespace {

using Metric = Choice<DistanceMetric, metric_from_name, msg::unknown_metric>;
using Kernel = Choice<KernelType, kernel_from_name, msg::unknown_kernel>;


// The values of a NumPy array (any real dtype) as float64. Row numbers and counts pass too:
// every integer below 2^53 is exact in a float64.
Array64 values(PyObject* o, const char* name) {
    (void)numpy::api();
    if (!numpy::is_ndarray(o)) raise(PyExc_TypeError, msg::argument_error(name, msg::not_numbers(type_name(o))));
    return numpy::read_f64(o, name);
}

std::vector<u64> row_numbers(const Array64& a) {
    std::vector<u64> out(a.data.size());
    for (u64 i = 0; i < out.size(); ++i) {
        if (!(a.data[i] >= 0.0)) raise(PyExc_ValueError, msg::shard_rows);
        out[i] = static_cast<u64>(a.data[i]);
    }
    return out;
}

u64 rows_of(const Array64& a) { return a.ndim() == 0 ? 1 : a.shape[0]; }

// The items of a sequence, each checked to be a tuple of `n` entries.
std::vector<PyObject*> items(PyObject* seq_ref, Py_ssize_t n) {
    std::vector<PyObject*> out;
    const Py_ssize_t len = PySequence_Fast_GET_SIZE(seq_ref);
    for (Py_ssize_t i = 0; i < len; ++i) {
        PyObject* t = PySequence_Fast_GET_ITEM(seq_ref, i);
        if (!PyTuple_Check(t) || PyTuple_GET_SIZE(t) != n) raise(PyExc_ValueError, msg::shard_part(n));
        out.push_back(t);
    }
    return out;
}

Ref sequence(PyObject* o) { return check_new(PySequence_Fast(o, msg::shard_parts)); }

u64 index_of(PyObject* o) {
    const std::optional<u64> v = to_index(o);
    if (!v) throw PyErrSet{};
    return *v;
}

template <class T>
Ref numpy_of(const std::vector<T>& v, const std::vector<u64>& dims) {
    using Out = std::conditional_t<std::is_same_v<T, f64>, f64, i64>;
    numpy::Fresh<Out> a = numpy::fresh<Out>(dims);
    if (!v.empty()) std::memcpy(a.data, v.data(), v.size() * sizeof(T));
    return std::move(a.array);
}

// ---------------------------------------------------------------------------------------------

Ref bounds_impl(PyObject* X) {
    const Array64 x = values(X, "X");
    if (x.ndim() != 2) raise(PyExc_ValueError, msg::batch_rank("X", x.ndim()));
    const u64 d = x.shape[1];
    std::vector<f64> lo(d), hi(d);
    // NaN: the caller words the refusal, for points or for queries.
    if (!sharded::bounds(x.data.data(), x.shape[0], d, lo.data(), hi.data())) return Ref::borrow(Py_None);
    return tuple_of(numpy_of(lo, {d}), numpy_of(hi, {d}));
}

// Gaps between box [lo, hi] and the m boxes [los[i], his[i]] (rows of points when los and
// his are the same rows); with `reach`, the positions i whose gap is at most reach (one
// value, or one per box) instead.
Ref box_gaps_impl(PyObject* los_o, PyObject* his_o, PyObject* lo_o, PyObject* hi_o, DistanceMetric metric,
                  std::optional<std::vector<f64>> boxsize, std::optional<PyObject*> reach_o) {
    const Array64 los = values(los_o, "los"), his = values(his_o, "his");
    const Array64 lo = values(lo_o, "lo"), hi = values(hi_o, "hi");
    const u64 d = lo.data.size();
    if (los.ndim() != 2 || los.shape != his.shape || los.shape[1] != d || hi.data.size() != d ||
        (boxsize && boxsize->size() != d))
        raise(PyExc_ValueError, msg::box_shapes);
    const u64 m = los.shape[0];
    std::vector<f64> gaps(m);
    for (u64 i = 0; i < m; ++i)
        gaps[i] = sharded::box_gap(lo.data.data(), hi.data.data(), los.data.data() + i * d, his.data.data() + i * d, d,
                                   metric, boxsize ? boxsize->data() : nullptr);
    if (!reach_o) return numpy_of(gaps, {m});
    Storage<f64> reach;
    if (const std::optional<double> r = PyFloat_Check(*reach_o) || PyLong_Check(*reach_o) ? to_f64(*reach_o)
                                                                                          : std::nullopt) {
        reach.assign(m, *r);
    } else {
        reach = values(*reach_o, "reach").data;
        if (reach.size() != m) raise(PyExc_ValueError, msg::box_shapes);
    }
    std::vector<i64> near;
    for (u64 i = 0; i < m; ++i)
        if (gaps[i] <= reach[i]) near.push_back(static_cast<i64>(i));
    return numpy_of(near, {near.size()});
}

// parts: (distances, shard-local rows, offset, shard size, query rows or None) per shard.
Ref merge_knn_impl(PyObject* parts_o, u64 m, u64 k, u64 n) {
    const Ref parts = sequence(parts_o);
    sharded::KnnMerge merge(m, k, n);
    for (PyObject* t : items(parts.get(), 5)) {
        const Array64 dist = values(PyTuple_GET_ITEM(t, 0), "distances");
        const std::vector<u64> local = row_numbers(values(PyTuple_GET_ITEM(t, 1), "rows"));
        const u64 offset = index_of(PyTuple_GET_ITEM(t, 2)), size = index_of(PyTuple_GET_ITEM(t, 3));
        PyObject* sel_o = PyTuple_GET_ITEM(t, 4);
        std::optional<std::vector<u64>> sel;
        if (sel_o != Py_None) sel = row_numbers(values(sel_o, "sel"));
        const u64 m_p = dist.data.empty() ? (sel ? sel->size() : m) : rows_of(dist);
        const u64 k_p = m_p == 0 ? 0 : dist.data.size() / m_p;
        if (local.size() != dist.data.size() || m_p * k_p != dist.data.size() || (sel ? sel->size() : m) != m_p)
            raise(PyExc_ValueError, msg::shard_rows);
        if (sel)
            for (const u64 i : *sel)
                if (i >= m) raise(PyExc_ValueError, msg::shard_rows);
        merge.add(dist.data.data(), local.data(), m_p, k_p, offset, size, sel ? sel->data() : nullptr);
    }
    return tuple_of(numpy_of(merge.distances(), {m, k}), numpy_of(merge.rows(), {m, k}));
}

// Query rows a per-shard result answers: `sel` (each below m) or, for None, all m rows.
std::optional<std::vector<u64>> selected(PyObject* sel_o, u64 m) {
    if (sel_o == Py_None) return std::nullopt;
    std::vector<u64> sel = row_numbers(values(sel_o, "sel"));
    for (const u64 i : sel)
        if (i >= m) raise(PyExc_ValueError, msg::shard_rows);
    return sel;
}

// parts: (list of row arrays, offset, list of distance arrays or None[, query rows or None])
// per shard; each list holds one array per query row answered (all m rows without query rows).
Ref merge_lists_impl(PyObject* parts_o, u64 m, bool sort_results) {
    const Ref parts = sequence(parts_o);
    std::vector<sharded::RowList> out(m);
    const Py_ssize_t len = PySequence_Fast_GET_SIZE(parts.get());
    for (Py_ssize_t p = 0; p < len; ++p) {
        PyObject* t = PySequence_Fast_GET_ITEM(parts.get(), p);
        if (!PyTuple_Check(t) || (PyTuple_GET_SIZE(t) != 3 && PyTuple_GET_SIZE(t) != 4))
            raise(PyExc_ValueError, msg::shard_part(4));
        const Ref lists = sequence(PyTuple_GET_ITEM(t, 0));
        const u64 offset = index_of(PyTuple_GET_ITEM(t, 1));
        PyObject* dists_o = PyTuple_GET_ITEM(t, 2);
        const std::optional<std::vector<u64>> sel = selected(PyTuple_GET_SIZE(t) == 4 ? PyTuple_GET_ITEM(t, 3) : Py_None, m);
        const u64 m_p = sel ? sel->size() : m;
        if (sort_results && dists_o == Py_None) raise(PyExc_ValueError, msg::shard_part(4));
        std::optional<Ref> dists;
        if (dists_o != Py_None) dists.emplace(sequence(dists_o));
        if (u64(PySequence_Fast_GET_SIZE(lists.get())) != m_p ||
            (dists && u64(PySequence_Fast_GET_SIZE(dists->get())) != m_p))
            raise(PyExc_ValueError, msg::shard_rows);
        for (u64 j = 0; j < m_p; ++j) {
            const std::vector<u64> local = row_numbers(values(PySequence_Fast_GET_ITEM(lists.get(), j), "rows"));
            Storage<f64> dist;
            if (sort_results) dist = values(PySequence_Fast_GET_ITEM(dists->get(), j), "distances").data;
            if (sort_results && dist.size() != local.size()) raise(PyExc_ValueError, msg::shard_rows);
            sharded::append_list(out[sel ? (*sel)[j] : j], local.data(), dist.data(), local.size(), offset,
                                 sort_results);
        }
    }
    Ref list = check_new(PyList_New(static_cast<Py_ssize_t>(m)));
    for (u64 i = 0; i < m; ++i)
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), numpy_of(out[i].rows, {out[i].rows.size()}).release());
    return list;
}

// m counts from (counts, query rows or None) per shard, added in the order given.
Ref add_counts_at_impl(PyObject* parts_o, u64 m) {
    const Ref parts = sequence(parts_o);
    std::vector<i64> sum(m, 0);
    for (PyObject* t : items(parts.get(), 2)) {
        const Array64 a = values(PyTuple_GET_ITEM(t, 0), "counts");
        const std::optional<std::vector<u64>> sel = selected(PyTuple_GET_ITEM(t, 1), m);
        if (a.data.size() != (sel ? sel->size() : m)) raise(PyExc_ValueError, msg::shard_rows);
        for (u64 j = 0; j < a.data.size(); ++j) {
            i64& to = sum[sel ? (*sel)[j] : j];
            to = to + static_cast<i64>(a.data[j]);
        }
    }
    return numpy_of(sum, {m});
}

// The sum of equally shaped arrays, added in the order given, from zero.
template <class T>
Ref add_parts(PyObject* parts_o, std::optional<f64> divisor) {
    const Ref parts = sequence(parts_o);
    const Py_ssize_t len = PySequence_Fast_GET_SIZE(parts.get());
    if (len == 0) raise(PyExc_ValueError, msg::shard_parts);
    std::vector<u64> dims;
    std::vector<T> sum;
    for (Py_ssize_t p = 0; p < len; ++p) {
        const Array64 a = values(PySequence_Fast_GET_ITEM(parts.get(), p), "parts");
        if (p == 0) {
            dims.assign(a.shape.dims.begin(), a.shape.dims.end());
            sum.assign(a.data.size(), T{0});
        } else if (!std::equal(dims.begin(), dims.end(), a.shape.dims.begin(), a.shape.dims.end())) {
            raise(PyExc_ValueError, msg::shard_rows);
        }
        std::vector<T> part(a.data.begin(), a.data.end());
        sharded::add_in_order(sum.data(), part.data(), sum.size());
    }
    if constexpr (std::is_same_v<T, f64>)
        if (divisor)
            for (f64& x : sum) x = x / *divisor;
    return numpy_of(sum, dims);
}

Ref add_counts_impl(PyObject* parts) { return add_parts<i64>(parts, std::nullopt); }
Ref add_densities_impl(PyObject* parts, std::optional<f64> divisor) { return add_parts<f64>(parts, divisor); }

// Logarithms of shard-ordered density sums, decided as one tree decides them: log of the
// (normalised) value where it is a normal number; a Gaussian sum below the normal range is left
// to a log-sum-exp over every point (its rows are returned, their places hold NaN); otherwise
// log(sum) - log_norm, -inf for a zero sum.
Ref density_logs_impl(PyObject* sums_o, std::optional<f64> divisor, double log_norm, bool gaussian) {
    const Array64 sums = values(sums_o, "sums");
    const u64 m = sums.data.size();
    std::vector<f64> out(m);
    std::vector<i64> deferred;
    for (u64 i = 0; i < m; ++i) {
        const f64 sum = sums.data[i];
        const f64 v = divisor ? sum / *divisor : sum;
        if (v >= DBL_MIN && v <= DBL_MAX) {
            out[i] = std::log(v);
        } else if (gaussian && sum < DBL_MIN) {
            out[i] = std::numeric_limits<f64>::quiet_NaN();
            deferred.push_back(static_cast<i64>(i));
        } else {
            out[i] = sum > 0.0 ? std::log(sum) - log_norm : -std::numeric_limits<f64>::infinity();
        }
    }
    return tuple_of(numpy_of(out, {m}), numpy_of(deferred, {deferred.size()}));
}

// log of the sum of exp(parts[s]) over the shards, minus log_norm: each part a shard's log
// sum; the largest first, then the sum of the exponentials relative to it, in shard order.
Ref add_logs_impl(PyObject* parts_o, double log_norm) {
    const Ref parts = sequence(parts_o);
    const Py_ssize_t len = PySequence_Fast_GET_SIZE(parts.get());
    if (len == 0) raise(PyExc_ValueError, msg::shard_parts);
    std::vector<Storage<f64>> logs;
    for (Py_ssize_t p = 0; p < len; ++p) {
        logs.push_back(values(PySequence_Fast_GET_ITEM(parts.get(), p), "parts").data);
        if (logs.back().size() != logs.front().size()) raise(PyExc_ValueError, msg::shard_rows);
    }
    const u64 m = logs.front().size();
    std::vector<f64> out(m);
    for (u64 i = 0; i < m; ++i) {
        f64 top = -std::numeric_limits<f64>::infinity();
        for (const auto& l : logs) top = l[i] > top ? l[i] : top;
        if (top == -std::numeric_limits<f64>::infinity()) {
            out[i] = top;
            continue;
        }
        f64 s = 0.0;
        for (const auto& l : logs) s = s + std::exp(l[i] - top);
        out[i] = (top + std::log(s)) - log_norm;
    }
    return numpy_of(out, {m});
}

// What a normalised log density subtracts, formed as one tree forms it.
Ref density_log_norm_impl(double total_weight, double bandwidth, KernelType kernel, DistanceMetric metric, u64 dim) {
    return to_py((std::log(total_weight) + static_cast<f64>(dim) * std::log(bandwidth)) +
                 kernel_log_norm(kernel, metric, dim));
}

// start + w[0] + w[1] + ..., one addition at a time: chained over the shards in order, the
// total weight of all points with the bits of one tree's.
Ref weight_total_impl(PyObject* w, double start) {
    const Array64 a = values(w, "weights");
    f64 s = start;
    for (const f64 x : a.data) s = s + x;
    return to_py(s);
}

// What a normalised density divides its sum by, formed as one tree forms it.
Ref density_divisor_impl(double total_weight, double bandwidth, KernelType kernel, DistanceMetric metric, u64 dim) {
    return to_py((total_weight * std::pow(bandwidth, static_cast<f64>(dim))) * kernel_norm(kernel, metric, dim));
}

constexpr auto bounds_sig = signature("_bounds", param<Object>("X"));
constexpr auto box_gaps_sig =
    signature("_box_gaps", param<Object>("los"), param<Object>("his"), param<Object>("lo"), param<Object>("hi"),
              param<Metric>("metric", "euclidean"), optional_param<Floats>("boxsize"), optional_param<Object>("reach"));
constexpr auto merge_knn_sig =
    signature("_merge_knn", param<Object>("parts"), param<Index>("m"), param<Index>("k"), param<Index>("n"));
constexpr auto merge_lists_sig = signature("_merge_lists", param<Object>("parts"), param<Index>("m"),
                                           strict_param<Flag>("sort_results", false));
constexpr auto add_counts_sig = signature("_add_counts", param<Object>("parts"));
constexpr auto add_counts_at_sig = signature("_add_counts_at", param<Object>("parts"), param<Index>("m"));
constexpr auto density_logs_sig =
    signature("_density_logs", param<Object>("sums"), optional_param<F64>("divisor"), param<F64>("log_norm", 0.0),
              strict_param<Flag>("gaussian", false));
constexpr auto add_logs_sig = signature("_add_logs", param<Object>("parts"), param<F64>("log_norm", 0.0));
constexpr auto density_log_norm_sig =
    signature("_density_log_norm", param<F64>("total_weight"), param<F64>("bandwidth"), param<Kernel>("kernel"),
              param<Metric>("metric"), param<Index>("dim"));
constexpr auto add_densities_sig =
    signature("_add_densities", param<Object>("parts"), optional_param<F64>("divisor"));
constexpr auto weight_total_sig = signature("_weight_total", param<Object>("weights"), param<F64>("start", 0.0));
constexpr auto density_divisor_sig =
    signature("_density_divisor", param<F64>("total_weight"), param<F64>("bandwidth"), param<Kernel>("kernel"),
              param<Metric>("metric"), param<Index>("dim"));

PyMethodDef sharded_functions[] = {
    def<bounds_sig, bounds_impl>(),
    def<box_gaps_sig, box_gaps_impl>(),
    def<merge_knn_sig, merge_knn_impl>(),
    def<merge_lists_sig, merge_lists_impl>(),
    def<add_counts_sig, add_counts_impl>(),
    def<add_counts_at_sig, add_counts_at_impl>(),
    def<density_logs_sig, density_logs_impl>(),
    def<add_logs_sig, add_logs_impl>(),
    def<density_log_norm_sig, density_log_norm_impl>(),
    def<add_densities_sig, add_densities_impl>(),
    def<weight_total_sig, weight_total_impl>(),
    def<density_divisor_sig, density_divisor_impl>(),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void register_sharded(PyObject* m) { add_functions(m, sharded_functions, false); }

}  // namespace veltrix::py
