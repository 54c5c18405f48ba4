// Helpers shared by the C++ tests of the vectorised code.
#pragma once

#include <gtest/gtest.h>
#include <hwy/highway.h>
#include <hwy/targets.h>

#include <bit>
#include <cstdint>
#include <span>
#include <vector>

#include "lib/records.hpp"

namespace corvane::testing {

// Identical bit patterns (signed zeros and NaN payloads included).
inline bool same_bits(double a, double b) { return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b); }

// Target and output lists of a kernel test, and chunks of them.
struct KernelLists {
    std::vector<double> x, y, z, fx, fy, fz;
    ChunkPair chunk(std::size_t offset, std::size_t n) {
        const auto in = [&](const std::vector<double>& v) { return std::span<const double>(v).subspan(offset, n); };
        const auto out = [&](std::vector<double>& v) { return std::span<double>(v).subspan(offset, n); };
        return {in(x), in(y), in(z), out(fx), out(fy), out(fz)};
    }
    bool same(const KernelLists& o, std::size_t i) const {
        return same_bits(fx[i], o.fx[i]) && same_bits(fy[i], o.fy[i]) && same_bits(fz[i], o.fz[i]);
    }
};

// Runs `check` once with each compiled target that this CPU supports.
template <class Check>
void for_each_target(Check&& check) {
    for (const std::int64_t target : hwy::SupportedAndGeneratedTargets()) {
        hwy::SetSupportedTargetsForTest(target);
        SCOPED_TRACE(hwy::TargetName(target));
        check();
    }
    hwy::SetSupportedTargetsForTest(0);
}

}  // namespace corvane::testing
