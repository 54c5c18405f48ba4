// Three-component vectors and views of flat coordinate and index records.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "lib/failure.hpp"

namespace corvane {

struct Vec3 {
    double x = 0.0, y = 0.0, z = 0.0;
};

inline Vec3 operator+(Vec3 a, Vec3 b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
inline Vec3 operator-(Vec3 a, Vec3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
inline Vec3 operator*(Vec3 a, double s) { return {a.x * s, a.y * s, a.z * s}; }

// A read-only list of Vec3 stored as consecutive (x, y, z) float64 triples.
// Views never own their memory; records are loaded by value.
class Vec3List {
public:
    Vec3List() = default;
    Vec3List(const double* data, std::size_t size) : data_(data), size_(size) {}
    explicit Vec3List(const std::vector<double>& flat) : data_(flat.data()), size_(flat.size() / 3) {}

    std::size_t size() const { return size_; }
    const double* data() const { return data_; }
    Vec3 operator[](std::size_t i) const {
        const double* p = data_ + 3 * i;
        return {p[0], p[1], p[2]};
    }
    // Bounds-checked access with the core's index failure.
    Vec3 at(std::size_t i) const {
        check_index(i, size_);
        return (*this)[i];
    }

private:
    const double* data_ = nullptr;
    std::size_t size_ = 0;
};

using Tet = std::array<std::uint32_t, 4>;

// A read-only list of four-node elements stored as consecutive uint32 quadruples.
class TetList {
public:
    TetList() = default;
    TetList(const std::uint32_t* data, std::size_t size) : data_(data), size_(size) {}

    std::size_t size() const { return size_; }
    const std::uint32_t* data() const { return data_; }
    Tet operator[](std::size_t i) const {
        const std::uint32_t* p = data_ + 4 * i;
        return {p[0], p[1], p[2], p[3]};
    }

private:
    const std::uint32_t* data_ = nullptr;
    std::size_t size_ = 0;
};

// Appends v to a flat triple list.
inline void push_vec3(std::vector<double>& flat, Vec3 v) {
    flat.push_back(v.x);
    flat.push_back(v.y);
    flat.push_back(v.z);
}

}  // namespace corvane
