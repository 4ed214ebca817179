// The benchmark's output: one line "name value unit" per figure on standard output, flushed at
// once so that a script reading the lines sees each as soon as it is measured; and the clocks
// the workloads are timed with.
#pragma once

#include <chrono>
#include <string_view>

namespace tvnbench {

using bench_clock = std::chrono::steady_clock;

void print_figure(std::string_view name, double value, std::string_view unit, int decimals);

// Seconds between two points of the steady clock.
double seconds_between(bench_clock::time_point from, bench_clock::time_point to);

// CPU time (user and system) this process has used so far, in seconds.
double process_cpu_seconds();

// Megabytes (10^6 bytes) per second.
double megabytes_per_second(double bytes, double seconds);

} // namespace tvnbench
