// Message formatting of internal failures, kept out of line so that the
// checks in hot code stay small.
#include "lib/failure.hpp"

namespace corvane {

void fail(const std::string& message) { throw Failure(message); }

void fail_not_equal(std::size_t left, std::size_t right, const char* message) {
    std::string text = message ? message : "assertion `left == right` failed";
    text += " (left: " + std::to_string(left) + ", right: " + std::to_string(right) + ")";
    throw Failure(text);
}

void fail_index(std::size_t len, std::size_t index) {
    throw Failure("index out of bounds: the len is " + std::to_string(len) +
                  " but the index is " + std::to_string(index));
}

}  // namespace corvane
