// Batched traversal. The targets of a chunk are put into key order once and
// cut into batches of consecutive targets of that order, so that a batch is
// compact in space and its lists long. A batch is walked in groups of up to
// 64 consecutive targets: a node whose opening test comes out the same for
// every target of the group, by the group's bounding box, is decided once for
// all of them; only the others are tested target by target. The walks record
// their interactions, the records are grouped into target lists, and each
// list is evaluated with one kernel call per element (near) or node (far). A
// target's interactions are exactly those of its own walk and are summed in
// list id order, so no result depends on its batch or group.
#include "octree/evaluation.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <limits>
#include <span>
#include <utility>

#include "biotsavart/direct.hpp"
#include "lib/failure.hpp"
#include "octree/kernels.hpp"

namespace corvane {
namespace {

// What the walk reads of a node: its ball, and either its consecutive
// children [first, first + n_children) or, for a leaf (n_children 0), its
// near list id in `first`.
struct WalkNode {
    double cx, cy, cz, radius;
    std::uint32_t first;
    std::uint32_t n_children;
};

struct TreeWalk {
    std::vector<WalkNode> nodes;
    std::vector<std::uint32_t> leaves;  // node index of each near list id
};

TreeWalk make_walk(const OctreeTopology& topology, const NodeMoments& moments) {
    const std::size_t k = topology.size();
    TreeWalk walk;
    for (std::size_t i = 0; i < k; ++i) {
        if (topology.is_leaf[i]) walk.leaves.push_back(static_cast<std::uint32_t>(i));
    }
    std::sort(walk.leaves.begin(), walk.leaves.end(), [&](std::uint32_t a, std::uint32_t b) {
        return topology.source_range[a].start < topology.source_range[b].start;
    });
    walk.nodes.resize(k);
    for (std::size_t i = 0; i < k; ++i) {
        const Vec3 c = moments.center[i];
        const NodeChildren& children = topology.children[i];
        const auto n_children = static_cast<std::uint32_t>(std::count_if(
            children.begin(), children.end(), [](std::int32_t child) { return child != NO_CHILD; }));
        walk.nodes[i] = WalkNode{c.x, c.y, c.z, moments.radius[i],
                                 n_children > 0 ? static_cast<std::uint32_t>(children[0]) : 0, n_children};
    }
    for (std::size_t r = 0; r < walk.leaves.size(); ++r) walk.nodes[walk.leaves[r]].first = static_cast<std::uint32_t>(r);
    return walk;
}

MultipoleKernel select_multipole_kernel(bool magnetization, bool h_field, bool order_is_one) {
    if (magnetization) {
        if (h_field) return multipole_h_from_m_0;
        return order_is_one ? multipole_a_from_m_1 : multipole_a_from_m_0;
    }
    if (h_field) return order_is_one ? multipole_h_from_j_1 : multipole_h_from_j_0;
    return multipole_a_from_j;
}

// Kernels run whole vectors over a list and finish with one lane at a
// time, which costs about as much per target as a whole vector. Lists are
// therefore padded with copies of their last target up to a multiple of the
// widest vector (eight float64 lanes); a kernel's result for a target does not
// depend on its position or on the list length, and padded outputs are
// dropped.
constexpr std::size_t PAD = 8;
std::size_t padded(std::size_t n) { return (n + PAD - 1) / PAD * PAD; }

// Targets walked together: consecutive in key order, one mask word.
constexpr std::size_t GROUP = 32;
constexpr std::uint64_t WHOLE_GROUP = (std::uint64_t{1} << GROUP) - 1;

// Calls f(j, k) for the targets of a list in order: j counts them, k is the
// target's position in the batch. Whole groups take a plain loop.
template <class F>
void for_each_target(std::span<const GroupRecord> list, const F& f) {
    std::size_t j = 0;
    for (const GroupRecord& record : list) {
        const std::size_t base = std::size_t{record.group} * GROUP;
        if (record.mask == WHOLE_GROUP) {
            for (std::size_t b = 0; b < GROUP; ++b) f(j + b, base + b);
            j += GROUP;
        } else {
            for (std::uint64_t bits = record.mask; bits != 0; bits &= bits - 1) {
                f(j++, base + static_cast<std::size_t>(std::countr_zero(bits)));
            }
        }
    }
}

// The bounding box of a group's targets; `finite` is false when a coordinate
// is not finite, and then every test is made target by target.
struct GroupBox {
    double lo[3], hi[3];
    bool finite;
};

enum class Opening { AllAccept, AllOpen, Mixed };

// Three coordinate or value lists of one length.
struct Lists3 {
    std::vector<double> x, y, z;
    void resize(std::size_t n) {
        x.resize(n);
        y.resize(n);
        z.resize(n);
    }
};

class ChunkEvaluator {
public:
    ChunkEvaluator(const Octree& tree, const NodeMoments& moments, Vec3List vectors, bool h_field,
                   bool magnetization, std::size_t max_piece_records)
        : tree_(tree),
          moments_(moments),
          vectors_(vectors),
          walk_(make_walk(tree.topology, moments)),
          n_leaves_(walk_.leaves.size()),
          theta_(tree.params.theta),
          near_(select_kernel(magnetization, h_field, tree.params.use_point_kernels)),
          far_(select_multipole_kernel(magnetization, h_field, tree.params.order_is_one)),
          piece_records_(std::min(max_piece_records, std::size_t{1} << 31)) {
        lists_.counts.assign(n_leaves_ + tree.topology.size(), 0);
        lists_.sizes.assign(lists_.counts.size(), 0);
        lists_.ends.assign(lists_.counts.size(), 0);
    }

    // Orders all targets of the chunk by key; batches are then consecutive
    // runs of that order.
    void sort_targets(const ChunkPair& chunk);
    void evaluate_batch(const ChunkPair& chunk, std::size_t begin, std::size_t end);

private:
    GroupBox group_box(std::size_t begin, std::size_t end) const;
    std::size_t walk_group(std::uint32_t group, std::size_t begin, std::size_t end);
    void evaluate_piece(std::size_t n_records);
    void gather(std::span<const GroupRecord> list, std::size_t n);
    void add_near(std::uint32_t leaf, std::span<const GroupRecord> list, std::size_t n);
    void add_far(std::uint32_t node, std::span<const GroupRecord> list, std::size_t n);
    ChunkPair scratch_chunk(std::size_t n);

    const Octree& tree_;
    const NodeMoments& moments_;
    Vec3List vectors_;
    TreeWalk walk_;
    std::size_t n_leaves_;
    double theta_;
    ElementKernel near_;
    MultipoleKernel far_;
    std::size_t piece_records_;

    // Batch data, kept across batches to avoid reallocation.
    std::vector<std::pair<std::uint64_t, std::size_t>> keyed_;  // chunk positions in key order
    Lists3 sorted_;       // batch target coordinates in key order
    Lists3 sums_;         // field sums in key order
    std::vector<GroupRecord> records_;        // the piece's interactions, group after group
    InteractionLists lists_;
    Lists3 gathered_, out_, partial_;         // scratch of the longest list
};

void ChunkEvaluator::sort_targets(const ChunkPair& chunk) {
    const std::size_t n = chunk.x.size();
    keyed_.resize(n);
    if (n == 0) return;
    Vec3 lo{chunk.x[0], chunk.y[0], chunk.z[0]}, hi = lo;
    for (std::size_t b = 1; b < n; ++b) {
        lo = {std::fmin(lo.x, chunk.x[b]), std::fmin(lo.y, chunk.y[b]), std::fmin(lo.z, chunk.z[b])};
        hi = {std::fmax(hi.x, chunk.x[b]), std::fmax(hi.y, chunk.y[b]), std::fmax(hi.z, chunk.z[b])};
    }
    const double edge = std::fmax(std::fmax(hi.x - lo.x, hi.y - lo.y), hi.z - lo.z);
    for (std::size_t b = 0; b < n; ++b) {
        keyed_[b] = {morton_code({chunk.x[b], chunk.y[b], chunk.z[b]}, edge, lo), b};
    }
    // Ties keep chunk order through the position.
    std::sort(keyed_.begin(), keyed_.end());
}

// The opening test: a node is used whole for a target when its ball, seen
// from the target, is small enough.
bool accepts(double theta, const WalkNode& node, double tx, double ty, double tz) {
    const double dx = tx - node.cx, dy = ty - node.cy, dz = tz - node.cz;
    const double dist = std::sqrt((dx * dx + dy * dy) + dz * dz);
    return theta * dist > node.radius;
}

// The opening test for all targets of a box at once. Rounding is monotone,
// so with the same operations as `accepts`, each target's computed distance
// lies between those computed to the nearest and the farthest point of the
// box: when both ends give the same answer, every target gives it.
Opening opening_of(double theta, const WalkNode& node, const GroupBox& box) {
    if (!box.finite) return Opening::Mixed;
    const double c[3] = {node.cx, node.cy, node.cz};
    double near[3], far[3];
    for (int a = 0; a < 3; ++a) {
        const double below = box.lo[a] - c[a], above = c[a] - box.hi[a];
        near[a] = below > 0.0 ? below : (above > 0.0 ? above : 0.0);
        far[a] = std::fmax(std::fabs(below), std::fabs(box.hi[a] - c[a]));
    }
    const double nearest = std::sqrt((near[0] * near[0] + near[1] * near[1]) + near[2] * near[2]);
    if (theta * nearest > node.radius) return Opening::AllAccept;
    const double farthest = std::sqrt((far[0] * far[0] + far[1] * far[1]) + far[2] * far[2]);
    if (!(theta * farthest > node.radius)) return Opening::AllOpen;
    return Opening::Mixed;
}

GroupBox ChunkEvaluator::group_box(std::size_t begin, std::size_t end) const {
    GroupBox box{{sorted_.x[begin], sorted_.y[begin], sorted_.z[begin]},
                 {sorted_.x[begin], sorted_.y[begin], sorted_.z[begin]},
                 true};
    for (std::size_t k = begin; k < end; ++k) {
        const double p[3] = {sorted_.x[k], sorted_.y[k], sorted_.z[k]};
        for (int a = 0; a < 3; ++a) {
            box.finite = box.finite && std::isfinite(p[a]);
            box.lo[a] = std::fmin(box.lo[a], p[a]);
            box.hi[a] = std::fmax(box.hi[a], p[a]);
        }
    }
    return box;
}

// Records the interactions of targets [begin, end) of the batch (group
// `group`): a node whose ball is far enough from a target is used whole for
// it, a leaf that is not contributes its elements, any other node is opened
// for the targets that reached it. Returns the number of list entries added.
std::size_t ChunkEvaluator::walk_group(std::uint32_t group, std::size_t begin, std::size_t end) {
    const GroupBox box = group_box(begin, end);
    const WalkNode* nodes = walk_.nodes.data();
    const auto far_base = static_cast<std::uint32_t>(n_leaves_);
    std::size_t entries = 0;
    auto record = [&](std::uint32_t id, std::uint64_t mask) {
        records_.push_back({id, group, mask});
        entries += static_cast<std::size_t>(std::popcount(mask));
    };
    // Each node is tested once for the targets that reached it. Depth is at
    // most 21 and each step replaces one entry by at most eight.
    struct Pending {
        std::uint32_t node;
        std::uint64_t mask;
    };
    std::array<Pending, 8 * (MAX_DEPTH + 1)> stack;
    std::size_t top = 0;
    const std::size_t n = end - begin;
    stack[top++] = {0, n == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << n) - 1};
    while (top > 0) {
        const auto [index, mask] = stack[--top];
        const WalkNode& node = nodes[index];
        std::uint64_t open = mask;
        switch (opening_of(theta_, node, box)) {
            case Opening::AllAccept:
                open = 0;
                break;
            case Opening::AllOpen:
                break;
            case Opening::Mixed:
                for (std::uint64_t bits = mask; bits != 0; bits &= bits - 1) {
                    const std::size_t k = begin + static_cast<std::size_t>(std::countr_zero(bits));
                    if (accepts(theta_, node, sorted_.x[k], sorted_.y[k], sorted_.z[k])) open &= ~(bits & -bits);
                }
                break;
        }
        if (open != mask) record(far_base + index, mask & ~open);
        if (open == 0) continue;
        if (node.n_children == 0) {
            record(node.first, open);
        } else {
            for (std::uint32_t c = node.n_children; c-- > 0;) stack[top++] = {node.first + c, open};
        }
    }
    return entries;
}

void ChunkEvaluator::evaluate_batch(const ChunkPair& chunk, std::size_t begin, std::size_t end) {
    const std::size_t n = end - begin;
    sorted_.resize(n);
    for (std::size_t k = 0; k < n; ++k) {
        const std::size_t b = keyed_[begin + k].second;
        sorted_.x[k] = chunk.x[b];
        sorted_.y[k] = chunk.y[b];
        sorted_.z[k] = chunk.z[b];
    }
    sums_.x.assign(n, 0.0);
    sums_.y.assign(n, 0.0);
    sums_.z.assign(n, 0.0);

    // Pieces of the key-ordered batch: consecutive groups whose list entries
    // stay within the bound, or a single group (at most one entry per node
    // and target), so that a piece's memory stays bounded. A target's
    // interactions and their order do not depend on its piece.
    records_.clear();
    const std::size_t n_groups = (n + GROUP - 1) / GROUP;
    std::size_t first = 0, entries = 0;
    for (std::size_t g = 0; g < n_groups; ++g) {
        const std::size_t before = records_.size(), entries_before = entries;
        entries += walk_group(static_cast<std::uint32_t>(g), g * GROUP, std::min(n, (g + 1) * GROUP));
        if (entries > piece_records_ && g > first) {
            evaluate_piece(before);
            records_.erase(records_.begin(), records_.begin() + static_cast<std::ptrdiff_t>(before));
            entries -= entries_before;
            first = g;
        }
    }
    evaluate_piece(records_.size());

    for (std::size_t k = 0; k < n; ++k) {
        const std::size_t b = keyed_[begin + k].second;
        chunk.fx[b] += sums_.x[k];
        chunk.fy[b] += sums_.y[k];
        chunk.fz[b] += sums_.z[k];
    }
}

// Groups the first `n_records` records into lists and evaluates them in id
// order.
void ChunkEvaluator::evaluate_piece(std::size_t n_records) {
    InteractionLists& l = lists_;
    for (std::size_t r = 0; r < n_records; ++r) {
        const GroupRecord& record = records_[r];
        if (l.counts[record.id]++ == 0) l.used.push_back(record.id);
        l.sizes[record.id] += static_cast<std::uint32_t>(std::popcount(record.mask));
    }
    std::sort(l.used.begin(), l.used.end());
    std::size_t total = 0, longest = 0;
    for (const std::uint32_t id : l.used) {
        l.ends[id] = total;
        total += l.counts[id];
        longest = std::max<std::size_t>(longest, l.sizes[id]);
    }
    l.records.resize(total);
    for (std::size_t r = 0; r < n_records; ++r) l.records[l.ends[records_[r].id]++] = records_[r];
    gathered_.resize(padded(longest));
    out_.resize(padded(longest));
    partial_.resize(longest);

    std::size_t start = 0;
    for (const std::uint32_t id : l.used) {
        const std::size_t end = l.ends[id];
        const std::span<const GroupRecord> list(l.records.data() + start, end - start);
        const std::size_t n = l.sizes[id];
        start = end;
        l.counts[id] = 0;
        l.sizes[id] = 0;
        gather(list, n);
        if (id < n_leaves_) {
            add_near(walk_.leaves[id], list, n);
        } else {
            add_far(static_cast<std::uint32_t>(id - n_leaves_), list, n);
        }
    }
    l.used.clear();
}

void ChunkEvaluator::gather(std::span<const GroupRecord> list, std::size_t n) {
    for_each_target(list, [&](std::size_t j, std::size_t k) {
        gathered_.x[j] = sorted_.x[k];
        gathered_.y[j] = sorted_.y[k];
        gathered_.z[j] = sorted_.z[k];
    });
    for (std::size_t j = n; j < padded(n); ++j) {
        gathered_.x[j] = gathered_.x[j - 1];
        gathered_.y[j] = gathered_.y[j - 1];
        gathered_.z[j] = gathered_.z[j - 1];
    }
}

ChunkPair ChunkEvaluator::scratch_chunk(std::size_t n) {
    std::fill_n(out_.x.data(), n, 0.0);
    std::fill_n(out_.y.data(), n, 0.0);
    std::fill_n(out_.z.data(), n, 0.0);
    return ChunkPair{std::span<const double>(gathered_.x.data(), n), std::span<const double>(gathered_.y.data(), n),
                     std::span<const double>(gathered_.z.data(), n), std::span<double>(out_.x.data(), n),
                     std::span<double>(out_.y.data(), n),           std::span<double>(out_.z.data(), n)};
}

// The elements of a leaf, in tree order, at the listed targets. The listed
// sums are copied out once and each element's field, computed into zeroed
// outputs, is added to them: the same additions as adding into the sums
// directly.
void ChunkEvaluator::add_near(std::uint32_t leaf, std::span<const GroupRecord> list, std::size_t n) {
    for_each_target(list, [&](std::size_t j, std::size_t k) {
        partial_.x[j] = sums_.x[k];
        partial_.y[j] = sums_.y[k];
        partial_.z[j] = sums_.z[k];
    });
    const SourceRange range = tree_.topology.source_range[leaf];
    const TetList tets = tree_.sources.connectivity_list();
    const Vec3List nodes = tree_.sources.node_list();
    for (std::uint32_t p = range.start; p < range.end; ++p) {
        const Tet tet = tets[p];
        const ElementNodes element{nodes[tet[0]], nodes[tet[1]], nodes[tet[2]], nodes[tet[3]]};
        near_(element, vectors_[p], scratch_chunk(padded(n)));
        for (std::size_t j = 0; j < n; ++j) {
            partial_.x[j] += out_.x[j];
            partial_.y[j] += out_.y[j];
            partial_.z[j] += out_.z[j];
        }
    }
    for_each_target(list, [&](std::size_t j, std::size_t k) {
        sums_.x[k] = partial_.x[j];
        sums_.y[k] = partial_.y[j];
        sums_.z[k] = partial_.z[j];
    });
}

void ChunkEvaluator::add_far(std::uint32_t node, std::span<const GroupRecord> list, std::size_t n) {
    far_(moments_.expansion(node), scratch_chunk(padded(n)));
    for_each_target(list, [&](std::size_t j, std::size_t k) {
        sums_.x[k] += out_.x[j];
        sums_.y[k] += out_.y[j];
        sums_.z[k] += out_.z[j];
    });
}

}  // namespace

void evaluate_chunk(const Octree& tree, const ChunkPair& chunk, bool h_field, bool magnetization,
                    std::size_t max_piece_records) {
    const SourceKind kind = magnetization ? SourceKind::Magnetization : SourceKind::CurrentDensity;
    const std::optional<NodeMoments>& moments = tree.moments_of(kind);
    const std::optional<std::vector<double>>& vectors = tree.vectors_of(kind);
    if (!moments || !vectors) {
        fail(magnetization ? "octree: no moments aggregated for magnetisation sources"
                           : "octree: no moments aggregated for current-density sources");
    }
    const std::size_t batch_size = tree.params.batch_size;
    if (batch_size == 0) fail("chunk size must be non-zero");
    ChunkEvaluator evaluator(tree, *moments, Vec3List(*vectors), h_field, magnetization, max_piece_records);
    evaluator.sort_targets(chunk);
    const std::size_t n = chunk.x.size();
    // Group indices of a batch fit 32 bits; cutting a batch changes no sum.
    const std::size_t batch = std::min(batch_size, GROUP << 31);
    for (std::size_t begin = 0; begin < n; begin += batch) {
        evaluator.evaluate_batch(chunk, begin, begin + std::min(batch, n - begin));
    }
}

}  // namespace corvane
