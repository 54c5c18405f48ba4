// Processor count from the scheduler's affinity mask, with fallbacks.
#include "lib/parallelism.hpp"

#include <sched.h>
#include <unistd.h>

#include <algorithm>

namespace corvane {

std::size_t available_parallelism() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) == 0) {
        const int count = CPU_COUNT(&set);
        if (count > 0) return static_cast<std::size_t>(count);
    }
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<std::size_t>(online) : 1;
}

std::size_t thread_count(std::uint32_t n_threads_requested) {
    const std::size_t p = available_parallelism();
    if (n_threads_requested == 0) return p;
    return std::min<std::size_t>(n_threads_requested, p);
}

}  // namespace corvane
