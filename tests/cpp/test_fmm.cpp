// Tests of the field operator's parts: the expansion identities and
// translations against direct sums, the rotated translation against the full
// matrix, the interaction lists' coverage of every source-target pair, and
// the sorting and work-sharing helpers.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <random>
#include <stdexcept>
#include <vector>

#include "biotsavart/direct.hpp"
#include "fmm/expansions.hpp"
#include "fmm/field_operator.hpp"
#include "fmm/harmonics.hpp"
#include "fmm/interactions.hpp"
#include "fmm/m2l.hpp"
#include "fmm/near_products.hpp"
#include "fmm/orders.hpp"
#include "fmm/quadrature.hpp"
#include "fmm/rotations.hpp"
#include "fmm/translations.hpp"
#include "fmm/tree.hpp"
#include "lib/parallel_sort.hpp"
#include "lib/work_queue.hpp"

namespace corvane::fmm {
namespace {

constexpr double INV_4PI = 0.07957747154594767;
const Kind DIPOLE{Source::Magnetization, Field::H};

struct Dipoles {
    std::vector<double> x, y, z, w, vx, vy, vz;
    std::size_t size() const { return x.size(); }
    SourceBatch batch() const { return {x.data(), y.data(), z.data(), w.data(), vx.data(), vy.data(), vz.data(), size()}; }
};

Dipoles dipoles_in_box(const Vec3& centre, double width, std::size_t n, std::mt19937_64& rng) {
    std::uniform_real_distribution<double> u(-0.5, 0.5);
    Dipoles d;
    for (std::size_t i = 0; i < n; ++i) {
        d.x.push_back(centre.x + width * u(rng)), d.y.push_back(centre.y + width * u(rng));
        d.z.push_back(centre.z + width * u(rng)), d.w.push_back(0.5 + u(rng));
        d.vx.push_back(u(rng)), d.vy.push_back(u(rng)), d.vz.push_back(u(rng));
    }
    return d;
}

Vec3 direct_field(const Dipoles& d, const Vec3& r) {
    Vec3 h{0.0, 0.0, 0.0};
    for (std::size_t i = 0; i < d.size(); ++i) {
        const Vec3 v = r - Vec3{d.x[i], d.y[i], d.z[i]};
        const Vec3 m = Vec3{d.vx[i], d.vy[i], d.vz[i]} * d.w[i];
        const double r2 = (v.x * v.x + v.y * v.y) + v.z * v.z;
        const double dot = (m.x * v.x + m.y * v.y) + m.z * v.z;
        h = h + (v * (3.0 * dot / r2) - m) * (INV_4PI / (r2 * std::sqrt(r2)));
    }
    return h;
}

double distance(const Vec3& a, const Vec3& b) {
    const Vec3 d = a - b;
    return std::sqrt((d.x * d.x + d.y * d.y) + d.z * d.z);
}

std::vector<double> times(const Matrix& m, const std::vector<double>& x) {
    std::vector<double> y(m.rows, 0.0);
    for (std::size_t c = 0; c < m.cols; ++c)
        for (std::size_t r = 0; r < m.rows; ++r) y[r] += m(r, c) * x[c];
    return y;
}

// Every rule integrates each monomial x^a y^b z^c of its degree over the unit
// tetrahedron exactly (a! b! c! / (a + b + c + 3)!, times 6 for unit total
// weight) and stays inside it with positive weights.
TEST(Quadrature, RulesAreExactToTheirDegree) {
    // The last: the product rule of degree 9.
    for (const std::size_t i : {0, 1, 2, 3, 4, 5}) {
        const std::size_t degree = std::array<std::size_t, 6>{1, 2, 5, 7, 9, 9}[i];
        const auto rule = i == 5 ? product_rule(9) : tetrahedron_rule(degree);
        for (const QuadraturePoint& q : rule) {
            EXPECT_GT(q.weight, 0.0);
            for (const double b : q.barycentric) EXPECT_GT(b, 0.0);
        }
        for (std::size_t a = 0; a <= degree; ++a) {
            for (std::size_t b = 0; a + b <= degree; ++b) {
                for (std::size_t c = 0; a + b + c <= degree; ++c) {
                    double sum = 0.0;
                    for (const QuadraturePoint& q : rule) {
                        const auto& p = q.barycentric;
                        sum += q.weight * std::pow(p[1], double(a)) * std::pow(p[2], double(b)) *
                               std::pow(p[3], double(c));
                    }
                    const double exact = 6.0 * std::tgamma(double(a + 1)) * std::tgamma(double(b + 1)) *
                                         std::tgamma(double(c + 1)) / std::tgamma(double(a + b + c + 4));
                    EXPECT_NEAR(sum, exact, 1e-14 * exact) << degree << ": " << a << b << c;
                }
            }
        }
    }
}

TEST(Harmonics, ExpansionOfTheInverseDistance) {
    // 1/|a - b| = sum conj(R_n^m(b)) I_n^m(a), |b| < |a|, to high order.
    const Vec3 a{1.3, -0.8, 2.1}, b{0.2, 0.35, -0.15};
    const std::size_t p = 30;
    std::vector<Complex> r(packed_count(p)), irr(packed_count(p));
    regular_harmonics(b, p, r);
    irregular_harmonics(a, p, irr);
    double sum = 0.0;
    for (long n = 0; n <= static_cast<long>(p); ++n)
        for (long m = -n; m <= n; ++m) sum += (std::conj(harmonic(r, n, m)) * harmonic(irr, n, m)).real();
    EXPECT_NEAR(sum, 1.0 / distance(a, b), 1e-15);
}

// The field of dipoles in a child box through its multipole, the parent's,
// a local expansion of a separated box and its child's, against the sum.
TEST(Translations, ThroughEveryStepToTheDirectSum) {
    std::mt19937_64 rng(5);
    const std::size_t p = 16, k = real_count(p);
    const Vec3 parent{0.0, 0.0, 0.0}, child = parent + Vec3{0.25, -0.25, 0.25};
    const Dipoles d = dipoles_in_box(child, 0.5, 40, rng);
    std::vector<double> m_child(k), scratch;
    points_to_multipole(DIPOLE, p, child, 0.5, d.batch(), m_child, scratch);
    const std::vector<double> m_parent = times(multipole_to_multipole(p, Vec3{0.25, -0.25, 0.25}), m_child);
    // Target box B of width 1 three widths away; its child b at (+, +, -).
    const Vec3 b_centre{3.0, 1.0, -1.0};
    std::vector<double> local = times(multipole_to_local(p, (parent - b_centre), 1.0), m_parent);
    const Vec3 shift{0.25, 0.25, -0.25};
    const std::vector<double> local_child = times(local_to_local(p, shift), local);
    std::vector<double> x, y, z;
    for (int i = 0; i < 20; ++i) {
        const Dipoles t = dipoles_in_box(b_centre + shift, 0.5, 1, rng);
        x.push_back(t.x[0]), y.push_back(t.y[0]), z.push_back(t.z[0]);
    }
    std::vector<double> got(3 * x.size(), 0.0), near(3 * x.size(), 0.0);
    local_to_targets(DIPOLE, p, b_centre + shift, 0.5, local_child, x.data(), y.data(), z.data(), x.size(), got.data(),
                     scratch);
    multipole_to_targets(DIPOLE, p, child, 0.5, m_child, x.data(), y.data(), z.data(), x.size(), near.data(), scratch);
    for (std::size_t i = 0; i < x.size(); ++i) {
        const Vec3 want = direct_field(d, {x[i], y[i], z[i]});
        const double scale = std::sqrt((want.x * want.x + want.y * want.y) + want.z * want.z);
        for (const auto* v : {&got, &near}) {
            EXPECT_NEAR((*v)[3 * i], want.x, 1e-6 * scale);
            EXPECT_NEAR((*v)[3 * i + 1], want.y, 1e-6 * scale);
            EXPECT_NEAR((*v)[3 * i + 2], want.z, 1e-6 * scale);
        }
    }
}

// A batch of random expansions through the axial form against the full
// matrix; every lane is its own expansion.
void expect_axial_form(const AxialTranslation& axial, const Matrix& full, double tolerance, std::mt19937_64& rng) {
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    const std::size_t k = full.cols;
    std::vector<double> x(k * M2L_BATCH), y(k * M2L_BATCH), scratch(4 * k * M2L_BATCH);
    for (double& v : x) v = u(rng);
    translate_batch(axial, x.data(), y.data(), scratch.data());
    for (std::size_t lane = 0; lane < M2L_BATCH; ++lane) {
        std::vector<double> column(k);
        for (std::size_t r = 0; r < k; ++r) column[r] = x[r * M2L_BATCH + lane];
        const std::vector<double> want = times(full, column);
        double scale = 0.0;
        for (const double w : want) scale = std::max(scale, std::fabs(w));
        for (std::size_t r = 0; r < k; ++r) ASSERT_NEAR(y[r * M2L_BATCH + lane], want[r], tolerance * scale) << r;
    }
}

// Rotate, translate along the axis and rotate back equals the full matrix,
// for boxes of one size and of different sizes, along the axis both ways
// too (no rotation, a half turn); every lane of a batch is its own expansion.
TEST(Translations, AxialFormEqualsTheFullMatrix) {
    std::mt19937_64 rng(9);
    for (const auto& [offset, ratio] : {std::pair{Vec3{2.0, 1.0, 0.0}, 1.0}, {Vec3{0.0, 0.0, -2.0}, 1.0},
                                        {Vec3{0.0, 0.0, 2.0}, 1.0}, {Vec3{-1.5, 2.5, 1.0}, 2.0},
                                        {Vec3{3.0, -0.5, 1.5}, 0.5}}) {
        const std::size_t p = 12;
        expect_axial_form(axial_translation(p, offset, ratio), multipole_to_local(p, offset, ratio), 1e-12, rng);
    }
}

// A child's multipole to its parent's and a parent's local to a child's in
// the axial form, for every octant, at a low and a high order.
TEST(Translations, AxialShiftsEqualTheFullMatrices) {
    std::mt19937_64 rng(11);
    for (const std::size_t p : {7, 30}) {
        for (std::size_t o = 0; o < 8; ++o) {
            const Vec3 shift{(o & 1) ? 0.25 : -0.25, (o & 2) ? 0.25 : -0.25, (o & 4) ? 0.25 : -0.25};
            for (const bool multipole : {true, false}) {
                SCOPED_TRACE(testing::Message() << p << " " << o << " " << multipole);
                expect_axial_form(axial_shift(p, shift, multipole),
                                  multipole ? multipole_to_multipole(p, shift) : local_to_local(p, shift), 1e-13, rng);
            }
        }
    }
}

// A key's translation, kept for the process, is the one its order's search and the axial
// form give, whichever thread asks first; the same object when asked again.
TEST(Translations, KeptTranslationIsTheSearchedOne) {
    const TranslationKey key{0, {6, -2, 4}};
    std::vector<std::shared_ptr<const AxialTranslation>> got(8);
    run_items(got.size(), 4, [&](std::size_t i, std::size_t) { got[i] = key_translation(key, 30, 1e-5); },
              [] { return true; });
    const std::size_t order = translation_order(key, 30, 1e-5);
    const AxialTranslation want = axial_translation(order, key_offset(key), key_ratio(key));
    ASSERT_LT(order, 30u);
    EXPECT_EQ(got[0]->order, order);
    EXPECT_EQ(got[0]->to_real, want.to_real);
    EXPECT_EQ(got[0]->along_axis, want.along_axis);
    EXPECT_EQ(got[0]->from_imaginary, want.from_imaginary);
    EXPECT_EQ(got[0]->out_sin, want.out_sin);
    EXPECT_EQ(key_translation(key, 30, 1e-5), key_translation(key, 30, 1e-5));
}

// Every point lies in the box of its leaf, boxes hold the ranges of their
// children, and leaves respect the split limits unless at the deepest level.
TEST(Tree, BoxesHoldTheirPoints) {
    std::mt19937_64 rng(4);
    std::normal_distribution<double> g(0.0, 1.0);
    Points sources, targets;
    for (int i = 0; i < 5000; ++i) sources.x.push_back(g(rng)), sources.y.push_back(0.1 * g(rng)), sources.z.push_back(g(rng));
    for (int i = 0; i < 50; ++i) targets.x.push_back(0.0), targets.y.push_back(0.0), targets.z.push_back(0.0);  // coincident
    const Tree tree = build_tree(sources, targets, TreeSettings{32, 8}, 2, nullptr);
    const auto inside = [&](const Box& b, const Vec3& p) {
        const Vec3 c = tree.centre(b);
        const double h = 0.5 * tree.width(b.level);
        return std::fabs(p.x - c.x) <= h && std::fabs(p.y - c.y) <= h && std::fabs(p.z - c.z) <= h;
    };
    for (std::size_t s = 0; s < sources.size(); ++s) {
        const Box& leaf = tree.boxes[static_cast<std::size_t>(tree.source_leaf[s])];
        EXPECT_TRUE(inside(leaf, sources[tree.source_order[s]])) << s;
    }
    for (std::size_t b = 0; b < tree.boxes.size(); ++b) {
        const Box& box = tree.boxes[b];
        if (box.leaf) {
            EXPECT_TRUE((box.n_sources() <= 32 && box.n_targets() <= 8) || box.level == MAX_LEVEL) << b;
            continue;
        }
        std::uint32_t s = box.src_begin, t = box.trg_begin;
        for (const std::int32_t c : box.children) {
            if (c == NONE) continue;
            const Box& child = tree.boxes[static_cast<std::size_t>(c)];
            EXPECT_EQ(child.parent, static_cast<std::int32_t>(b));
            EXPECT_EQ(child.level, box.level + 1);
            EXPECT_EQ(child.src_begin, s);
            EXPECT_EQ(child.trg_begin, t);
            s = child.src_end, t = child.trg_end;
        }
        EXPECT_EQ(s, box.src_end);
        EXPECT_EQ(t, box.trg_end);
    }
}

// Every (source point, target) pair is reached exactly once: by a
// translation between an ancestor of each, by a source box's multipole at
// the target's leaf, or directly between the two leaves.
TEST(Interactions, EveryPairExactlyOnce) {
    std::mt19937_64 rng(3);
    std::normal_distribution<double> g(0.0, 1.0);
    Points sources, targets;
    for (int i = 0; i < 3000; ++i) sources.x.push_back(g(rng)), sources.y.push_back(g(rng)), sources.z.push_back(0.3 * g(rng));
    for (int i = 0; i < 400; ++i) targets.x.push_back(3 * g(rng)), targets.y.push_back(g(rng)), targets.z.push_back(g(rng));
    const Tree tree = build_tree(sources, targets, TreeSettings{20, 6}, 2, nullptr);
    const Interactions lists = build_interactions(tree, 2, nullptr);
    const auto ancestors = [&](std::int32_t b) {
        std::vector<std::uint32_t> out;
        for (; b != NONE; b = tree.boxes[static_cast<std::size_t>(b)].parent) out.push_back(static_cast<std::uint32_t>(b));
        return out;
    };
    std::vector<std::vector<std::uint32_t>> far_sources(tree.boxes.size());
    for (const FarPair& f : lists.far) far_sources[f.target_box].push_back(f.source_box);
    for (std::size_t t = 0; t < targets.size(); ++t) {
        const auto t_up = ancestors(tree.target_leaf[t]);
        const std::uint32_t leaf = t_up.front();
        for (std::size_t s = 0; s < sources.size(); s += 7) {
            const auto s_up = ancestors(tree.source_leaf[s]);
            const auto has = [](const std::vector<std::uint32_t>& v, std::uint32_t x) {
                return std::find(v.begin(), v.end(), x) != v.end();
            };
            int count = 0;
            for (const std::uint32_t b : t_up)
                for (const std::uint32_t a : far_sources[b]) count += has(s_up, a);
            for (std::uint32_t i = lists.direct_begin[leaf]; i < lists.direct_begin[leaf + 1]; ++i)
                count += has(s_up, lists.direct_sources[i]);
            for (std::uint32_t i = lists.near_begin[leaf]; i < lists.near_begin[leaf + 1]; ++i)
                count += lists.near_sources[i] == s_up.front();
            ASSERT_EQ(count, 1) << t << " " << s;
        }
    }
    // The lists do not depend on the thread count.
    const Interactions one = build_interactions(tree, 1, nullptr);
    ASSERT_EQ(one.far.size(), lists.far.size());
    for (std::size_t i = 0; i < one.far.size(); ++i) {
        EXPECT_EQ(one.far[i].source_box, lists.far[i].source_box);
        EXPECT_EQ(one.far[i].target_box, lists.far[i].target_box);
        EXPECT_EQ(one.far[i].translation, lists.far[i].translation);
    }
    EXPECT_EQ(one.near_sources, lists.near_sources);
}

// Distorted cubes, six tetrahedra each, and their centroids.
struct Mesh {
    std::vector<double> nodes;
    std::vector<std::uint32_t> tets;
    Points centroids;
};

Mesh cube_mesh(std::size_t n, std::mt19937_64& rng) {
    std::uniform_real_distribution<double> jitter(-0.15, 0.15);
    Mesh m;
    const auto id = [&](std::size_t i, std::size_t j, std::size_t k) {
        return static_cast<std::uint32_t>((k * (n + 1) + j) * (n + 1) + i);
    };
    for (std::size_t k = 0; k <= n; ++k)
        for (std::size_t j = 0; j <= n; ++j)
            for (std::size_t i = 0; i <= n; ++i)
                for (const std::size_t c : {i, j, k}) m.nodes.push_back(static_cast<double>(c) + jitter(rng));
    const std::size_t kuhn[6][4] = {{0, 1, 3, 7}, {0, 3, 2, 7}, {0, 2, 6, 7}, {0, 6, 4, 7}, {0, 4, 5, 7}, {0, 5, 1, 7}};
    for (std::size_t k = 0; k < n; ++k)
        for (std::size_t j = 0; j < n; ++j)
            for (std::size_t i = 0; i < n; ++i)
                for (const auto& t : kuhn) {
                    Vec3 c{0.0, 0.0, 0.0};
                    for (const std::size_t corner : t) {
                        const std::uint32_t v = id(i + (corner & 1), j + ((corner >> 1) & 1), k + ((corner >> 2) & 1));
                        m.tets.push_back(v);
                        c = c + Vec3{m.nodes[3 * v], m.nodes[3 * v + 1], m.nodes[3 * v + 2]} * 0.25;
                    }
                    m.centroids.x.push_back(c.x), m.centroids.y.push_back(c.y), m.centroids.z.push_back(c.z);
                }
    return m;
}

// RMS error of an operator's field at every stride-th centroid against the direct sum.
double error_against_direct(const Mesh& mesh, const Kind& kind, const std::vector<double>& vectors,
                            const std::vector<double>& field, std::size_t stride) {
    const std::size_t n = mesh.tets.size() / 4;
    TargetPoints targets;
    for (std::size_t i = 0; i < n; i += stride) {
        targets.x.push_back(mesh.centroids.x[i]), targets.y.push_back(mesh.centroids.y[i]);
        targets.z.push_back(mesh.centroids.z[i]);
    }
    FieldOutput direct(targets.size());
    run_direct(Vec3List(mesh.nodes), TetList(mesh.tets.data(), n),
               SourceVectors{kind.source == Source::Magnetization, Vec3List(vectors)}, kind.field == Field::H, targets,
               direct, false, 2);
    double err = 0.0, norm = 0.0;
    for (std::size_t j = 0; j < targets.size(); ++j) {
        const std::size_t i = stride * j;
        const double d[3] = {field[3 * i] - direct.fx[j], field[3 * i + 1] - direct.fy[j],
                             field[3 * i + 2] - direct.fz[j]};
        err += d[0] * d[0] + d[1] * d[1] + d[2] * d[2];
        norm += direct.fx[j] * direct.fx[j] + direct.fy[j] * direct.fy[j] + direct.fz[j] * direct.fz[j];
    }
    return std::sqrt(err / norm);
}

// Built and applied on one and on three threads: the same bits, within the
// tolerance of the direct sum, for each kind.
TEST(FieldOperator, ThreadCountChangesNoBit) {
    std::mt19937_64 rng(8);
    const Mesh mesh = cube_mesh(7, rng);
    const std::size_t n = mesh.tets.size() / 4;
    std::normal_distribution<double> g(0.0, 1.0);
    std::vector<double> vectors(3 * n);
    for (double& v : vectors) v = g(rng);
    for (const Kind kind : {Kind{Source::Magnetization, Field::H}, Kind{Source::Current, Field::A},
                            Kind{Source::Magnetization, Field::A}}) {
        std::vector<double> results[2];
        for (const std::size_t threads : {1, 3}) {
            const FieldOperator op(Vec3List(mesh.nodes), TetList(mesh.tets.data(), n), mesh.centroids,
                                   OperatorSettings{kind, 1e-3, threads, 1 << 30}, nullptr);
            results[threads == 3].resize(3 * n);
            op.apply(vectors.data(), results[threads == 3].data(), nullptr);
        }
        EXPECT_EQ(results[0], results[1]);
        EXPECT_LT(error_against_direct(mesh, kind, vectors, results[0], 1), 1e-3);
    }
}

// Vectors that vanish outside a corner of the mesh skip the other boxes'
// translations and near values: the field is still that of the direct sum,
// at targets near and far, and a zero vector gives zeros.
TEST(FieldOperator, ZeroSourcesSkippedWithoutChangingTheField) {
    std::mt19937_64 rng(9);
    const Mesh mesh = cube_mesh(12, rng);
    const std::size_t n = mesh.tets.size() / 4;
    std::normal_distribution<double> g(0.0, 1.0);
    std::vector<double> corner(3 * n, 0.0);
    for (std::size_t i = 0; i < n; ++i)
        if (mesh.centroids.x[i] < 3.0 && mesh.centroids.y[i] < 4.0)
            for (std::size_t c = 0; c < 3; ++c) corner[3 * i + c] = g(rng);
    const FieldOperator op(Vec3List(mesh.nodes), TetList(mesh.tets.data(), n), mesh.centroids,
                           OperatorSettings{DIPOLE, 1e-4, 2, 1 << 30}, nullptr);
    std::vector<double> field(3 * n);
    op.apply(corner.data(), field.data(), nullptr);
    // Every fifth centroid: the direct sum is the test's cost.
    EXPECT_LT(error_against_direct(mesh, DIPOLE, corner, field, 5), 1e-4);
    const std::vector<double> zero(3 * n, 0.0);
    op.apply(zero.data(), field.data(), nullptr);
    EXPECT_EQ(field, zero);
}

// Rows of kept near values times gathered vectors, every kind (H of a
// magnetisation also without zz), for row lengths below, at and past a
// vector's lanes: the plain sums of the entries.
TEST(NearProducts, RowsAgreeWithThePlainSums) {
    std::mt19937_64 rng(5);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    for (const auto& [kind, traceless] : {std::pair{Kind{Source::Magnetization, Field::H}, false},
                                          std::pair{Kind{Source::Magnetization, Field::H}, true},
                                          std::pair{Kind{Source::Current, Field::H}, false},
                                          std::pair{Kind{Source::Current, Field::A}, false}}) {
        const std::size_t c = traceless ? 5 : kind.entry_size();
        for (const std::size_t n : {1, 3, 8, 17}) {
            const std::size_t rows = 3;
            std::vector<float> values(rows * c * n);
            std::vector<double> v[3], out(3 * rows, 1.0);
            for (float& x : values) x = static_cast<float>(u(rng));
            for (auto& list : v) list.resize(n), std::generate(list.begin(), list.end(), [&] { return u(rng); });
            multiply_rows(kind, traceless, values.data(), rows, n, v[0].data(), v[1].data(), v[2].data(), out.data());
            for (std::size_t t = 0; t < rows; ++t) {
                double expected[3] = {1.0, 1.0, 1.0};
                for (std::size_t j = 0; j < n; ++j) {
                    const auto a = [&](std::size_t e) { return double(values[(t * c + e) * n + j]); };
                    // The full symmetric matrix, zz from the trace where it is left out.
                    const auto m = [&](std::size_t e) {
                        if (!traceless) return a(e);
                        return e < 2 ? a(e) : e == 2 ? -(a(0) + a(1)) : a(e - 1);
                    };
                    const double x = v[0][j], y = v[1][j], z = v[2][j];
                    const bool sym = kind.dipole();
                    const double f[3] = {sym ? m(0) * x + m(3) * y + m(4) * z : c == 3 ? a(1) * z - a(2) * y : a(0) * x,
                                         sym ? m(3) * x + m(1) * y + m(5) * z : c == 3 ? a(2) * x - a(0) * z : a(0) * y,
                                         sym ? m(4) * x + m(5) * y + m(2) * z : c == 3 ? a(0) * y - a(1) * x : a(0) * z};
                    for (std::size_t k = 0; k < 3; ++k) expected[k] += f[k];
                }
                for (std::size_t k = 0; k < 3; ++k) EXPECT_NEAR(out[3 * t + k], expected[k], 1e-13) << c << " " << n;
            }
        }
    }
}

TEST(WorkQueue, SortsFailsAndStops) {
    std::mt19937_64 rng(1);
    std::vector<KeyIndex> values(700000);
    for (std::size_t i = 0; i < values.size(); ++i) values[i] = {rng() % 1000, static_cast<std::uint32_t>(i)};
    std::vector<KeyIndex> want = values;
    std::sort(want.begin(), want.end());
    parallel_sort(values, 3, nullptr);
    EXPECT_EQ(values, want);

    // A failing item stops the others; so does a poll that says so.
    std::atomic<int> ran{0};
    const auto work = [&] {
        ++ran;
        volatile double s = 0.0;
        for (int i = 0; i < 20000; ++i) s = s + std::sqrt(double(i));
    };
    EXPECT_THROW(run_items(100000, 3, [&](std::size_t i, std::size_t) {
        work();
        if (i == 10) throw std::runtime_error("item 10");
    }, nullptr), std::runtime_error);
    EXPECT_LT(ran.load(), 100000);
    ran = 0;
    EXPECT_THROW(run_items(100000, 2, [&](std::size_t, std::size_t) { work(); }, [] { return false; }, 0.0),
                 Cancelled);
    EXPECT_LT(ran.load(), 100000);
}

}  // namespace
}  // namespace corvane::fmm
