#include "lib/crew.hpp"

#include <atomic>

#include "lib/thread_scope.hpp"

namespace corvane {

// One loop: its items are claimed through `next`; `joined` counts the
// helpers inside it, and the caller returns only when none is.
struct Crew::Task {
    const std::function<void(std::size_t)>* body;
    std::size_t n_items;
    std::atomic<std::size_t> next{0};
    std::size_t joined = 0;  // under the mutex

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
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    for (pthread_t helper : helpers_) pthread_join(helper, nullptr);
}

void* Crew::helper_main(void* crew) {
    static_cast<Crew*>(crew)->serve();
    return nullptr;
}

void Crew::serve() {
    std::uint64_t seen = 0;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [&] { return stop_ || generation_ != seen; });
        if (stop_) return;
        seen = generation_;
        // A loop that ended before this helper woke is gone: wait for the next.
        Task* task = task_;
        if (!task) continue;
        ++task->joined;
        lock.unlock();
        task->run();
        lock.lock();
        if (--task->joined == 0) finished_.notify_all();
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
    {
        std::lock_guard<std::mutex> lock(mutex_);
        task_ = &task;
        ++generation_;
    }
    wake_.notify_all();
    task.run();
    // Every item has been claimed; those that helpers hold end before they leave.
    std::unique_lock<std::mutex> lock(mutex_);
    task_ = nullptr;
    finished_.wait(lock, [&] { return task.joined == 0; });
}

}  // namespace corvane
