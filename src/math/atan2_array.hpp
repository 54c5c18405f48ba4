// Elementwise fast_atan2 over two equally long float64 lists.
#pragma once

#include <span>
#include <vector>

namespace corvane {

// Element i is fast_atan2(y[i], x[i]); equal lengths are required (an
// equality assertion "length of `_xvals` does not match", left len(x)).
std::vector<double> atan2_array(std::span<const double> y, std::span<const double> x);

}  // namespace corvane
