// Minimal checking for the native unit tests: each CHECK counts, a failure prints its line,
// and the closing line reports the counts.
#pragma once

#include <cstdio>

namespace native_check {
inline int passed = 0;
inline int failed = 0;

inline void record(bool ok, const char* expression, const char* file, int line) {
    if (ok) {
        ++passed;
    } else {
        ++failed;
        std::printf("%s:%d: check failed: %s\n", file, line, expression);
    }
}

inline int finish() {
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
}  // namespace native_check

#define CHECK(expression) \
    native_check::record(static_cast<bool>(expression), #expression, __FILE__, __LINE__)
