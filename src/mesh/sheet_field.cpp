// Closed-form field of a uniformly charged triangle: the solid angle by the
// arctangent of the triple product over the distances' sum (Van Oosterom and
// Strackee), the in-plane part by the edges' logarithms.
#include "mesh/sheet_field.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <string>

#include "lib/failure.hpp"
#include "lib/parallelism.hpp"
#include "math/vec3.hpp"

namespace corvane {
namespace {

constexpr std::size_t SHEETS_PER_ITEM = 256;

double dot(Vec3 a, Vec3 b) { return (a.x * b.x + a.y * b.y) + a.z * b.z; }
Vec3 cross(Vec3 a, Vec3 b) { return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x}; }
double norm(Vec3 a) { return std::sqrt(dot(a, a)); }

// What a triangle's field needs of it, once for all its points.
struct Sheet {
    Vec3 corner[3];
    Vec3 normal;
    double sigma;  // charge per area / 4π
    double length[3];
    Vec3 tangent[3];  // along edge e from corner e to corner e + 1
    Vec3 outward[3];  // the edge's outward normal in the plane
};

Sheet make_sheet(const double* c, double charge, double area) {
    Sheet s;
    for (int i = 0; i < 3; ++i) s.corner[i] = {c[3 * i], c[3 * i + 1], c[3 * i + 2]};
    const Vec3 area_vector = cross(s.corner[1] - s.corner[0], s.corner[2] - s.corner[0]) * 0.5;
    s.normal = {area_vector.x / area, area_vector.y / area, area_vector.z / area};
    s.sigma = charge / area / (4.0 * std::numbers::pi);
    for (int e = 0; e < 3; ++e) {
        const Vec3 edge = s.corner[(e + 1) % 3] - s.corner[e];
        s.length[e] = norm(edge);
        s.tangent[e] = {edge.x / s.length[e], edge.y / s.length[e], edge.z / s.length[e]};
        s.outward[e] = cross(s.tangent[e], s.normal);
    }
    return s;
}

double area_of(const double* c) {
    const Vec3 a{c[0], c[1], c[2]}, b{c[3], c[4], c[5]}, d{c[6], c[7], c[8]};
    return norm(cross(b - a, d - a) * 0.5);
}

Vec3 field_at(const Sheet& s, Vec3 p) {
    Vec3 r[3];
    double distance[3];
    for (int i = 0; i < 3; ++i) {
        r[i] = s.corner[i] - p;
        distance[i] = norm(r[i]);
    }
    const double triple = r[0].x * (r[1].y * r[2].z - r[1].z * r[2].y) + r[0].y * (r[1].z * r[2].x - r[1].x * r[2].z) +
                          r[0].z * (r[1].x * r[2].y - r[1].y * r[2].x);
    const double denominator = distance[0] * distance[1] * distance[2] + dot(r[0], r[1]) * distance[2] +
                               dot(r[1], r[2]) * distance[0] + dot(r[2], r[0]) * distance[1];
    const double solid_angle = -2.0 * std::atan2(triple, denominator);
    Vec3 in_plane{};
    for (int e = 0; e < 3; ++e) {
        const int v = (e + 1) % 3;
        const double s_u = dot(r[e], s.tangent[e]);
        const double s_v = s_u + s.length[e];
        // (R_v + s_v)/(R_u + s_u), where an R + s with s < 0 cancels: it is ρ²/(R − s), ρ the
        // point's distance from the edge's line. Behind the end v both cancel, and their ratio is
        // that of the R − s; alongside the edge only R_u + s_u does.
        double ratio;
        if (s_v < 0.0) {
            ratio = (distance[e] - s_u) / (distance[v] - s_v);
        } else if (s_u < 0.0) {
            const Vec3 across = cross(r[e], s.tangent[e]);
            ratio = (distance[v] + s_v) * (distance[e] - s_u) / dot(across, across);
        } else {
            ratio = (distance[v] + s_v) / (distance[e] + s_u);
        }
        in_plane = in_plane + s.outward[e] * std::log(ratio);
    }
    return (s.normal * solid_angle + in_plane) * s.sigma;
}

}  // namespace

std::vector<double> sheet_field(std::span<const double> corners, std::span<const double> charges,
                                std::span<const double> points, std::size_t n_points, std::size_t n_threads,
                                const Poll& poll) {
    const std::size_t n_sheets = charges.size();
    assert_equal(corners.size(), 9 * n_sheets, "corners must hold nine values per charge");
    assert_equal(points.size(), 3 * n_points * n_sheets, "points must hold n_points triples per charge");
    for (std::size_t k = 0; k < n_sheets; ++k) {
        const double area = area_of(corners.data() + 9 * k);
        if (!(area > 0.0) || !std::isfinite(area)) {
            throw Refusal("triangle " + std::to_string(k) + " has no finite non-zero area");
        }
    }
    std::vector<double> out(points.size());
    run_items(ceil_div(n_sheets, SHEETS_PER_ITEM), n_threads, [&](std::size_t item, std::size_t) {
        for (std::size_t k = item * SHEETS_PER_ITEM; k < std::min(n_sheets, (item + 1) * SHEETS_PER_ITEM); ++k) {
            const double* c = corners.data() + 9 * k;
            const Sheet sheet = make_sheet(c, charges[k], area_of(c));
            for (std::size_t q = k * n_points; q < (k + 1) * n_points; ++q) {
                const Vec3 h = field_at(sheet, {points[3 * q], points[3 * q + 1], points[3 * q + 2]});
                out[3 * q] = h.x, out[3 * q + 1] = h.y, out[3 * q + 2] = h.z;
            }
        }
    }, poll);
    return out;
}

}  // namespace corvane
