// Runs tasks on fresh worker threads and waits for all of them.
#pragma once

#include <cstddef>
#include <functional>
#include <vector>

#include <pthread.h>

namespace corvane {

// Starts one operating-system thread (2 MiB stack) per task index 0..n_tasks-1,
// in order, and returns once every started thread has ended. Workers must not
// touch the interpreter. A task that throws has its message written to
// standard error; after all threads ended the call fails with
// "a scoped thread panicked", or rethrows std::bad_alloc when every failed task
// only ran out of memory. A thread that cannot be started fails the call with
// "failed to spawn thread: ..." once the started ones have ended.
void run_scoped(std::size_t n_tasks, const std::function<void(std::size_t)>& task);

// Starts one thread (2 MiB stack) per argument, main(args[i]), in order,
// until one cannot be started; appends the started ones to `started` and
// returns 0 or the error of the one that failed.
int start_threads(void* (*main)(void*), const std::vector<void*>& args, std::vector<pthread_t>& started);

}  // namespace corvane
