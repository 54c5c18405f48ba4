// Items shared out one at a time to worker threads and the calling thread,
// with a poll on the calling thread that can stop the work.
#pragma once

#include <cstddef>
#include <exception>
#include <functional>

namespace corvane {

// Thrown by run_items when its poll asked to stop.
struct Cancelled : std::exception {
    const char* what() const noexcept override { return "cancelled"; }
};

// Called on the calling thread between items, at most every poll_seconds;
// false stops the work.
using Poll = std::function<bool()>;

// Runs body(item, thread) for every item in 0..n_items-1 on n_threads threads
// (the calling thread is thread 0; the others are started here and have
// ended when the call returns). Items are taken in increasing order by
// whichever thread is free, so a result must not depend on which thread ran
// it. The first exception of any item stops the others and is rethrown here;
// a poll that returns false stops them and throws Cancelled.
void run_items(std::size_t n_items, std::size_t n_threads, const std::function<void(std::size_t, std::size_t)>& body,
               const Poll& poll, double poll_seconds = 0.1);

}  // namespace corvane
