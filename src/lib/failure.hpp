// Internal failures of the numerical core: a violated condition stops the
// computation with a `Failure`, which the module boundary raises in Python.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>

namespace corvane {

class Failure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// An argument the computation cannot represent (coordinates whose cubes or
// reciprocals overflow float64): refused before any work, raised in Python as
// ValueError. Not a Failure: nothing is violated inside the core.
class Refusal : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Throws a Failure with the given message.
[[noreturn]] void fail(const std::string& message);

// Equality assertion: fails with `message` (or a generic text when null)
// followed by both values when left != right.
[[noreturn]] void fail_not_equal(std::size_t left, std::size_t right, const char* message);

inline void assert_equal(std::size_t left, std::size_t right, const char* message = nullptr) {
    if (left != right) fail_not_equal(left, right, message);
}

// "index out of bounds: the len is {len} but the index is {index}".
[[noreturn]] void fail_index(std::size_t len, std::size_t index);

inline void check_index(std::size_t index, std::size_t len) {
    if (index >= len) fail_index(len, index);
}

}  // namespace corvane
