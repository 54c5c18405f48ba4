// A team of threads that run one body together, meeting at a barrier.
#pragma once

#include <barrier>
#include <cstddef>
#include <functional>
#include <utility>

namespace corvane {

// One thread's view of its team.
struct TeamMember {
    std::size_t index;  // 0 is the calling thread
    std::size_t size;
    std::barrier<>* barrier;

    // Waits until every member has arrived.
    void sync() const { barrier->arrive_and_wait(); }
    bool leads() const { return index == 0; }
    // This member's part of first..last-1: contiguous, in member order.
    std::pair<std::size_t, std::size_t> share(std::size_t first, std::size_t last) const {
        const std::size_t n = last - first;
        return {first + n * index / size, first + n * (index + 1) / size};
    }
};

// Runs body(member) on the calling thread and up to n_threads - 1 others
// (2 MiB stacks), returning when all have finished. A thread that cannot be
// started makes the team smaller: the members only start once its size is
// known. The body must not throw (a member that stopped early would leave the
// others waiting at the barrier) and must give the same results for any team
// size. Members never touch the interpreter.
void run_team(std::size_t n_threads, const std::function<void(const TeamMember&)>& body);

}  // namespace corvane
