// hold: many sessions open at once and idle, as the users of a busy server keep them. They are
// kept alive with KEEPALIVE, each lists a small directory at the end, and the server's memory
// is read while they are idle: the master's, and a typical worker's (the median of a sample of
// the workers serving these sessions).
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <thread>
#include <vector>

#include "figures.h"
#include "proc_view.h"
#include "tolvane/listing.h"
#include "workloads.h"

namespace tvnbench {

namespace {

constexpr std::uint32_t worker_sample = 25;
constexpr int give_up_after_failures = 5; // in a row: the server takes no more sessions

// Each session holds one descriptor here.
void allow_descriptors(std::uint32_t sessions) {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
    const rlim_t wanted = std::min<rlim_t>(limit.rlim_max, rlim_t(sessions) + 64);
    if (limit.rlim_cur < wanted) {
        limit.rlim_cur = wanted;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

long median_of(std::vector<long> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

struct server_memory {
    long master = -1;
    long worker = -1;
    long total = -1; // master and every process holding the listening socket
};

server_memory read_memory(std::uint16_t port, std::vector<bench_session> &sessions) {
    server_memory memory;
    const auto holders = listening_processes(port);
    if (const pid_t master = master_process(holders); master > 0)
        memory.master = pss_kib(master).value_or(-1);
    std::vector<std::uint16_t> ports;
    const std::size_t step = std::max<std::size_t>(1, sessions.size() / worker_sample);
    for (std::size_t i = 0; i < sessions.size(); i += step)
        ports.push_back(local_port(sessions[i].connection().fd()));
    std::vector<long> workers;
    for (const pid_t pid : serving_processes(port, ports))
        if (pid > 0)
            if (auto pss = pss_kib(pid)) workers.push_back(*pss);
    if (!workers.empty()) memory.worker = median_of(workers);
    long total = 0;
    for (const pid_t pid : holders) total += pss_kib(pid).value_or(0);
    if (!holders.empty()) memory.total = total;
    return memory;
}

std::vector<bench_session> open_sessions(const bench_context &context) {
    std::vector<bench_session> sessions;
    sessions.reserve(context.options.hold_sessions);
    int failures_in_a_row = 0;
    for (std::uint32_t i = 0; i < context.options.hold_sessions; ++i) {
        try {
            sessions.emplace_back(context.address);
            failures_in_a_row = 0;
        } catch (const bench_error &error) {
            std::fprintf(stderr, "tvnbench: hold: session %u: %s\n", i + 1, error.what());
            if (++failures_in_a_row >= give_up_after_failures) break;
        }
    }
    return sessions;
}

// Sends KEEPALIVE to every session at each interval until the hold time is over; sessions
// that can no longer be written to are counted as lost.
std::vector<bool> keep_alive(std::vector<bench_session> &sessions, const bench_options &options,
                             bench_clock::time_point until) {
    std::vector<bool> alive(sessions.size(), true);
    const auto interval = std::chrono::duration_cast<bench_clock::duration>(
        std::chrono::duration<double>(options.keepalive_seconds));
    for (auto next = bench_clock::now(); next < until; next += interval) {
        std::this_thread::sleep_until(std::min(next, until));
        for (std::size_t i = 0; i < sessions.size(); ++i) {
            if (!alive[i]) continue;
            try {
                sessions[i].keepalive();
            } catch (const bench_error &) {
                alive[i] = false;
            }
        }
    }
    std::this_thread::sleep_until(until);
    return alive;
}

} // namespace

void run_hold(const bench_context &context) {
    const auto &options = context.options;
    allow_descriptors(options.hold_sessions);
    const auto start = bench_clock::now();
    std::vector<bench_session> sessions = open_sessions(context);
    const double opening = seconds_between(start, bench_clock::now());

    const auto hold_end =
        bench_clock::now() + std::chrono::duration_cast<bench_clock::duration>(
                                 std::chrono::duration<double>(options.hold_seconds));
    // Read the memory once every session is open and idle.
    const server_memory memory = read_memory(context.address.port, sessions);
    std::vector<bool> alive = keep_alive(sessions, options, hold_end);

    std::uint32_t succeeded = 0;
    for (std::size_t i = 0; i < sessions.size(); ++i) {
        if (!alive[i]) continue;
        try {
            const auto body = sessions[i].list(context.paths.small);
            const auto entries = tvn_client::parse_listing(body, true);
            if (entries && entries->size() >= options.small_entries) ++succeeded;
        } catch (const bench_error &error) {
            std::fprintf(stderr, "tvnbench: hold: session %zu: %s\n", i + 1, error.what());
        }
    }
    for (auto &session : sessions) {
        try {
            session.disconnect();
        } catch (const bench_error &) {}
    }
    for (auto &session : sessions) session.wait_closed();

    if (options.verbose) {
        std::fprintf(stderr, "tvnbench: hold: %zu sessions opened in %.1f s\n", sessions.size(),
                     opening);
        if (memory.total >= 0 && !sessions.empty())
            std::fprintf(stderr,
                         "tvnbench: hold: all server processes %ld KiB, %.0f KiB per session\n",
                         memory.total, double(memory.total) / double(sessions.size()));
    }
    print_figure(context.figure("hold"), succeeded, "sessions", 0);
    if (memory.master >= 0)
        print_figure(context.figure("hold_master_pss"), double(memory.master), "KiB", 0);
    else
        std::fprintf(stderr, "tvnbench: hold: the master's memory cannot be read here\n");
    if (memory.worker >= 0)
        print_figure(context.figure("hold_worker_pss"), double(memory.worker), "KiB", 0);
    else
        std::fprintf(stderr, "tvnbench: hold: the workers' memory cannot be read here\n");
}

} // namespace tvnbench
