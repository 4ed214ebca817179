// Printing figures and reading the clocks.
#include "figures.h"

#include <sys/resource.h>

#include <cstdio>

namespace tvnbench {

void print_figure(std::string_view name, double value, std::string_view unit, int decimals) {
    std::printf("%.*s %.*f %.*s\n", static_cast<int>(name.size()), name.data(), decimals, value,
                static_cast<int>(unit.size()), unit.data());
    std::fflush(stdout);
}

double seconds_between(bench_clock::time_point from, bench_clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

double process_cpu_seconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval &time) {
        return double(time.tv_sec) + double(time.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double megabytes_per_second(double bytes, double seconds) {
    return seconds > 0 ? bytes / seconds / 1e6 : 0;
}

} // namespace tvnbench
