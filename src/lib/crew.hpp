// Helper threads that share loops with the calling thread for the length of
// one computation.
#pragma once

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

namespace corvane {

// The calling thread runs a computation and hands loops to the crew: items
// go to whichever thread is free, the caller included, so a helper that the
// system does not schedule only leaves its share to the others (a barrier
// would wait for it). Results must not depend on which thread ran an item.
// Helpers never touch the interpreter.
//
// Loops may follow each other every few microseconds (a Gauss-Seidel sweep
// hands over each colour): between loops a helper spins for a while on the
// next one before it sleeps, since waking a sleeping thread takes tens of
// microseconds.
class Crew {
public:
    // Starts up to n_threads - 1 helpers (2 MiB stacks); fewer when the
    // system refuses more, the caller then doing their share.
    explicit Crew(std::size_t n_threads);
    // Stops and joins the helpers.
    ~Crew();
    Crew(const Crew&) = delete;
    Crew& operator=(const Crew&) = delete;

    // The threads that share a loop: the helpers and the caller.
    std::size_t size() const { return helpers_.size() + 1; }

    // body(item) for item 0..n_items-1; returns when every item is done.
    // body must not throw.
    void parallel_for(std::size_t n_items, const std::function<void(std::size_t)>& body);

private:
    struct Task;
    static void* helper_main(void* crew);
    void serve();
    // Waits until the generation differs from `seen` or the crew stops: spins, then sleeps.
    std::uint64_t await(std::uint64_t seen);

    std::atomic<std::uint64_t> generation_{0};
    std::atomic<Task*> task_{nullptr};
    // Helpers between announcing themselves and leaving the current task, if any.
    std::atomic<std::size_t> active_{0};
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::condition_variable wake_;
    std::size_t sleeping_ = 0;  // under the mutex
    std::vector<pthread_t> helpers_;
};

}  // namespace corvane
