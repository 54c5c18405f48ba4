// Formatting and unbuffered writing of the solver's progress lines.
#include "magnetization/progress.hpp"

#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>

#include "lib/failure.hpp"

namespace corvane {

std::string format_change(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    // to_chars is locale-independent and gives "d.ddde-XX" / "d.ddde+XX".
    char buf[32];
    const auto written = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific, 3);
    const std::string_view text(buf, static_cast<std::size_t>(written.ptr - buf));
    const std::size_t e = text.find('e');
    std::string out(text.substr(0, e + 1));
    std::size_t p = e + 1;
    if (text[p] == '-') out += '-';
    ++p;
    while (p + 1 < text.size() && text[p] == '0') ++p;
    out += text.substr(p);
    return out;
}

std::string progress_line(std::uint32_t iteration, double change) {
    return "Iteration: " + std::to_string(iteration) + "; max change: " + format_change(change) + "\n";
}

void write_stdout(std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = ::write(STDOUT_FILENO, text.data(), text.size());
        if (n < 0) {
            const int error = errno;
            if (error == EINTR) continue;
            char message[256];
            // GNU strerror_r: returns the text, in `message` or a static string.
            const char* reason = strerror_r(error, message, sizeof message);
            fail(std::string("failed printing to stdout: ") + reason + " (os error " + std::to_string(error) + ")");
        }
        if (n == 0) fail("failed printing to stdout: failed to write whole buffer");
        text.remove_prefix(static_cast<std::size_t>(n));
    }
}

}  // namespace corvane
