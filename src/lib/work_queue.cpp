// Shared item counter over POSIX threads (for the workers' stack size).
#include "lib/work_queue.hpp"

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "lib/failure.hpp"
#include "lib/thread_scope.hpp"

namespace corvane {
namespace {

struct Shared {
    std::size_t n_items;
    const std::function<void(std::size_t, std::size_t)>* body;
    std::atomic<std::size_t> next{0};
    std::atomic<bool> stop{false};
    std::mutex mutex;
    std::exception_ptr error;

    void record(std::exception_ptr e) {
        std::lock_guard<std::mutex> lock(mutex);
        if (!error) error = e;
        stop.store(true);
    }

    // Runs items until none is left or the work stops; `between` runs after
    // each item and may stop the work.
    template <class Between>
    void work(std::size_t thread, const Between& between) {
        try {
            while (!stop.load(std::memory_order_relaxed)) {
                const std::size_t item = next.fetch_add(1);
                if (item >= n_items) break;
                (*body)(item, thread);
                if (!between()) stop.store(true);
            }
        } catch (...) {
            record(std::current_exception());
        }
    }
};

struct WorkerArgs {
    Shared* shared;
    std::size_t thread;
};

void* worker_main(void* arg) {
    const auto* a = static_cast<WorkerArgs*>(arg);
    a->shared->work(a->thread, [] { return true; });
    return nullptr;
}

}  // namespace

void run_items(std::size_t n_items, std::size_t n_threads, const std::function<void(std::size_t, std::size_t)>& body,
               const Poll& poll, double poll_seconds) {
    if (n_threads == 0) n_threads = 1;
    if (n_threads > n_items) n_threads = n_items > 0 ? n_items : 1;
    Shared shared;
    shared.n_items = n_items;
    shared.body = &body;
    std::vector<WorkerArgs> args(n_threads);
    std::vector<void*> starts;
    for (std::size_t t = 1; t < n_threads; ++t) {
        args[t] = {&shared, t};
        starts.push_back(&args[t]);
    }
    std::vector<pthread_t> threads;
    threads.reserve(n_threads);
    const int spawn_error = start_threads(worker_main, starts, threads);
    if (spawn_error != 0) shared.stop.store(true);

    bool cancelled = false;
    using Clock = std::chrono::steady_clock;
    auto last_poll = Clock::now();
    const auto interval = std::chrono::duration<double>(poll_seconds);
    const auto between = [&] {
        if (!poll || Clock::now() - last_poll < interval) return true;
        last_poll = Clock::now();
        if (poll()) return true;
        cancelled = true;
        return false;
    };
    shared.work(0, between);
    // The calling thread keeps polling while the workers finish their items.
    for (pthread_t thread : threads) {
        while (true) {
            timespec deadline;
            clock_gettime(CLOCK_REALTIME, &deadline);
            deadline.tv_nsec += 20 * 1000 * 1000;
            if (deadline.tv_nsec >= 1000000000) deadline.tv_sec += 1, deadline.tv_nsec -= 1000000000;
            if (pthread_timedjoin_np(thread, nullptr, &deadline) == 0) break;
            if (cancelled || shared.stop.load()) continue;
            try {
                if (!between()) shared.stop.store(true);
            } catch (...) {
                shared.record(std::current_exception());
            }
        }
    }
    if (shared.error) std::rethrow_exception(shared.error);
    if (spawn_error != 0) fail(std::string("failed to spawn thread: ") + std::strerror(spawn_error));
    if (cancelled) throw Cancelled();
}

}  // namespace corvane
