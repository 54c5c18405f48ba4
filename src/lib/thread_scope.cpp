// Scoped worker threads over POSIX threads (a fixed stack reservation is not
// available through std::thread).
#include "lib/thread_scope.hpp"

#include <pthread.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "lib/failure.hpp"

namespace corvane {
namespace {

constexpr std::size_t WORKER_STACK_BYTES = 2 * 1024 * 1024;

struct WorkerSlot {
    const std::function<void(std::size_t)>* task;
    std::size_t index;
    std::atomic<bool>* failed;         // an internal failure or any other error
    std::atomic<bool>* out_of_memory;  // an allocation that could not be made
};

// Formats without allocating: the report must not fail where memory ran out.
void report_worker_failure(const char* what) {
    std::fprintf(stderr, "corvane: worker thread failed: %s\n", what);
    std::fflush(stderr);
}

void* worker_main(void* arg) {
    auto* slot = static_cast<WorkerSlot*>(arg);
    try {
        (*slot->task)(slot->index);
    } catch (const std::bad_alloc& e) {
        report_worker_failure(e.what());
        slot->out_of_memory->store(true);
    } catch (const std::length_error& e) {  // a size no container can hold
        report_worker_failure(e.what());
        slot->out_of_memory->store(true);
    } catch (const std::exception& e) {
        report_worker_failure(e.what());
        slot->failed->store(true);
    } catch (...) {
        report_worker_failure("unknown error");
        slot->failed->store(true);
    }
    return nullptr;
}

}  // namespace

int start_threads(void* (*main)(void*), const std::vector<void*>& args, std::vector<pthread_t>& started) {
    pthread_attr_t attr;
    int error = pthread_attr_init(&attr);
    const bool attr_ready = error == 0;
    if (attr_ready) error = pthread_attr_setstacksize(&attr, WORKER_STACK_BYTES);
    for (std::size_t i = 0; i < args.size() && error == 0; ++i) {
        pthread_t thread;
        error = pthread_create(&thread, &attr, main, args[i]);
        if (error == 0) started.push_back(thread);
    }
    if (attr_ready) pthread_attr_destroy(&attr);
    return error;
}

void run_scoped(std::size_t n_tasks, const std::function<void(std::size_t)>& task) {
    std::atomic<bool> failed{false};
    std::atomic<bool> out_of_memory{false};
    std::vector<WorkerSlot> slots(n_tasks);
    std::vector<pthread_t> threads;
    threads.reserve(n_tasks);
    std::vector<void*> args(n_tasks);
    for (std::size_t i = 0; i < n_tasks; ++i) {
        slots[i] = WorkerSlot{&task, i, &failed, &out_of_memory};
        args[i] = &slots[i];
    }
    const int spawn_error = start_threads(worker_main, args, threads);

    for (pthread_t thread : threads) pthread_join(thread, nullptr);

    if (spawn_error != 0) fail(std::string("failed to spawn thread: ") + std::strerror(spawn_error));
    if (failed.load()) fail("a scoped thread panicked");
    // Workers that only ran out of memory make the call fail as an allocation
    // on the calling thread would.
    if (out_of_memory.load()) throw std::bad_alloc();
}

}  // namespace corvane
