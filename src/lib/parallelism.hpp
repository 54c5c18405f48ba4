// The processor count and the thread-count rule shared by every evaluation.
#pragma once

#include <cstddef>
#include <cstdint>

namespace corvane {

// Logical processors the process may run on (its CPU affinity); 1 when the
// system cannot tell.
std::size_t available_parallelism();

// 0 means one thread per available processor; other requests are capped at it.
std::size_t thread_count(std::uint32_t n_threads_requested);

// ceil(n / parts), the quotient plus one when there is a remainder.
inline std::size_t ceil_div(std::size_t n, std::size_t parts) {
    return n / parts + (n % parts != 0 ? 1 : 0);
}

}  // namespace corvane
