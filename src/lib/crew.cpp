#include "lib/crew.hpp"

#include <chrono>
#include <thread>

#include "lib/thread_scope.hpp"

namespace corvane {
namespace {

// How long a helper spins on the next loop before it sleeps.
constexpr std::chrono::microseconds SPIN{500};

inline void relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

}  // namespace

// One loop: its items are claimed through `next`.
struct Crew::Task {
    const std::function<void(std::size_t)>* body;
    std::size_t n_items;
    std::atomic<std::size_t> next{0};

    void run() {
        for (std::size_t item = next.fetch_add(1); item < n_items; item = next.fetch_add(1)) (*body)(item);
    }
};

Crew::Crew(std::size_t n_threads) {
    std::vector<void*> args(n_threads > 1 ? n_threads - 1 : 0, this);
    helpers_.reserve(args.size());
    start_threads(helper_main, args, helpers_);  // those that started
}

Crew::~Crew() {
    stop_.store(true);
    {
        std::lock_guard<std::mutex> lock(mutex_);
    }
    wake_.notify_all();
    for (pthread_t helper : helpers_) pthread_join(helper, nullptr);
}

void* Crew::helper_main(void* crew) {
    static_cast<Crew*>(crew)->serve();
    return nullptr;
}

std::uint64_t Crew::await(std::uint64_t seen) {
    const auto until = std::chrono::steady_clock::now() + SPIN;
    for (std::size_t spins = 1;; ++spins) {
        const std::uint64_t generation = generation_.load();
        if (generation != seen || stop_.load()) return generation;
        relax();
        if (spins % 64 != 0) continue;
        if (std::chrono::steady_clock::now() > until) break;
        // On a machine with more threads than cores, leave the core to whoever waits for it.
        if (spins % 1024 == 0) std::this_thread::yield();
    }
    std::unique_lock<std::mutex> lock(mutex_);
    ++sleeping_;
    wake_.wait(lock, [&] { return stop_.load() || generation_.load() != seen; });
    --sleeping_;
    return generation_.load();
}

void Crew::serve() {
    std::uint64_t seen = 0;
    for (;;) {
        seen = await(seen);
        if (stop_.load()) return;
        // Announced before the task is read: the caller, having withdrawn the
        // task, waits until no helper is announced, so a task read here
        // outlives its use. A loop that ended before this helper woke is gone.
        active_.fetch_add(1);
        if (Task* task = task_.load()) task->run();
        active_.fetch_sub(1);
    }
}

void Crew::parallel_for(std::size_t n_items, const std::function<void(std::size_t)>& body) {
    Task task;
    task.body = &body;
    task.n_items = n_items;
    if (helpers_.empty() || n_items < 2) {
        task.run();
        return;
    }
    task_.store(&task);
    generation_.fetch_add(1);
    {
        // A helper counts itself asleep and tests the generation under the
        // mutex: either it saw the new one or it is waiting now.
        std::lock_guard<std::mutex> lock(mutex_);
        if (sleeping_) wake_.notify_all();
    }
    task.run();
    // Every item has been claimed; those that helpers hold end before they leave.
    task_.store(nullptr);
    for (std::size_t spins = 1; active_.load() != 0; ++spins) {
        // A helper preempted between announcing itself and reading the task holds the caller up.
        if (spins % 1024 == 0) std::this_thread::yield();
        relax();
    }
}

}  // namespace corvane
