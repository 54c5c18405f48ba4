// Point-source kernels: an element replaced by a dipole (magnetisation) or a
// current element (current density) of strength volume x vector at its centroid.
#pragma once

#include "sources/kernel.hpp"

namespace corvane {

// Each adds, at every target of the chunk, the field of one element (SI
// units: A in T·m, H in A/m) to the chunk's outputs.
void point_a_from_m(const ElementNodes& nodes, const Vec3& vector, const ChunkPair& chunk);
void point_h_from_m(const ElementNodes& nodes, const Vec3& vector, const ChunkPair& chunk);
void point_a_from_j(const ElementNodes& nodes, const Vec3& vector, const ChunkPair& chunk);
void point_h_from_j(const ElementNodes& nodes, const Vec3& vector, const ChunkPair& chunk);

// Per-element quantities shared by the four kernels.
struct PointSource {
    double volume;
    Vec3 centroid;
    Vec3 strength;  // volume x vector
    double equivalent_radius;  // radius of the sphere of the element's volume
};
PointSource point_source(const ElementNodes& nodes, const Vec3& vector);

// Adds the field of one point source (a dipole or a current element of the
// source's strength at its centroid) at every target of the chunk; `vector`
// is the magnetisation or current density it stands for, which sets the field
// inside its equivalent sphere.
void add_point_source_field(const PointSource& source, const Vec3& vector, bool magnetization, bool h_field,
                            const ChunkPair& chunk);

}  // namespace corvane
