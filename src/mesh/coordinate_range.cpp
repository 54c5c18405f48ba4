// Refusal of coordinates and element sizes the field computations cannot carry.
#include "mesh/coordinate_range.hpp"

#include <cmath>
#include <cstdio>
#include <string>

#include "lib/failure.hpp"

namespace corvane {
namespace {

std::string number(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3g", v);
    return text;
}

double size_of(const Vec3* nodes, std::size_t n) {
    double size = 0.0;
    for (std::size_t k = 1; k < n; ++k) {
        const Vec3 d = nodes[k] - nodes[0];
        size = std::fmax(size, std::fmax(std::fmax(std::fabs(d.x), std::fabs(d.y)), std::fabs(d.z)));
    }
    return size;
}

[[noreturn]] void refuse_size(const char* name, const char* what, std::size_t index, double size) {
    throw Refusal(std::string(name) + ": " + what + " " + std::to_string(index) + " has a size of " + number(size) +
                  " m, below " + number(MIN_ELEMENT_SIZE) +
                  " m: fields of such small parts cannot be computed in float64; give lengths in larger units");
}

}  // namespace

void check_coordinates(std::span<const double> values, const char* name) {
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (std::fabs(values[i]) > MAX_COORDINATE) {
            throw Refusal(std::string(name) + ": a coordinate of magnitude " + number(std::fabs(values[i])) +
                          " m, above " + number(MAX_COORDINATE) +
                          " m: fields at such distances cannot be computed in float64; give lengths in smaller "
                          "units or move the part nearer the origin");
        }
    }
}

void check_element_sizes(Vec3List nodes, TetList elements, const char* name) {
    for (std::size_t e = 0; e < elements.size(); ++e) {
        const Tet t = elements[e];
        if (t[0] >= nodes.size() || t[1] >= nodes.size() || t[2] >= nodes.size() || t[3] >= nodes.size()) continue;
        const Vec3 p[4] = {nodes[t[0]], nodes[t[1]], nodes[t[2]], nodes[t[3]]};
        const double size = size_of(p, 4);
        if (size > 0.0 && size < MIN_ELEMENT_SIZE) refuse_size(name, "element", e, size);
    }
}

void check_face_sizes(std::span<const double> nodes, std::span<const std::uint32_t> faces, const char* name) {
    const std::size_t n_nodes = nodes.size() / 3;
    for (std::size_t f = 0; f + 2 < faces.size(); f += 3) {
        Vec3 p[3];
        bool valid = true;
        for (std::size_t k = 0; k < 3; ++k) {
            const std::size_t i = faces[f + k];
            if (i >= n_nodes) {
                valid = false;
                break;
            }
            p[k] = {nodes[3 * i], nodes[3 * i + 1], nodes[3 * i + 2]};
        }
        if (!valid) continue;
        const double size = size_of(p, 3);
        if (size > 0.0 && size < MIN_ELEMENT_SIZE) refuse_size(name, "face", f / 3, size);
    }
}

}  // namespace corvane
