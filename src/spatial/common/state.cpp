// Tree states, versions 1 and 2. All numbers little-endian:
//
//   header  "VXTS", u32 version, u8 kind, u8 metric, u8 selection (0 except for VP trees),
//           u8 index width w (4 when every position fits in 32 bits, else 8), u32 zero,
//           u64 n_points, u64 dim, u64 leaf_size, u64 n_nodes                  (48 bytes)
//   box     version 2 only: dim f64 side lengths of the periodic box, each positive and finite
//   points  n_points x dim f64, in tree order
//   rows    n_points w-byte input row numbers, one per position
//   splits  n_nodes w-byte words in node (pre-)order: 0 for a leaf, else the first position
//           of the right child
//   ball    n_nodes x (1 + dim) f64: radius, then centroid
//   vp      n_nodes x 3 f64 (threshold, min_dist, max_dist), then n_nodes w-byte vantage
//           positions
//
// A tree without a box writes version 1, so its state is what it always was; a periodic tree
// writes version 2, which readers of version 1 alone refuse rather than misread.
//
// The k-d boxes are recomputed, leaves from their points and internal nodes from their
// children: minima and maxima do not depend on the order they are taken in (the sign of a
// zero bound may, which no query can tell apart). The split value is the smallest coordinate
// of the right child along the split coordinate, the selected median itself. Centroids are
// sums in build order and vantage thresholds need a selection per node, so both are stored.
#include "spatial/common/state.hpp"

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <type_traits>

#include "array/messages.hpp"
#include "spatial/ball_tree/ball_tree.hpp"
#include "spatial/kd_tree/kd_tree.hpp"
#include "spatial/vp_tree/vp_tree.hpp"

namespace veltrix {

namespace {

static_assert(std::endian::native == std::endian::little, "tree states are written little-endian in place");

constexpr unsigned char state_magic[4] = {'V', 'X', 'T', 'S'};
constexpr std::uint32_t plain_version = 1, periodic_version = 2;
constexpr std::size_t header_bytes = 48;
// The builds halve every range, so no built tree comes near this depth; a deeper one would
// only exhaust the stack of the recursive searches.
constexpr u64 max_depth = 128;

const char* kind_name(TreeKind k) {
    static constexpr const char* names[] = {"KDTree", "BallTree", "VPTree"};
    return names[static_cast<int>(k)];
}

template <class P>
constexpr TreeKind kind_of() {
    if constexpr (std::is_same_v<P, KdPolicy>) return TreeKind::KD;
    else if constexpr (std::is_same_v<P, BallPolicy>) return TreeKind::Ball;
    else return TreeKind::VP;
}

// Policy-specific floats per node and index words per node, beyond the split words.
template <class P>
u64 node_floats_stored(u64 dim) {
    if constexpr (std::is_same_v<P, BallPolicy>) return 1 + dim;
    else if constexpr (std::is_same_v<P, VpPolicy>) return 3;
    else return 0;
}
template <class P>
constexpr u64 node_indices_stored() {
    return std::is_same_v<P, VpPolicy> ? 2 : 1;
}

// Writes into a buffer already sized to the whole state.
class Writer {
public:
    explicit Writer(unsigned char* p) : p_(p) {}
    void raw(const void* src, std::size_t n) noexcept {
        if (n) std::memcpy(p_, src, n);
        p_ += n;
    }
    void u8(unsigned char v) noexcept { *p_++ = v; }
    void u32(std::uint32_t v) noexcept { raw(&v, 4); }
    void u64_(u64 v) noexcept { raw(&v, 8); }
    void f64_(f64 v) noexcept { raw(&v, 8); }
    void index(u64 v, unsigned width) noexcept {
        if (width == 4) u32(static_cast<std::uint32_t>(v));
        else u64_(v);
    }

private:
    unsigned char* p_;
};

// Reads a buffer whose total length has already been checked against the header.
class Reader {
public:
    explicit Reader(const unsigned char* p) : p_(p) {}
    const unsigned char* take(std::size_t n) noexcept {
        const unsigned char* at = p_;
        p_ += n;
        return at;
    }
    unsigned char u8() noexcept { return *take(1); }
    std::uint32_t u32() noexcept {
        std::uint32_t v;
        std::memcpy(&v, take(4), 4);
        return v;
    }
    u64 u64_() noexcept {
        u64 v;
        std::memcpy(&v, take(8), 8);
        return v;
    }
    f64 f64_() noexcept {
        f64 v;
        std::memcpy(&v, take(8), 8);
        return v;
    }
    u64 index(unsigned width) noexcept { return width == 4 ? u64{u32()} : u64_(); }

private:
    const unsigned char* p_;
};

struct Header {
    TreeKind kind;
    DistanceMetric metric;
    unsigned char selection;
    unsigned width;
    u64 n_points, dim, leaf_size, n_nodes;
    bool periodic;
};

// a * b + c, or nothing when it overflows.
std::optional<u64> mul_add(u64 a, u64 b, u64 c) {
    u64 r;
    if (__builtin_mul_overflow(a, b, &r) || __builtin_add_overflow(r, c, &r)) return std::nullopt;
    return r;
}

Result<Header> read_header(const unsigned char* data, std::size_t size) {
    if (size < 8 || std::memcmp(data, state_magic, 4) != 0) return Error{msg::tree_state::not_state};
    Reader r(data + 4);
    const std::uint32_t version = r.u32();
    if (version != plain_version && version != periodic_version) return Error{msg::tree_state::version(version)};
    if (size < header_bytes) return Error{msg::tree_state::length};
    Header h;
    h.periodic = version == periodic_version;
    const unsigned char kind = r.u8(), metric = r.u8();
    h.selection = r.u8();
    h.width = r.u8();
    const std::uint32_t zero = r.u32();
    h.n_points = r.u64_();
    h.dim = r.u64_();
    h.leaf_size = r.u64_();
    h.n_nodes = r.u64_();
    if (kind > 2 || metric > 2 || zero != 0 || h.leaf_size == 0 || (h.width != 4 && h.width != 8))
        return Error{msg::tree_state::header};
    h.kind = static_cast<TreeKind>(kind);
    h.metric = static_cast<DistanceMetric>(metric);
    if (h.selection > (h.kind == TreeKind::VP ? 1 : 0)) return Error{msg::tree_state::header};
    // Every position and split must fit the index width.
    if (h.width == 4 && h.n_points > std::numeric_limits<std::uint32_t>::max()) return Error{msg::tree_state::header};
    // No tree of more points is ever built; a state claiming one is refused as a build would be.
    if (h.n_points > max_tree_points(h.leaf_size))
        return Error{msg::too_many_points(h.n_points, max_tree_points(h.leaf_size))};
    // A tree of n points has one node when n is 0 and at most 2n - 1 otherwise.
    if (h.n_nodes == 0 || (h.n_points > 0 && h.n_nodes / 2 >= h.n_points) || (h.n_points == 0 && h.n_nodes != 1))
        return Error{msg::tree_state::nodes};
    return h;
}

// The exact byte length a header announces, or nothing when it does not fit in 64 bits.
template <class P>
std::optional<u64> state_length(const Header& h) {
    std::optional<u64> n = mul_add(h.n_points + (h.periodic ? 1 : 0), h.dim, 0);
    if (n) n = mul_add(*n, 8, header_bytes);
    if (n) n = mul_add(h.n_points, h.width, *n);
    if (n) n = mul_add(h.n_nodes, h.width * node_indices_stored<P>(), *n);
    const std::optional<u64> per_node = mul_add(node_floats_stored<P>(h.dim), 8, 0);
    if (n && per_node) n = mul_add(h.n_nodes, *per_node, *n);
    return per_node ? n : std::nullopt;
}

unsigned index_width(u64 n_points) { return n_points <= std::numeric_limits<std::uint32_t>::max() ? 4 : 8; }

// Rebuilds the node ranges and links from the split words, checking that they describe a
// tree the build could have made: ranges nested in pre-order, children non-empty, a node
// split exactly when it holds more than leaf_size points (and has coordinates), bounded depth.
template <class Node>
bool restore_structure(const Header& h, Reader& r, std::vector<Node>& nodes) {
    struct Pending {
        u64 start, end, parent, depth;
        bool right;
    };
    nodes.resize(h.n_nodes);
    std::vector<Pending> stack{{0, h.n_points, no_child, 0, false}};
    u64 id = 0;
    while (!stack.empty()) {
        const Pending p = stack.back();
        stack.pop_back();
        if (id == h.n_nodes || p.depth > max_depth) return false;
        Node& node = nodes[id];
        node.start = static_cast<TreeIndex>(p.start);
        node.end = static_cast<TreeIndex>(p.end);
        // A left child is always its parent's next node.
        if (p.parent != no_child && p.right) nodes[p.parent].right = static_cast<TreeIndex>(id);
        const u64 split = r.index(h.width);
        const bool splits = p.end - p.start > h.leaf_size && h.dim > 0;
        if (splits != (split != 0)) return false;
        if (splits) {
            if (!(p.start < split && split < p.end)) return false;
            stack.push_back({split, p.end, id, p.depth + 1, true});
            stack.push_back({p.start, split, id, p.depth + 1, false});
        }
        ++id;
    }
    return id == h.n_nodes;
}

// k-d boxes bottom-up, each node's split coordinate from its box as the build chose it.
void restore_boxes(KDTree& t) {
    derive_boxes(t, t.nodes);
    for (u64 id = 0; id < t.nodes.size(); ++id) {
        const f64* lo = t.block(id);
        t.nodes[id].split_dim = static_cast<TreeIndex>(widest_dim(lo, lo + t.dim, t.dim));
    }
}

template <class P>
Header header_of(const SpatialTree<P>& t) {
    Header h{kind_of<P>(), t.metric, 0, index_width(t.n_points), t.n_points, t.dim, t.leaf_size,
             t.nodes.size(), t.periodic()};
    if constexpr (std::is_same_v<P, VpPolicy>) h.selection = static_cast<unsigned char>(t.options.selection);
    return h;
}

}  // namespace

template <class P>
u64 tree_state_length(const SpatialTree<P>& t) {
    return *state_length<P>(header_of(t));
}

template <class P>
void write_tree_state(const SpatialTree<P>& t, unsigned char* out) {
    const Header h = header_of(t);
    const unsigned width = h.width;
    Writer w(out);
    w.raw(state_magic, 4);
    w.u32(h.periodic ? periodic_version : plain_version);
    w.u8(static_cast<unsigned char>(h.kind));
    w.u8(static_cast<unsigned char>(h.metric));
    w.u8(h.selection);
    w.u8(static_cast<unsigned char>(width));
    w.u32(0);
    w.u64_(h.n_points);
    w.u64_(h.dim);
    w.u64_(h.leaf_size);
    w.u64_(h.n_nodes);
    w.raw(t.box.data(), t.box.size() * sizeof(f64));
    w.raw(t.data.data(), t.data.size() * sizeof(f64));
    for (const u64 row : t.indices) w.index(row, width);
    for (const auto& node : t.nodes) w.index(node.is_leaf() ? 0 : t.nodes[node.right].start, width);
    if constexpr (std::is_same_v<P, BallPolicy>) {
        for (u64 id = 0; id < t.nodes.size(); ++id) {
            w.f64_(t.nodes[id].radius);
            w.raw(t.block(id), t.dim * sizeof(f64));
        }
    } else if constexpr (std::is_same_v<P, VpPolicy>) {
        for (const auto& node : t.nodes) {
            w.f64_(node.threshold);
            w.f64_(node.min_dist);
            w.f64_(node.max_dist);
        }
        for (const auto& node : t.nodes) w.index(node.vantage, width);
    }
}

Result<TreeKind> tree_state_kind(const unsigned char* data, std::size_t size) {
    Result<Header> h = read_header(data, size);
    if (!h) return Error{h.error()};
    return h.value().kind;
}

template <class P>
Result<SpatialTree<P>> tree_from_state(const unsigned char* data, std::size_t size) {
    Result<Header> parsed = read_header(data, size);
    if (!parsed) return Error{parsed.error()};
    const Header& h = parsed.value();
    if (h.kind != kind_of<P>()) return Error{msg::tree_state::kind(kind_name(h.kind), kind_name(kind_of<P>()))};
    const std::optional<u64> length = state_length<P>(h);
    if (!length || *length != size) return Error{msg::tree_state::length};

    SpatialTree<P> t;
    t.n_points = h.n_points;
    t.dim = h.dim;
    t.leaf_size = h.leaf_size;
    t.metric = h.metric;
    t.block_len = P::floats_per_node(h.dim);
    t.slack = TreeData::slack_for(h.dim);
    if constexpr (std::is_same_v<P, VpPolicy>) t.options.selection = static_cast<VantageSelection>(h.selection);

    Reader r(data + header_bytes);
    if (h.periodic) {
        t.box.resize(h.dim);
        const unsigned char* box = r.take(h.dim * sizeof(f64));
        if (h.dim) std::memcpy(t.box.data(), box, h.dim * sizeof(f64));
        for (const f64 L : t.box)
            if (!(L > 0.0 && std::isfinite(L))) return Error{msg::tree_state::box};
        t.abs_slack = TreeData::abs_slack_for(t.box);
    }
    t.data.resize(h.n_points * h.dim);
    // An empty tree has no buffer, and memcpy must not see its null pointer.
    const unsigned char* stored = r.take(t.data.size() * sizeof(f64));
    if (!t.data.empty()) std::memcpy(t.data.data(), stored, t.data.size() * sizeof(f64));
    for (const f64 x : t.data)
        if (std::isnan(x)) return Error{msg::tree_state::nan};
    // Searches assume every stored point inside the box.
    for (u64 p = 0; h.periodic && p < t.data.size(); ++p)
        if (!(t.data[p] >= 0.0 && t.data[p] < t.box[p % h.dim])) return Error{msg::tree_state::box};

    t.indices.resize(h.n_points);
    std::vector<unsigned char> seen(h.n_points, 0);
    for (TreeIndex& row : t.indices) {
        const u64 stored_row = r.index(h.width);
        if (stored_row >= h.n_points || seen[stored_row]) return Error{msg::tree_state::rows};
        seen[stored_row] = 1;
        row = static_cast<TreeIndex>(stored_row);
    }

    if (!restore_structure(h, r, t.nodes)) return Error{msg::tree_state::nodes};
    t.node_floats.resize(h.n_nodes * t.block_len);

    if constexpr (std::is_same_v<P, KdPolicy>) {
        restore_boxes(t);
    } else if constexpr (std::is_same_v<P, BallPolicy>) {
        for (u64 id = 0; id < h.n_nodes; ++id) {
            const f64 radius = r.f64_();
            // The build only ever raises the radius from 0.0 by comparisons, so never NaN.
            if (!(radius >= 0.0)) return Error{msg::tree_state::radius};
            t.nodes[id].radius = radius;
            const unsigned char* centroid = r.take(h.dim * sizeof(f64));
            if (h.dim) std::memcpy(t.node_floats.data() + id * h.dim, centroid, h.dim * sizeof(f64));
        }
    } else {
        for (VPNode& node : t.nodes) {
            node.threshold = r.f64_();
            node.min_dist = r.f64_();
            node.max_dist = r.f64_();
        }
        const bool first = t.options.selection == VantageSelection::First;
        for (VPNode& node : t.nodes) {
            const u64 vantage = r.index(h.width);
            // The vantage point stays inside its node; with First it never leaves the node's
            // first position. The empty root of an empty tree keeps 0.
            const bool inside = node.count() == 0 ? vantage == 0
                                : first           ? vantage == node.start
                                                  : node.start <= vantage && vantage < node.end;
            if (!inside) return Error{msg::tree_state::vantage};
            node.vantage = static_cast<TreeIndex>(vantage);
        }
        VpPolicy::derive_boxes(t, t.nodes);
    }
    return t;
}

template u64 tree_state_length(const SpatialTree<KdPolicy>&);
template u64 tree_state_length(const SpatialTree<BallPolicy>&);
template u64 tree_state_length(const SpatialTree<VpPolicy>&);
template void write_tree_state(const SpatialTree<KdPolicy>&, unsigned char*);
template void write_tree_state(const SpatialTree<BallPolicy>&, unsigned char*);
template void write_tree_state(const SpatialTree<VpPolicy>&, unsigned char*);
template Result<SpatialTree<KdPolicy>> tree_from_state(const unsigned char*, std::size_t);
template Result<SpatialTree<BallPolicy>> tree_from_state(const unsigned char*, std::size_t);
template Result<SpatialTree<VpPolicy>> tree_from_state(const unsigned char*, std::size_t);

}  // namespace veltrix
