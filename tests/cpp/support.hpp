// Helpers shared by the C++ tests of the vectorised code.
#pragma once

#include <gtest/gtest.h>
#include <hwy/highway.h>
#include <hwy/targets.h>

#include <bit>
#include <cstdint>

namespace corvane::testing {

// Identical bit patterns (signed zeros and NaN payloads included).
inline bool same_bits(double a, double b) { return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b); }

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
