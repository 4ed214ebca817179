// read, write and concurrent: moving file contents in 500000-byte requests, a window of them in
// flight (tolvane/transfer.h). The client stays lean, since it shares the machine's cores with
// the server: data discarded on arrival, uploads sent from one prepared pattern.
#include <algorithm>
#include <cstdio>
#include <exception>
#include <latch>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "figures.h"
#include "proc_view.h"
#include "tolvane/protocol.h"
#include "workloads.h"

namespace tvnbench {

namespace {

using namespace tvn_client::open_mode;

tvn_client::transfer_settings transfer_settings_of(const bench_options &options,
                                                   const bench_session &session) {
    tvn_client::transfer_settings settings;
    settings.window = options.window;
    settings.chunk = options.chunk;
    settings.timeout = session.timeout();
    settings.round_trip = session.last_round_trip(); // of the OPEN just made
    return settings;
}

// Stops the benchmark unless the transfer moved everything up to `size`.
void check_transfer(const char *what, const tvn_client::transfer_report &report,
                    std::uint64_t size) {
    if (report.outcome == tvn_client::transfer_outcome::complete && report.end == size) return;
    std::string words = std::string(what) + ": " + tvn_client::outcome_name(report.outcome);
    if (report.outcome == tvn_client::transfer_outcome::refused)
        words += " at " + std::to_string(report.failed_offset) + ": " + status_name(report.status);
    throw bench_error(words + " after " + std::to_string(report.end) + " of " +
                      std::to_string(size) + " bytes");
}

void read_whole(bench_session &session, std::uint32_t handle, std::uint64_t size,
                const bench_options &options) {
    const auto report = tvn_client::read_file(
        session.connection(), handle, {0, size, size},
        [](std::span<const std::uint8_t>) { return true; }, transfer_settings_of(options, session));
    check_transfer("READ", report, size);
}

// Sends `size` bytes of the upload pattern, each WRITE's data straight from it.
void write_whole(bench_session &session, std::uint32_t handle, std::uint64_t size,
                 const bench_options &options) {
    const auto &pattern = upload_pattern(options.chunk);
    const auto report = tvn_client::write_file(
        session.connection(), handle, 0,
        [&](std::uint64_t offset, std::size_t most) {
            const std::size_t count =
                std::min<std::uint64_t>({most, pattern.size(), size - offset});
            return std::optional(std::span(pattern.data(), count));
        },
        transfer_settings_of(options, session));
    check_transfer("WRITE", report, size);
}

opened_file open_for_reading(bench_session &session, const std::string &path, std::uint64_t size) {
    const opened_file file = session.open(path, read_only);
    if (file.size < size)
        throw bench_error(path + ": " + std::to_string(file.size) + " bytes, " +
                          std::to_string(size) + " wanted");
    return file;
}

void end_session(bench_session &session) {
    session.disconnect();
    session.wait_closed();
}

// The CPU time that the client and the worker serving its session spend on a transfer, per
// GiB: what a throughput figure cannot show on a machine whose cores are shared.
class cpu_meter {
public:
    cpu_meter(const bench_context &context, bench_session &session)
            : verbose_(context.options.verbose), client_(process_cpu_seconds()) {
        if (!verbose_) return;
        const auto workers =
            serving_processes(context.address.port, {local_port(session.connection().fd())});
        worker_ = workers.front();
        if (worker_ > 0) server_ = cpu_seconds_of(worker_);
    }
    void report(const char *what, double bytes) const {
        if (!verbose_) return;
        const double gib = bytes / double(1u << 30);
        std::fprintf(stderr, "tvnbench: %s: CPU per GiB: client %.2f s", what,
                     (process_cpu_seconds() - client_) / gib);
        const auto server_now = worker_ > 0 ? cpu_seconds_of(worker_) : std::nullopt;
        if (server_ && server_now)
            std::fprintf(stderr, ", server %.2f s", (*server_now - *server_) / gib);
        std::fputc('\n', stderr);
    }

private:
    bool verbose_;
    double client_;
    pid_t worker_ = -1;
    std::optional<double> server_;
};

} // namespace

void run_read(const bench_context &context) {
    const auto &options = context.options;
    bench_session session(context.address);
    const cpu_meter cpu(context, session);
    // Timed from the first READ to the last answer, as the peer's transfers are timed: the
    // OPEN and CLOSE round trips are the session's, not the transfer's.
    const opened_file file = open_for_reading(session, context.paths.large, options.transfer_size);
    const auto start = bench_clock::now();
    read_whole(session, file.handle, options.transfer_size, options);
    const auto end = bench_clock::now();
    session.close_file(file.handle);
    cpu.report(context.figure("read").c_str(), double(options.transfer_size));
    end_session(session);
    const double seconds = seconds_between(start, end);
    print_figure(context.figure("read"), megabytes_per_second(double(options.transfer_size), seconds), "MB/s", 1);
}

void run_write(const bench_context &context) {
    const auto &options = context.options;
    bench_session session(context.address);
    upload_pattern(options.chunk);
    // Memory freed a while ago has gone back to the host and is slow to touch again: pause,
    // free the previous upload's pages, and upload at once into them. Without a previous
    // upload of the full size, an untimed one comes first, so that every run is alike.
    const auto previous = session.open_existing(context.paths.upload);
    if (previous) session.close_file(previous->handle);
    if (!previous || previous->size < options.transfer_size) {
        if (options.verbose) std::fprintf(stderr, "tvnbench: write: a first upload, untimed\n");
        const opened_file first =
            session.open(context.paths.upload, write_only | create | truncate_file);
        write_whole(session, first.handle, options.transfer_size, options);
        session.close_file(first.handle);
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(options.settle_seconds));
    session.remove(context.paths.upload);
    const cpu_meter cpu(context, session);
    const opened_file file =
        session.open(context.paths.upload, write_only | create | truncate_file);
    // From the first WRITE to the answer of the last, which confirms every byte.
    const auto start = bench_clock::now();
    write_whole(session, file.handle, options.transfer_size, options);
    const auto end = bench_clock::now();
    session.close_file(file.handle);
    cpu.report(context.figure("write").c_str(), double(options.transfer_size));
    end_session(session);
    const double seconds = seconds_between(start, end);
    print_figure(context.figure("write"), megabytes_per_second(double(options.transfer_size), seconds), "MB/s", 1);
}

// Every client connects, logs in and reads on its own thread once all threads stand ready,
// as that many separate programs started together would.
void run_concurrent(const bench_context &context) {
    const auto &options = context.options;
    const std::uint32_t clients = options.clients;
    std::latch ready(clients + 1);
    std::latch go(1);
    std::mutex failure_lock;
    std::string failure;
    double slowest_login = 0; // seconds from the start to a session, for the slowest client
    bench_clock::time_point start;
    std::vector<std::thread> threads;
    threads.reserve(clients);
    for (std::uint32_t i = 0; i < clients; ++i) {
        threads.emplace_back([&] {
            ready.count_down();
            go.wait();
            try {
                bench_session session(context.address);
                const double login = seconds_between(start, bench_clock::now());
                {
                    const std::lock_guard guard(failure_lock);
                    slowest_login = std::max(slowest_login, login);
                }
                const opened_file file =
                    open_for_reading(session, context.paths.medium, options.concurrent_size);
                read_whole(session, file.handle, options.concurrent_size, options);
                session.close_file(file.handle);
                end_session(session);
            } catch (const std::exception &error) {
                const std::lock_guard guard(failure_lock);
                if (failure.empty()) failure = error.what();
            }
        });
    }
    ready.arrive_and_wait();
    const double cpu_before = process_cpu_seconds();
    start = bench_clock::now();
    go.count_down();
    for (auto &thread : threads) thread.join();
    const auto end = bench_clock::now();
    if (!failure.empty()) throw bench_error("concurrent: " + failure);
    const double bytes = double(options.concurrent_size) * clients;
    if (options.verbose)
        std::fprintf(stderr,
                     "tvnbench: concurrent: CPU per GiB: client %.2f s; the slowest session "
                     "was open after %.3f s\n",
                     (process_cpu_seconds() - cpu_before) / (bytes / double(1u << 30)),
                     slowest_login);
    print_figure(context.figure("concurrent"), megabytes_per_second(bytes, seconds_between(start, end)), "MB/s", 1);
}

} // namespace tvnbench
