// Order selection per translation key by a test source.
#include "fmm/orders.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>
#include <mutex>
#include <tuple>

#include "fmm/expansions.hpp"
#include "fmm/harmonics.hpp"
#include "fmm/translations.hpp"

namespace corvane::fmm {
namespace {

constexpr std::size_t TEST_POINTS = 64;
// A fixed pseudo-random sequence in [0, 1) (SplitMix64), the same everywhere.
class Sequence {
public:
    double next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        z ^= z >> 31;
        return static_cast<double>(z >> 11) * 0x1.0p-53;
    }
    Vec3 in_box(const Vec3& centre, double width) {
        const double x = next(), y = next(), z = next();
        return {centre.x + (x - 0.5) * width, centre.y + (y - 0.5) * width, centre.z + (z - 0.5) * width};
    }

private:
    std::uint64_t state_ = 0x2545F4914F6CDD1DULL;
};

struct Dipole {
    Vec3 position, moment;
};

Vec3 dipole_field(const std::vector<Dipole>& dipoles, const Vec3& r) {
    Vec3 h{0.0, 0.0, 0.0};
    for (const Dipole& d : dipoles) {
        const Vec3 v = r - d.position;
        const double r2 = (v.x * v.x + v.y * v.y) + v.z * v.z;
        const double inv_r3 = 1.0 / (r2 * std::sqrt(r2));
        const double dot = (d.moment.x * v.x + d.moment.y * v.y) + d.moment.z * v.z;
        h = h + (v * (3.0 * dot / r2) - d.moment) * (inv_r3 * INV_4PI);
    }
    return h;
}

double rms(const std::vector<Vec3>& v) {
    double s = 0.0;
    for (const Vec3& x : v) s += (x.x * x.x + x.y * x.y) + x.z * x.z;
    return std::sqrt(s / static_cast<double>(v.size()));
}

}  // namespace

double key_ratio(const TranslationKey& key) { return std::ldexp(1.0, key.size_exponent); }

Vec3 key_offset(const TranslationKey& key) {
    const double unit = 0.5 * std::min(key_ratio(key), 1.0);
    return {key.offset[0] * unit, key.offset[1] * unit, key.offset[2] * unit};
}

namespace {

std::size_t search_order(const TranslationKey& key, std::size_t max_order, double bound) {
    const Kind kind{Source::Magnetization, Field::H};
    const std::size_t k_max = real_count(max_order);
    std::vector<double> multipole(k_max), local(k_max), scratch;
    {
        // Target box B: centre 0, width 1; source box A relative to it.
        const double ratio = key_ratio(key);
        const Vec3 offset = key_offset(key);
        Matrix full = multipole_to_local(max_order, offset, ratio);
        // Two test sources, random moments and one common moment (a uniformly
        // magnetised box, whose low-order field is far stronger): the order
        // must serve both.
        std::size_t order = 1;
        for (const bool coherent : {false, true}) {
            Sequence seq;
            std::vector<Dipole> dipoles(TEST_POINTS);
            for (Dipole& d : dipoles) {
                d.position = seq.in_box(offset, ratio);
                const Vec3 random{seq.next() - 0.5, seq.next() - 0.5, seq.next() - 0.5};
                d.moment = coherent ? Vec3{0.3, -0.4, 0.5} : random;
            }
            std::vector<Vec3> targets(TEST_POINTS), exact(TEST_POINTS), nearest(TEST_POINTS);
            for (std::size_t i = 0; i < TEST_POINTS; ++i) {
                targets[i] = seq.in_box(Vec3{0.0, 0.0, 0.0}, 1.0);
                exact[i] = dipole_field(dipoles, targets[i]);
                nearest[i] = dipole_field(dipoles, seq.in_box(offset + Vec3{2.0 * ratio, 0.0, 0.0}, ratio));
            }
            const double allowed = bound * rms(nearest);
            std::vector<double> px, py, pz, pw(TEST_POINTS, 1.0), vx, vy, vz;
            for (const Dipole& d : dipoles) {
                px.push_back(d.position.x), py.push_back(d.position.y), pz.push_back(d.position.z);
                vx.push_back(d.moment.x), vy.push_back(d.moment.y), vz.push_back(d.moment.z);
            }
            points_to_multipole(kind, max_order, offset, ratio,
                                SourceBatch{px.data(), py.data(), pz.data(), pw.data(), vx.data(), vy.data(), vz.data(),
                                            TEST_POINTS},
                                multipole, scratch);
            std::vector<double> tx, ty, tz;
            for (const Vec3& t : targets) tx.push_back(t.x), ty.push_back(t.y), tz.push_back(t.z);
            std::size_t p = order;
            for (; p < max_order; ++p) {
                const std::size_t k = real_count(p);
                for (std::size_t r = 0; r < k; ++r) {
                    double s = 0.0;
                    for (std::size_t c = 0; c < k; ++c) s += full(r, c) * multipole[c];
                    local[r] = s;
                }
                std::vector<double> field(3 * TEST_POINTS, 0.0);
                local_to_targets(kind, p, Vec3{0.0, 0.0, 0.0}, 1.0, std::span<const double>(local.data(), k),
                                 tx.data(), ty.data(), tz.data(), TEST_POINTS, field.data(), scratch);
                std::vector<Vec3> error(TEST_POINTS);
                for (std::size_t i = 0; i < TEST_POINTS; ++i)
                    error[i] = Vec3{field[3 * i], field[3 * i + 1], field[3 * i + 2]} - exact[i];
                if (rms(error) <= allowed) break;
            }
            order = p;
        }
        return order;
    }
}

}  // namespace

// The search depends on its arguments alone and takes most of a small
// operator's build (the full translation matrix, the test fields): each is
// searched once per process. The keys a process meets are few (offsets of a
// few widths, a few size ratios, orders and bounds), so all are kept.
std::size_t translation_order(const TranslationKey& key, std::size_t max_order, double bound) {
    using Id = std::tuple<int, int, int, int, std::size_t, double>;
    static std::mutex mutex;
    static std::map<Id, std::size_t> found;
    const Id id{key.size_exponent, key.offset[0], key.offset[1], key.offset[2], max_order, bound};
    {
        const std::lock_guard lock(mutex);
        const auto it = found.find(id);
        if (it != found.end()) return it->second;
    }
    const std::size_t order = search_order(key, max_order, bound);
    const std::lock_guard lock(mutex);
    found.emplace(id, order);
    return order;
}

std::shared_ptr<const AxialTranslation> key_translation(const TranslationKey& key, std::size_t max_order,
                                                        double bound) {
    constexpr std::size_t KEPT_BYTES = std::size_t{64} << 20;
    const std::size_t order = translation_order(key, max_order, bound);
    using Id = std::tuple<int, int, int, int, std::size_t>;
    static std::mutex mutex;
    static std::map<Id, std::shared_ptr<const AxialTranslation>> kept;
    static std::size_t kept_bytes = 0;
    const Id id{key.size_exponent, key.offset[0], key.offset[1], key.offset[2], order};
    {
        const std::lock_guard lock(mutex);
        const auto it = kept.find(id);
        if (it != kept.end()) return it->second;
    }
    auto made = std::make_shared<const AxialTranslation>(axial_translation(order, key_offset(key), key_ratio(key)));
    std::size_t bytes = 0;
    for (const auto* blocks : {&made->to_real, &made->to_imaginary, &made->along_axis, &made->from_real,
                               &made->from_imaginary})
        for (const auto& b : *blocks) bytes += b.size() * sizeof(double);
    const std::lock_guard lock(mutex);
    if (kept_bytes + bytes > KEPT_BYTES) return made;
    const auto [it, inserted] = kept.emplace(id, made);
    if (inserted) kept_bytes += bytes;
    return it->second;
}

}  // namespace corvane::fmm
