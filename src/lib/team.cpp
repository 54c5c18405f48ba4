#include "lib/team.hpp"

#include <pthread.h>

#include <atomic>
#include <optional>
#include <vector>

#include "lib/thread_scope.hpp"

namespace corvane {
namespace {

struct Shared {
    std::atomic<bool> go{false};
    std::size_t size = 1;
    std::optional<std::barrier<>> barrier;
    const std::function<void(const TeamMember&)>* body = nullptr;
};

struct Seat {
    Shared* shared;
    std::size_t index;
};

void* member_main(void* arg) {
    const auto* seat = static_cast<Seat*>(arg);
    Shared& shared = *seat->shared;
    shared.go.wait(false);
    (*shared.body)(TeamMember{seat->index, shared.size, &*shared.barrier});
    return nullptr;
}

}  // namespace

void run_team(std::size_t n_threads, const std::function<void(const TeamMember&)>& body) {
    Shared shared;
    shared.body = &body;
    std::vector<Seat> seats;
    seats.reserve(n_threads > 1 ? n_threads - 1 : 0);
    std::vector<void*> args;
    for (std::size_t t = 1; t < n_threads; ++t) {
        seats.push_back(Seat{&shared, t});
        args.push_back(&seats.back());
    }
    std::vector<pthread_t> threads;
    threads.reserve(args.size());
    start_threads(member_main, args, threads);  // those that started, in order
    shared.size = threads.size() + 1;
    shared.barrier.emplace(static_cast<std::ptrdiff_t>(shared.size));
    shared.go.store(true);
    shared.go.notify_all();
    body(TeamMember{0, shared.size, &*shared.barrier});
    for (pthread_t thread : threads) pthread_join(thread, nullptr);
}

}  // namespace corvane
