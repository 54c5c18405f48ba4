// Sorting on worker threads: sorted runs, then merged pairwise.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "lib/work_queue.hpp"

namespace corvane {

using KeyIndex = std::pair<std::uint64_t, std::uint32_t>;

// Sorts the pairs in increasing order (key, then index) in short items on
// n_threads threads, polling between them (see run_items). The result is
// that of std::sort: it does not depend on the thread count.
void parallel_sort(std::vector<KeyIndex>& values, std::size_t n_threads, const Poll& poll);

}  // namespace corvane
