// Rotation matrices of the regular solid harmonics, and the axial form of a
// translation.
#include "fmm/rotations.hpp"

#include <cmath>
#include <memory>
#include <mutex>

namespace corvane::fmm {
namespace {

// Gauss-Legendre nodes and weights on [-1, 1] (Newton on P_n).
void gauss_legendre(std::size_t n, std::vector<double>& nodes, std::vector<double>& weights) {
    nodes.resize(n), weights.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        double x = std::cos(M_PI * (static_cast<double>(i) + 0.75) / (static_cast<double>(n) + 0.5));
        double dp = 1.0;
        for (int iteration = 0; iteration < 100; ++iteration) {
            double p0 = 1.0, p1 = x;
            for (std::size_t k = 2; k <= n; ++k) {
                const double p2 = ((2.0 * k - 1.0) * x * p1 - (k - 1.0) * p0) / static_cast<double>(k);
                p0 = p1, p1 = p2;
            }
            if (n == 1) p1 = x, p0 = 1.0;
            dp = static_cast<double>(n) * (x * p1 - p0) / (x * x - 1.0);
            const double dx = p1 / dp;
            x -= dx;
            if (std::fabs(dx) < 1e-16) break;
        }
        nodes[i] = x;
        weights[i] = 2.0 / ((1.0 - x * x) * dp * dp);
    }
}

// A rotation of space by its matrix.
struct Rotation {
    double m[3][3];
    Vec3 operator()(const Vec3& v) const {
        return {m[0][0] * v.x + m[0][1] * v.y + m[0][2] * v.z, m[1][0] * v.x + m[1][1] * v.y + m[1][2] * v.z,
                m[2][0] * v.x + m[2][1] * v.y + m[2][2] * v.z};
    }
};

std::size_t degree_index(long m, long mp, long n) {
    return static_cast<std::size_t>((m + n) * (2 * n + 1) + (mp + n));
}

// Real (2n+1) x (2n+1) matrix of a complex linear map on the degree-n
// coefficients with X^{-m} = (-1)^m conj(X^m): `map` takes all 2n+1 complex
// coefficients (m = -n..n) and returns those of m = 0..n.
template <class Map>
std::vector<double> real_block(long n, const Map& map) {
    const std::size_t size = static_cast<std::size_t>(2 * n + 1);
    std::vector<double> out(size * size);
    std::vector<Complex> full(size), result(static_cast<std::size_t>(n + 1));
    for (std::size_t c = 0; c < size; ++c) {
        // Column c: the real layout's entry c of degree n set to 1.
        const long m = c == 0 ? 0 : static_cast<long>((c + 1) / 2);
        const bool imaginary = c > 0 && c % 2 == 0;
        const Complex value = imaginary ? Complex(0.0, 1.0) : Complex(1.0, 0.0);
        std::fill(full.begin(), full.end(), Complex(0.0, 0.0));
        full[static_cast<std::size_t>(m + n)] = value;
        if (m > 0) full[static_cast<std::size_t>(n - m)] = (m % 2 == 0 ? 1.0 : -1.0) * std::conj(value);
        map(full, result);
        double* column = out.data() + c * size;
        column[0] = result[0].real();
        for (long k = 1; k <= n; ++k) {
            column[2 * k - 1] = result[static_cast<std::size_t>(k)].real();
            column[2 * k] = result[static_cast<std::size_t>(k)].imag();
        }
    }
    return out;
}

// D^n of the rotation q for one degree n, by the smallest rule exact for the
// products of two harmonics of that degree: the same values whatever other
// degrees are asked for.
std::vector<Complex> degree_by_quadrature(long n, const Rotation& q) {
    const std::size_t order = static_cast<std::size_t>(n), size = 2 * order + 1;
    std::vector<double> mu, w;
    gauss_legendre(order + 1, mu, w);
    std::vector<Complex> d(size * size, Complex(0.0, 0.0)), r(packed_count(order)), rq(packed_count(order));
    std::vector<double> norm(order + 1, 0.0);
    for (std::size_t i = 0; i < mu.size(); ++i) {
        const double s = std::sqrt(std::fmax(0.0, 1.0 - mu[i] * mu[i]));
        for (std::size_t l = 0; l < size; ++l) {
            const double phi = 2.0 * M_PI * static_cast<double>(l) / static_cast<double>(size);
            const double weight = w[i] * 2.0 * M_PI / static_cast<double>(size);
            const Vec3 x{s * std::cos(phi), s * std::sin(phi), mu[i]};
            regular_harmonics(x, order, r);
            regular_harmonics(q(x), order, rq);
            for (long mp = 0; mp <= n; ++mp) norm[static_cast<std::size_t>(mp)] += weight * std::norm(r[packed(order, mp)]);
            for (long m = -n; m <= n; ++m) {
                const Complex a = harmonic(rq, n, m) * weight;
                for (long mp = -n; mp <= n; ++mp) d[degree_index(m, mp, n)] += a * std::conj(harmonic(r, n, mp));
            }
        }
    }
    for (long m = -n; m <= n; ++m)
        for (long mp = -n; mp <= n; ++mp) d[degree_index(m, mp, n)] /= norm[static_cast<std::size_t>(std::labs(mp))];
    return d;
}

// D^n of U, which takes +y to +z, and of its inverse, degree by degree: each
// found once in the process, when a translation first needs it.
struct QuarterTurn {
    std::vector<Complex> to, back;
};
using QuarterTurns = std::vector<std::shared_ptr<const QuarterTurn>>;

std::shared_ptr<const QuarterTurns> quarter_turns(std::size_t order) {
    static std::mutex mutex;
    static std::shared_ptr<const QuarterTurns> kept = std::make_shared<const QuarterTurns>();
    std::lock_guard<std::mutex> lock(mutex);
    if (kept->size() <= order) {
        const Rotation u{{{0.0, 0.0, -1.0}, {-1.0, 0.0, 0.0}, {0.0, 1.0, 0.0}}};
        const Rotation inverse{{{0.0, -1.0, 0.0}, {0.0, 0.0, 1.0}, {-1.0, 0.0, 0.0}}};
        auto more = std::make_shared<QuarterTurns>(*kept);
        for (std::size_t n = more->size(); n <= order; ++n) {
            const long degree = static_cast<long>(n);
            more->push_back(std::make_shared<const QuarterTurn>(
                QuarterTurn{degree_by_quadrature(degree, u), degree_by_quadrature(degree, inverse)}));
        }
        kept = std::move(more);
    }
    return kept;
}

}  // namespace

std::vector<std::vector<Complex>> rotation_matrices(std::size_t order, const Vec3& direction) {
    // Q = R_y(-theta) R_z(-phi), and R_y(-theta) = U^-1 R_z(-theta) U with U
    // taking +y to +z. A rotation about z multiplies R_n^m by e^{i m angle},
    // so D^n(Q) = D^n(U^-1) diag(e^{-i a theta}) D^n(U) diag(e^{-i m' phi}):
    // one product of (2n+1)-square matrices per degree, O(order^4), with
    // D(U) and D(U^-1) found once by quadrature. (By quadrature for every
    // direction, O(order^5), the rotations took a fifth of a build at 1e-4.)
    const double rho = std::sqrt(direction.x * direction.x + direction.y * direction.y);
    std::vector<std::vector<Complex>> d(order + 1);
    if (rho == 0.0) {
        // Along the axis: Q is the identity (+z) or the half turn about y
        // (-z), (x, y, z) -> (-x, y, -z), which takes R_n^m to (-1)^(n+m) R_n^-m.
        for (long n = 0; n <= static_cast<long>(order); ++n) {
            auto& out = d[static_cast<std::size_t>(n)];
            out.assign(static_cast<std::size_t>((2 * n + 1) * (2 * n + 1)), Complex(0.0, 0.0));
            for (long m = -n; m <= n; ++m) {
                if (direction.z > 0.0)
                    out[degree_index(m, m, n)] = 1.0;
                else
                    out[degree_index(m, -m, n)] = (n + m) % 2 == 0 ? 1.0 : -1.0;
            }
        }
        return d;
    }
    // The turns' phases as powers of e^{-i theta} and e^{-i phi}, taken from
    // the direction's coordinates (exact for the axes' quarter turns).
    const double r = std::sqrt(rho * rho + direction.z * direction.z);
    const Complex tilt(direction.z / r, -rho / r);
    const Complex turn(direction.x / rho, -direction.y / rho);
    std::vector<Complex> tilts(2 * order + 1), turns(2 * order + 1);  // index k + order: the k-th power
    tilts[order] = turns[order] = Complex(1.0, 0.0);
    for (std::size_t k = 1; k <= order; ++k) {
        tilts[order + k] = tilts[order + k - 1] * tilt, turns[order + k] = turns[order + k - 1] * turn;
        tilts[order - k] = std::conj(tilts[order + k]), turns[order - k] = std::conj(turns[order + k]);
    }
    const auto quarter = quarter_turns(order);
    std::vector<Complex> middle;
    for (long n = 0; n <= static_cast<long>(order); ++n) {
        const std::size_t size = static_cast<std::size_t>(2 * n + 1);
        const auto& to = (*quarter)[static_cast<std::size_t>(n)]->to;
        const auto& back = (*quarter)[static_cast<std::size_t>(n)]->back;
        middle.resize(size * size);
        for (long a = -n; a <= n; ++a)
            for (long mp = -n; mp <= n; ++mp)
                middle[degree_index(a, mp, n)] = tilts[static_cast<std::size_t>(a + static_cast<long>(order))] *
                                                 to[degree_index(a, mp, n)] *
                                                 turns[static_cast<std::size_t>(mp + static_cast<long>(order))];
        auto& out = d[static_cast<std::size_t>(n)];
        out.assign(size * size, Complex(0.0, 0.0));
        for (long m = -n; m <= n; ++m)
            for (long a = -n; a <= n; ++a) {
                const Complex b = back[degree_index(m, a, n)];
                for (long mp = -n; mp <= n; ++mp) out[degree_index(m, mp, n)] += b * middle[degree_index(a, mp, n)];
            }
    }
    return d;
}

namespace {

// D^n = d^n diag(e^{-i m' phi}) with d^n real (phi the direction's azimuth):
// d per degree, and the phases e^{i k phi} for k = -order..order at k + order.
struct SplitRotation {
    std::vector<std::vector<Complex>> d;
    std::vector<Complex> phase;
};

SplitRotation split_rotation(std::size_t order, const Vec3& direction) {
    SplitRotation r{rotation_matrices(order, direction), std::vector<Complex>(2 * order + 1)};
    const double rho = std::sqrt(direction.x * direction.x + direction.y * direction.y);
    const Complex turn = rho == 0.0 ? Complex(1.0, 0.0) : Complex(direction.x / rho, direction.y / rho);  // e^{i phi}
    r.phase[order] = Complex(1.0, 0.0);
    for (std::size_t k = 1; k <= order; ++k) {
        r.phase[order + k] = r.phase[order + k - 1] * turn;
        r.phase[order - k] = std::conj(r.phase[order + k]);
    }
    for (long n = 0; n <= static_cast<long>(order); ++n)
        for (long m = -n; m <= n; ++m)
            for (long mp = -n; mp <= n; ++mp)
                r.d[static_cast<std::size_t>(n)][degree_index(m, mp, n)] *= r.phase[static_cast<std::size_t>(mp + static_cast<long>(order))];
    return r;
}

// cos and sin of e^{i sign m phi}, m = 0..order.
void set_phases(const SplitRotation& r, std::size_t order, int sign, std::vector<double>& c, std::vector<double>& s) {
    for (std::size_t m = 0; m <= order; ++m) {
        const Complex z = r.phase[static_cast<std::size_t>(static_cast<long>(order) + sign * static_cast<long>(m))];
        c.push_back(z.real()), s.push_back(z.imag());
    }
}

// The real-part (orders 0..n) and imaginary-part (orders 1..n) blocks of a
// real map of degree n, from its (2n+1)-square real matrix.
void add_split(long n, const std::vector<double>& full, std::vector<std::vector<double>>& real,
               std::vector<std::vector<double>>& imaginary) {
    const std::size_t size = static_cast<std::size_t>(2 * n + 1), k = static_cast<std::size_t>(n);
    // Within the degree, order m's real part is entry 2m - 1 (0 for m = 0), its imaginary part 2m.
    const auto at = [&](std::size_t m, bool imaginary) { return real_index(k, m, imaginary) - k * k; };
    std::vector<double> re((k + 1) * (k + 1)), im(k * k);
    for (std::size_t j = 0; j <= k; ++j)
        for (std::size_t i = 0; i <= k; ++i) re[j * (k + 1) + i] = full[at(j, false) * size + at(i, false)];
    for (std::size_t j = 1; j <= k; ++j)
        for (std::size_t i = 1; i <= k; ++i) im[(j - 1) * k + (i - 1)] = full[at(j, true) * size + at(i, true)];
    real.push_back(std::move(re));
    imaginary.push_back(std::move(im));
}

// The real matrix of a map of degree n, out^m = sum_{m'} entry(m, m') in^{m'}.
template <class Entry>
std::vector<double> degree_map(long n, const Entry& entry) {
    return real_block(n, [&](const std::vector<Complex>& in, std::vector<Complex>& out) {
        for (long m = 0; m <= n; ++m) {
            Complex s = 0.0;
            for (long mp = -n; mp <= n; ++mp) s += entry(m, mp) * in[static_cast<std::size_t>(mp + n)];
            out[static_cast<std::size_t>(m)] = s;
        }
    });
}

// w_m = (n+|m|)! (n-|m|)! / (n!)^2 at m + n: the rotation matrices of degree n
// are unitary up to these weights of the harmonics' norms, so that
// D^-1_{ab} = conj(D_{ba}) w_b / w_a.
std::vector<double> norm_weights(long n) {
    std::vector<double> w(static_cast<std::size_t>(2 * n + 1));
    w[static_cast<std::size_t>(n)] = 1.0;
    for (long i = 1; i <= n; ++i)
        w[static_cast<std::size_t>(n + i)] = w[static_cast<std::size_t>(n - i)] =
            w[static_cast<std::size_t>(n + i - 1)] * static_cast<double>(n + i) / static_cast<double>(n - i + 1);
    return w;
}

}  // namespace

AxialTranslation axial_translation(std::size_t order, const Vec3& offset, double ratio) {
    AxialTranslation t;
    t.order = order;
    // M'^m = sum_{m'} conj(D_{m m'}) M^{m'} = sum_{m'} d_{m m'} e^{i m' phi} M^{m'}, and
    // L^{m'} = sum_m L'^m conj(D_{m m'}) = e^{i m' phi} sum_m L'^m d_{m m'}.
    const SplitRotation rotation = split_rotation(order, offset);
    set_phases(rotation, order, 1, t.in_cos, t.in_sin);
    set_phases(rotation, order, 1, t.out_cos, t.out_sin);
    for (long n = 0; n <= static_cast<long>(order); ++n) {
        const auto& dn = rotation.d[static_cast<std::size_t>(n)];
        add_split(n, degree_map(n, [&](long m, long mp) { return std::conj(dn[degree_index(m, mp, n)]); }),
                  t.to_real, t.to_imaginary);
        add_split(n, degree_map(n, [&](long m, long mp) { return std::conj(dn[degree_index(mp, m, n)]); }),
                  t.from_real, t.from_imaginary);
    }
    // Along the axis at distance r: L'_j^k = (-1)^k sum_n (-1)^n ratio^n (j+n)!/r^(j+n+1) conj(M'_n^k).
    const double r = std::sqrt((offset.x * offset.x + offset.y * offset.y) + offset.z * offset.z);
    std::vector<double> c(2 * order + 1);  // N! / r^(N+1)
    c[0] = 1.0 / r;
    for (std::size_t k = 1; k <= 2 * order; ++k) c[k] = c[k - 1] * static_cast<double>(k) / r;
    for (std::size_t k = 0; k <= order; ++k) {
        const std::size_t size = order + 1 - k;
        std::vector<double> block(size * size);
        for (std::size_t n = k; n <= order; ++n) {
            const double scale = std::pow(ratio, static_cast<double>(n)) * (((n + k) % 2 == 0) ? 1.0 : -1.0);
            for (std::size_t j = k; j <= order; ++j) block[(n - k) * size + (j - k)] = scale * c[j + n];
        }
        t.along_axis.push_back(std::move(block));
    }
    return t;
}

// A child's multipole to its parent's, or a parent's local to a child's: the
// same three steps, the inverse rotations from norm_weights (no matrix is
// inverted). Along the axis only R_j^0 of the shift is not zero,
// real, r^j / j!, so real and imaginary parts take the same matrix.
AxialTranslation axial_shift(std::size_t order, const Vec3& shift, bool multipole) {
    AxialTranslation t;
    t.order = order;
    t.imaginary_sign = 1.0;
    // With D = d diag(e^{-i m' phi}): a multipole goes in as for the
    // multipole-to-local translation and comes back by (conj D)^-1, whose
    // phases e^{-i m' phi} come last; a local goes in by (conj D^T)^-1, its
    // phases e^{-i m' phi} first, and comes back as a local there.
    const SplitRotation rotation = split_rotation(order, shift);
    set_phases(rotation, order, multipole ? 1 : -1, t.in_cos, t.in_sin);
    set_phases(rotation, order, multipole ? -1 : 1, t.out_cos, t.out_sin);
    for (long n = 0; n <= static_cast<long>(order); ++n) {
        const auto& dn = rotation.d[static_cast<std::size_t>(n)];
        const std::vector<double> w = norm_weights(n);
        const auto weight = [&](long m) { return w[static_cast<std::size_t>(m + n)]; };
        // conj(D) and its transpose, as for the multipole-to-local translation;
        // their inverses, (conj D)^-1_{m' m} = D_{m m'} w_m / w_{m'} and its transpose.
        const auto conjugated = [&](long m, long mp) { return std::conj(dn[degree_index(m, mp, n)]); };
        const auto transposed = [&](long m, long mp) { return std::conj(dn[degree_index(mp, m, n)]); };
        const auto conjugated_back = [&](long m, long mp) { return dn[degree_index(mp, m, n)] * (weight(mp) / weight(m)); };
        const auto transposed_back = [&](long m, long mp) { return dn[degree_index(m, mp, n)] * (weight(m) / weight(mp)); };
        if (multipole) {
            add_split(n, degree_map(n, conjugated), t.to_real, t.to_imaginary);
            add_split(n, degree_map(n, conjugated_back), t.from_real, t.from_imaginary);
        } else {
            add_split(n, degree_map(n, transposed_back), t.to_real, t.to_imaginary);
            add_split(n, degree_map(n, transposed), t.from_real, t.from_imaginary);
        }
    }
    // Multipoles: M'_n^k = sum_{n' <= n} r^(n-n') / (n-n')! 2^-n' M_{n'}^k (the
    // child's width half the parent's); locals: L'_j^k = 2^-j sum_{n >= j}
    // L_n^k r^(n-j) / (n-j)!.
    const double r = std::sqrt((shift.x * shift.x + shift.y * shift.y) + shift.z * shift.z);
    std::vector<double> c(order + 1);  // r^j / j!
    c[0] = 1.0;
    for (std::size_t j = 1; j <= order; ++j) c[j] = c[j - 1] * r / static_cast<double>(j);
    for (std::size_t k = 0; k <= order; ++k) {
        const std::size_t size = order + 1 - k;
        std::vector<double> block(size * size, 0.0);
        for (std::size_t in = k; in <= order; ++in)
            for (std::size_t out = k; out <= order; ++out) {
                if (multipole && in <= out) block[(in - k) * size + (out - k)] = c[out - in] * std::ldexp(1.0, -static_cast<int>(in));
                if (!multipole && in >= out) block[(in - k) * size + (out - k)] = c[in - out] * std::ldexp(1.0, -static_cast<int>(out));
            }
        t.along_axis.push_back(std::move(block));
    }
    return t;
}

}  // namespace corvane::fmm
