// sessions and listing: what a session costs from its connection to its end, and what one
// large listing costs inside a session.
#include <algorithm>
#include <cstdio>
#include <optional>
#include <vector>

#include "figures.h"
#include "proc_view.h"
#include "tolvane/listing.h"
#include "workloads.h"

namespace tvnbench {

namespace {

std::size_t entry_count(std::span<const std::uint8_t> body, const std::string &path) {
    const auto entries = tvn_client::parse_listing(body, true);
    if (!entries) throw bench_error("GETDIR " + path + ": a listing that does not parse");
    return entries->size();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

} // namespace

// A session ends when the server has closed the connection after DISCONNECT: its worker has
// then written the journal line and let the connection go.
void run_sessions(const bench_context &context) {
    const auto &options = context.options;
    const auto start = bench_clock::now();
    std::uint32_t resumed = 0;
    for (std::uint32_t i = 0; i < options.sessions; ++i) {
        bench_session session(context.address, true);
        resumed += session.tls().resumed ? 1 : 0;
        session.login();
        const auto body = session.list(context.paths.small);
        if (entry_count(body, context.paths.small) < options.small_entries)
            throw bench_error("GETDIR " + context.paths.small + ": entries missing");
        session.disconnect();
        if (!session.wait_closed()) throw bench_error("DISCONNECT: the server kept the connection");
    }
    const double seconds = seconds_between(start, bench_clock::now());
    if (options.verbose && context.address.tls)
        std::fprintf(stderr, "tvnbench: %s: %u of %u resumed a TLS session\n",
                     context.figure("sessions").c_str(), resumed, options.sessions);
    print_figure(context.figure("sessions"), seconds > 0 ? options.sessions / seconds : 0, "sessions/s", 1);
}

// The first listing warms the server's caches and is not counted; the figure is the median
// of the timed ones, each from the request's first byte sent to the answer's last received.
void run_listing(const bench_context &context) {
    const auto &options = context.options;
    const std::string &path = context.paths.many;
    bench_session session(context.address);
    const std::size_t entries = entry_count(session.list(path), path);
    if (entries < options.entries)
        throw bench_error(path + ": " + std::to_string(entries) + " entries, " +
                          std::to_string(options.entries) + " wanted");
    // The worker's CPU time per listing: what the figure costs the server, whatever the load.
    const auto worker =
        serving_processes(context.address.port, {local_port(session.connection().fd())}).front();
    const auto cpu_before = worker > 0 ? cpu_seconds_of(worker) : std::nullopt;
    std::vector<double> milliseconds;
    for (std::uint32_t i = 0; i < options.listing_repeat; ++i) {
        const auto start = bench_clock::now();
        const auto body = session.list(path);
        const auto end = bench_clock::now();
        if (body.empty()) throw bench_error("GETDIR " + path + ": an empty listing");
        milliseconds.push_back(seconds_between(start, end) * 1000);
    }
    const auto cpu_after = worker > 0 ? cpu_seconds_of(worker) : std::nullopt;
    session.disconnect();
    session.wait_closed();
    if (options.verbose) {
        std::fprintf(stderr, "tvnbench: listing: %zu entries, %.2f to %.2f ms", entries,
                     *std::min_element(milliseconds.begin(), milliseconds.end()),
                     *std::max_element(milliseconds.begin(), milliseconds.end()));
        if (cpu_before && cpu_after)
            std::fprintf(stderr, "; server CPU %.1f ms per listing",
                         (*cpu_after - *cpu_before) * 1000 / options.listing_repeat);
        std::fputc('\n', stderr);
    }
    print_figure(context.figure("listing"), median(milliseconds), "ms", 2);
}

} // namespace tvnbench
