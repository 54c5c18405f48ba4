// The expansion order of each translation: the lowest that keeps the error of
// a test source within a bound. Nearby boxes need high orders, boxes further
// apart far lower ones, so most translations get small matrices.
#pragma once

#include <cstddef>
#include <vector>

#include "fmm/interactions.hpp"
#include "fmm/translations.hpp"

namespace corvane::fmm {

struct OrderedTranslation {
    std::size_t order;
    Matrix matrix;  // multipole_to_local at that order
};

// For each key: random dipoles (a fixed sequence) fill the source box; the
// order is the lowest whose translated field at test points of the target
// box differs from the exact field by at most `bound` times the RMS field the
// same dipoles make at a box of their size two widths away. Never above
// max_order.
std::vector<OrderedTranslation> ordered_translations(const std::vector<TranslationKey>& keys, std::size_t max_order,
                                                     double bound);

}  // namespace corvane::fmm
