// Progress lines of the solver, written straight to the process's standard
// output (file descriptor 1), one write per line.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace corvane {

// One digit, a point, three digits, 'e' and the exponent without plus sign or
// leading zeros: 0.5 -> "5.000e-1", 123.456 -> "1.235e2", 0.0 -> "0.000e0".
// Correctly rounded (ties of exactly representable values go to even).
// Non-finite values print as "inf", "-inf" and "NaN".
std::string format_change(double value);

// "Iteration: {k}; max change: {change}\n".
std::string progress_line(std::uint32_t iteration, double change);

// Writes all of `text` to file descriptor 1 with write(2), continuing after
// partial writes and interruptions. A failed write is an internal failure
// "failed printing to stdout: {system text} (os error {errno})".
void write_stdout(std::string_view text);

}  // namespace corvane
