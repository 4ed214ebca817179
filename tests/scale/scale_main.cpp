// tvnscale: the test bed of several servers behind a balancer. Starts HAProxy on loopback in
// front of three tolvane servers whose roots share one tree (account database and users'
// areas), then: logins from distinct client addresses, whose address every journal line must
// carry; a forged PROXY header from an address that is no balancer, which must be refused;
// N clients for a bounded time (uploads with checksums, listings, owner and guest password
// changes of 50 users of the shared database) while the tool adds records, with one server
// stopped by SIGINT half-way; then checks that every record is there once, every user's last
// password change holds, every upload is intact and no client got a wrong answer. With
// --measure, first prints sessions per second and read throughput through the balancer over
// three servers, over one, and straight to one server.
//
// usage: tvnscale [--clients N] [--seconds S] [--measure SECONDS] [--shared-dir DIR]
// Exit status: 0 when every check held, 1 when one did not, 2 for a wrong command line, 77
// when it cannot run here (not root, or no HAProxy).
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <thread>
#include <vector>

#include "bounded_number.h"
#include "account_wire.h"
#include "scale_checks.h"
#include "scale_client.h"
#include "scale_measure.h"
#include "tolvane/packet.h"

namespace {

using namespace tvnscale;
using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;

constexpr int skipped_status = 77;
constexpr int stopped_server = 1;
// The address a forged header comes from: loopback, but not the balancer's.
const std::string forger = "127.0.0.250";

struct scale_options {
    int clients = 200;
    int seconds = 25;
    int measure_seconds = 0;          // 0: no figures
    std::string shared_parent = "/tmp"; // where the shared tree is laid out
};

void usage(std::FILE *to) {
    std::fputs(
        "usage: tvnscale [--clients N] [--seconds S] [--measure SECONDS] [--shared-dir DIR]\n"
        "Starts HAProxy in front of three servers sharing one account database and one tree\n"
        "of users' areas (needs root and HAProxy), drives them with N clients for S seconds\n"
        "(defaults 200 and 25) while records are added and one server is stopped half-way,\n"
        "then checks records, passwords, files, journals and answers. --measure first prints\n"
        "the figures of the three ways in: three rounds, each workload run for SECONDS.\n"
        "--shared-dir lays the shared tree out under DIR (default /tmp), such as a mounted\n"
        "network file system.\n",
        to);
}

bool parse_options(int argc, char **argv, scale_options *options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            usage(stdout);
            std::exit(0);
        }
        if (i + 1 >= argc) return false;
        // Client addresses run from 127.0.0.2 to 127.0.0.249.
        if (arg == "--clients" && tvn_test::parse_bounded_number(argv[++i], 1, 240, &options->clients)) continue;
        if (arg == "--seconds" && tvn_test::parse_bounded_number(argv[++i], 4, 86400, &options->seconds)) continue;
        if (arg == "--measure" && tvn_test::parse_bounded_number(argv[++i], 1, 600, &options->measure_seconds))
            continue;
        if (arg == "--shared-dir") {
            options->shared_parent = argv[++i];
            continue;
        }
        return false;
    }
    return true;
}

void allow_descriptors(int clients) {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
    const rlim_t wanted = rlim_t(clients) * 4 + 1024;
    if (limit.rlim_cur >= wanted) return;
    limit.rlim_cur = std::min(wanted, limit.rlim_max);
    setrlimit(RLIMIT_NOFILE, &limit);
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Each way in is measured in turn, round after round, since the host's speed drifts within
// minutes: the medians, and the lowest and highest round.
void print_figures(scale_bed &bed, int seconds) {
    constexpr int session_clients = 16;
    constexpr int read_clients = 8;
    constexpr int rounds = 3;
    struct way {
        const char *name;
        std::uint16_t port;
        std::vector<double> sessions, reads;
        std::size_t failures = 0;
    } ways[] = {{"one server, direct", bed.direct()->port(), {}, {}},
                {"one server, through HAProxy", bed.port_one(), {}, {}},
                {"three servers, through HAProxy", bed.port_all(), {}, {}}};
    std::printf("tvnscale: figures on %u cores, loopback; %d rounds of %d s per workload and way "
                "in; sessions: %d clients logging in and out; reads: %d clients reading "
                "500000-byte pieces; median (lowest-highest)\n",
                std::thread::hardware_concurrency(), rounds, seconds, session_clients,
                read_clients);
    for (int round = 0; round < rounds; ++round)
        for (way &w : ways) {
            const figures f = measure(bed, w.port, seconds, session_clients, read_clients);
            w.sessions.push_back(f.sessions_per_second);
            w.reads.push_back(f.read_mb_per_second);
            w.failures += f.failures;
        }
    std::printf("tvnscale:   %-32s %22s %22s %9s\n", "way in", "sessions/s", "read MB/s",
                "failures");
    for (const way &w : ways) {
        const auto [sessions_low, sessions_high] =
            std::minmax_element(w.sessions.begin(), w.sessions.end());
        const auto [reads_low, reads_high] = std::minmax_element(w.reads.begin(), w.reads.end());
        char sessions[48], reads[48];
        std::snprintf(sessions, sizeof sessions, "%.0f (%.0f-%.0f)", median(w.sessions),
                      *sessions_low, *sessions_high);
        std::snprintf(reads, sizeof reads, "%.0f (%.0f-%.0f)", median(w.reads), *reads_low,
                      *reads_high);
        std::printf("tvnscale:   %-32s %22s %22s %9zu\n", w.name, sessions, reads, w.failures);
    }
    std::fflush(stdout);
}

// Logins through the balancer from the first clients' addresses, each as its client's user;
// and a header forged by an address that is no balancer, straight to a server.
void address_phase(scale_context &context, scale_bed &bed) {
    const int logins = std::min<int>(30, int(context.clients.size()));
    for (int i = 0; i < logins; ++i) {
        const scale_client &client = context.clients[std::size_t(i)];
        std::shared_lock<std::shared_mutex> hold(client.user->passwords);
        if (tvn_test::try_login(context.port, client.source, client.user->name + "@shared",
                                client.user->owner_password) != tvn_test::wire_outcome::accepted)
            context.wrong.add("address phase: " + client.user->name + " from " + client.source +
                              " could not log in");
    }
    auto forged = tvn_test::connect_from(forger, bed.server(0).port(), 5s);
    tvn_client::bytes packet;
    const std::string header = "PROXY TCP4 203.0.113.9 127.0.0.1 40000 700\r\n";
    packet.assign(header.begin(), header.end());
    const auto login = tvn_client::connect_request("u00@shared", "own-u00").build();
    packet.insert(packet.end(), login.begin(), login.end());
    // The server may close before it has all of it: a failed send is no answer either.
    if (forged) forged->send_all(packet);
    if (!forged || !forged->wait_closed(10s))
        context.checks.add("a forged header from " + forger + " was not closed without answer");
}

// Adds records with the tool, from each server's root in turn, until the deadline.
std::vector<std::string> add_records(scale_context &context, scale_bed &bed,
                                     clock_type::time_point deadline) {
    std::vector<std::string> added;
    for (int i = 0; clock_type::now() < deadline; ++i) {
        const std::string name = "new" + std::to_string(i);
        std::string output;
        const std::string root = bed.server(i % server_count).root().path();
        if (tvn_test::add_user_with_tool(TVNADDUSER_BINARY, root, bed.tree().database(), name,
                                         "own-" + name, "gst-" + name, bed.tree().home_of(name),
                                         &output)) {
            added.push_back(name);
            ++context.counts.records_added;
        } else {
            context.checks.add("tvnadduser " + name + " failed:\n" + output);
        }
        std::this_thread::sleep_for(100ms);
    }
    return added;
}

struct stop_report {
    bool taken_out = false;
    double seconds_to_down = 0;
    std::vector<std::size_t> journal_sizes; // of every server when the stopped one was out
};

// Stops one server with SIGINT once half the time has passed, and waits for the balancer's
// health check to take it out.
stop_report stop_one_server(scale_bed &bed, clock_type::time_point when) {
    std::this_thread::sleep_until(when);
    stop_report report;
    const auto start = clock_type::now();
    bed.server(stopped_server).stop(SIGINT);
    report.taken_out = bed.balancer().wait_state(all_servers, stopped_server, "DOWN", 15s);
    report.seconds_to_down = std::chrono::duration<double>(clock_type::now() - start).count();
    for (int s = 0; s < server_count; ++s)
        report.journal_sizes.push_back(
            read_text(bed.server(s).root().file("log/journal.log")).size());
    return report;
}

// Logins that reached each server after the stopped one was out.
void check_after_stop(scale_context &context, scale_bed &bed, const stop_report &report) {
    if (!report.taken_out) {
        context.checks.add("the balancer never took the stopped server out");
        return;
    }
    for (int s = 0; s < server_count; ++s) {
        const std::string text = read_text(bed.server(s).root().file("log/journal.log"));
        std::size_t later = 0;
        for (const journal_entry &entry : journal_entries(text.substr(
                 std::min(text.size(), report.journal_sizes[std::size_t(s)]))))
            if (entry.method == "CONNECT") ++later;
        if (s == stopped_server && later != 0)
            context.checks.add("the stopped server logged " + std::to_string(later) + " logins");
        if (s != stopped_server && later == 0)
            context.checks.add("server " + std::to_string(s) + " had no login after the stop");
    }
}

void print_summary(const scale_options &options, scale_context &context,
                   const std::vector<std::size_t> &logins, const stop_report &stop) {
    for (const fault_log *log : {&context.wrong, &context.checks}) {
        for (const auto &what : log->kept()) std::fprintf(stderr, "tvnscale: %s\n", what.c_str());
        if (log->count() > log->kept().size())
            std::fprintf(stderr, "tvnscale: ... and %zu more\n", log->count() - log->kept().size());
    }
    const scale_counts &c = context.counts;
    std::printf("tvnscale: %d clients for %d s through HAProxy: sessions %llu (guests %llu), "
                "uploads %llu, downloads %llu, listings %llu, deletes %llu, %.1f MB up, "
                "%.1f MB down\n",
                options.clients, options.seconds, (unsigned long long)c.sessions.load(),
                (unsigned long long)c.guest_sessions.load(), (unsigned long long)c.uploads.load(),
                (unsigned long long)c.downloads.load(), (unsigned long long)c.listings.load(),
                (unsigned long long)c.deletes.load(), double(c.bytes_up) / 1e6,
                double(c.bytes_down) / 1e6);
    std::printf("tvnscale: password changes made %llu, refused %llu, unanswered %llu; records "
                "added with tvnadduser %llu; logins per server",
                (unsigned long long)c.password_changes.load(),
                (unsigned long long)c.refused_changes.load(),
                (unsigned long long)c.unanswered_changes.load(),
                (unsigned long long)c.records_added.load());
    for (std::size_t count : logins) std::printf(" %zu", count);
    std::printf("\ntvnscale: server %d stopped half-way, out of the balancer after %.1f s; "
                "interruptions %llu (retried); wrong answers %zu; failed checks %zu\n",
                stopped_server, stop.seconds_to_down, (unsigned long long)c.interruptions.load(),
                context.wrong.count(), context.checks.count());
}

} // namespace

int main(int argc, char **argv) {
    scale_options options;
    if (!parse_options(argc, argv, &options)) {
        usage(stderr);
        return 2;
    }
    if (geteuid() != 0) {
        std::puts("tvnscale: skipped: needs root (the workers switch to the service account)");
        return skipped_status;
    }
    if (haproxy_binary().empty()) {
        std::puts("tvnscale: skipped: HAProxy is not installed (Debian package haproxy)");
        return skipped_status;
    }
    std::signal(SIGPIPE, SIG_IGN);
    tvn_test::become_subreaper();
    allow_descriptors(options.clients);
    scale_context context;
    try {
        scale_bed bed(context, options.clients, options.measure_seconds > 0,
                      options.shared_parent);
        if (options.measure_seconds > 0) print_figures(bed, options.measure_seconds);
        address_phase(context, bed);

        const auto start = clock_type::now();
        const auto deadline = start + std::chrono::seconds(options.seconds);
        std::vector<std::string> added;
        stop_report stop;
        std::vector<std::thread> threads;
        for (scale_client &client : context.clients)
            threads.emplace_back([&context, &client, deadline] {
                run_client(context, client, deadline);
            });
        threads.emplace_back([&] { added = add_records(context, bed, deadline); });
        threads.emplace_back([&] { stop = stop_one_server(bed, start + (deadline - start) / 2); });
        for (auto &thread : threads) thread.join();

        check_after_stop(context, bed, stop);
        check_database(context, bed, added, options.measure_seconds > 0 ? bench_users : 0);
        check_files(context);
        const std::vector<std::size_t> logins = check_journals(context, bed, forger);
        for (int s = 0; s < server_count; ++s)
            if (logins[std::size_t(s)] == 0)
                context.checks.add("server " + std::to_string(s) + " had no login at all");
        print_summary(options, context, logins, stop);
    } catch (const std::exception &failure) {
        std::fprintf(stderr, "tvnscale: %s\n", failure.what());
        return 1;
    }
    return context.wrong.count() + context.checks.count() == 0 ? 0 : 1;
}
