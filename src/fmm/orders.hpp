// The expansion order of each translation: the lowest that keeps the error of
// a test source within a bound. Nearby boxes need high orders, boxes further
// apart far lower ones, so most translations get small matrices.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "fmm/interactions.hpp"
#include "fmm/rotations.hpp"
#include "math/vec3.hpp"

namespace corvane::fmm {

// For each key: random dipoles (a fixed sequence) fill the source box; the
// order is the lowest whose translated field at test points of the target
// box differs from the exact field by at most `bound` times the RMS field the
// same dipoles make at a box of their size two widths away. Never above
// max_order.
std::size_t translation_order(const TranslationKey& key, std::size_t max_order, double bound);

// The key's translation at that order. Both depend on the arguments alone,
// so each is found once per process: the orders always, the translations
// while those kept take under 64 MiB (beyond, each caller gets its own).
std::shared_ptr<const AxialTranslation> key_translation(const TranslationKey& key, std::size_t max_order,
                                                        double bound);

// The offset (c_A - c_B) / w_B and the ratio w_A / w_B of a key.
Vec3 key_offset(const TranslationKey& key);
double key_ratio(const TranslationKey& key);

}  // namespace corvane::fmm
