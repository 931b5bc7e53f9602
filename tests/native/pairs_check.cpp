// Pair searches over periodic trees (which Python cannot build yet) against brute force with
// minimum-image distances: listed pairs and their distances, counts per radius.
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "spatial/common/pairs.hpp"
#include "check.hpp"

using namespace veltrix;
using namespace veltrix::check;

namespace {

template <class Tree>
Tree periodic_tree(const std::vector<f64>& x, u64 n, u64 dim, DistanceMetric metric, const std::vector<f64>& box) {
    auto r = Tree::from_rows(std::vector<f64>(x), n, dim, 3, metric, {}, box);
    if (!r) {
        std::printf("FAIL build: %s\n", r.error().c_str());
        std::exit(1);
    }
    return std::move(r).value();
}

std::vector<u64> rows_of(const SortedPairs& p) {
    std::vector<u64> rows(p.size());
    for (u64 k = 0; k < p.size(); ++k) rows[k] = p.row(k);
    return rows;
}

// Coordinates crowded near both ends of each side, so that most close pairs meet across it.
std::vector<f64> edge_points(u64 n, u64 dim, const std::vector<f64>& box, unsigned seed) {
    std::mt19937_64 g(seed);
    std::uniform_real_distribution<f64> u(0.0, 1.0);
    std::vector<f64> x(n * dim);
    for (u64 p = 0; p < n; ++p)
        for (u64 i = 0; i < dim; ++i) {
            const f64 t = u(g) * 0.3 * box[i];
            x[p * dim + i] = u(g) < 0.5 ? t : box[i] - t - 1e-9;
        }
    return x;
}

template <class Tree>
void periodic_pairs(DistanceMetric metric, const std::string& name) {
    const u64 dim = 3, n = 150, m = 90;
    const std::vector<f64> box{1.0, 2.0, 0.75};
    const std::vector<f64> x = edge_points(n, dim, box, 1), y = edge_points(m, dim, box, 2);
    const Tree a = periodic_tree<Tree>(x, n, dim, metric, box), b = periodic_tree<Tree>(y, m, dim, metric, box);
    with_metric(metric, box.data(), [&]<class M>(const M& mt) {
        const auto dist = [&](const std::vector<f64>& p, u64 i, const std::vector<f64>& q, u64 j) {
            return mt.distance(p.data() + i * dim, q.data() + j * dim, dim);
        };
        const f64 radii[] = {0.1, 0.25, 0.25, 0.4};
        std::vector<u64> cum(4, 0);
        u64 listed = 0;
        for (u64 i = 0; i < n; ++i)
            for (u64 j = 0; j < m; ++j)
                for (u64 k = 0; k < 4; ++k) cum[k] += dist(x, i, y, j) <= radii[k];
        expect(count_pairs<u64>(a, b, radii, 4, nullptr, nullptr, true, 2) == cum, name + ": periodic counts");

        const SortedPairs cross = list_pairs(a, &b, 0.25, true, 2);
        const std::vector<u64> cross_rows = rows_of(cross);
        bool same = true;
        for (u64 i = 0; i < n; ++i)
            for (u64 j = 0; j < m; ++j) {
                const f64 d = dist(x, i, y, j);
                if (!(d <= 0.25)) continue;
                same = same && listed < cross.size() && cross_rows[listed] == i && cross.col(listed) == j &&
                       same_bits(cross.dists[listed], d);
                ++listed;
            }
        expect(same && listed == cross.size(), name + ": periodic sparse matrix");

        const SortedPairs own = list_pairs(a, static_cast<const Tree*>(nullptr), 0.25, true, 3);
        const std::vector<u64> own_rows = rows_of(own);
        listed = 0;
        same = true;
        for (u64 i = 0; i < n; ++i)
            for (u64 j = i + 1; j < n; ++j) {
                const f64 d = dist(x, i, x, j);
                if (!(d <= 0.25)) continue;
                same = same && listed < own.size() && own_rows[listed] == i && own.col(listed) == j &&
                       same_bits(own.dists[listed], d);
                ++listed;
            }
        expect(same && listed == own.size() && listed > 0, name + ": periodic pairs of one tree");
    });
}

template <class Tree>
void every_metric(const char* kind) {
    periodic_pairs<Tree>(DistanceMetric::Euclidean, std::string(kind) + " euclidean");
    periodic_pairs<Tree>(DistanceMetric::Manhattan, std::string(kind) + " manhattan");
    periodic_pairs<Tree>(DistanceMetric::Chebyshev, std::string(kind) + " chebyshev");
}

}  // namespace

int main() {
    every_metric<KDTree>("kd");
    every_metric<BallTree>("ball");
    every_metric<VPTree>("vp");
    if (failures) {
        std::printf("%d failures\n", failures);
        return 1;
    }
    std::printf("pair searches: all checks passed\n");
    return 0;
}
