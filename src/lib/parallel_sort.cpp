// Runs of fixed length sorted one per item, then merged two at a time, round
// after round; the pairs are distinct (their indices are), so the order is
// fully determined.
#include "lib/parallel_sort.hpp"

#include <algorithm>

namespace corvane {

void parallel_sort(std::vector<KeyIndex>& values, std::size_t n_threads, const Poll& poll) {
    constexpr std::size_t RUN = 1 << 18;
    const std::size_t n = values.size();
    const std::size_t n_runs = (n + RUN - 1) / RUN;
    run_items(n_runs, n_threads, [&](std::size_t r, std::size_t) {
        std::sort(values.begin() + static_cast<std::ptrdiff_t>(r * RUN),
                  values.begin() + static_cast<std::ptrdiff_t>(std::min(n, (r + 1) * RUN)));
    }, poll);
    std::vector<KeyIndex> other(n);
    for (std::size_t width = RUN; width < n; width *= 2) {
        const std::size_t n_merges = (n + 2 * width - 1) / (2 * width);
        run_items(n_merges, n_threads, [&](std::size_t i, std::size_t) {
            const std::size_t first = i * 2 * width, middle = std::min(n, first + width), last = std::min(n, first + 2 * width);
            std::merge(values.begin() + static_cast<std::ptrdiff_t>(first), values.begin() + static_cast<std::ptrdiff_t>(middle),
                       values.begin() + static_cast<std::ptrdiff_t>(middle), values.begin() + static_cast<std::ptrdiff_t>(last),
                       other.begin() + static_cast<std::ptrdiff_t>(first));
        }, poll);
        values.swap(other);
    }
}

}  // namespace corvane
