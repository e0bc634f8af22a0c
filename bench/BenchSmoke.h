#pragma once
// The smoke run CI makes of every benchmark (QUARRA_BENCH_SMOKE=1): each case once, on little
// data, so that a benchmark that no longer runs to the end fails the build. Its figures mean
// nothing. A benchmark takes its sizes, counts, iterations and minimum times through these.
#include <cstdlib>
#include <type_traits>

namespace quarra::bench {

inline bool smokeRun() {
    static const bool smoke = [] {
        const char* value = std::getenv("QUARRA_BENCH_SMOKE");
        return value && *value && *value != '0';
    }();
    return smoke;
}

// `full` in a measuring run, `smoke` in a smoke run.
template <class T>
T smokeOr(T full, std::type_identity_t<T> smoke) {
    return smokeRun() ? smoke : full;
}

// For Iterations() and MinTime(), which a command-line flag does not override.
inline int iterationsOr(int full) {
    return smokeOr(full, 1);
}
inline double minTimeOr(double seconds) {
    return smokeOr(seconds, 0.001);
}

}  // namespace quarra::bench
