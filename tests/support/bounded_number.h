// A whole decimal number from a command line, within bounds: the load drivers' options.
#pragma once

#include <cstdlib>

namespace tvn_test {

// True with *out set when text is a whole number from low to high.
inline bool parse_bounded_number(const char *text, int low, int high, int *out) {
    char *end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || value < low || value > high) return false;
    *out = int(value);
    return true;
}

} // namespace tvn_test
