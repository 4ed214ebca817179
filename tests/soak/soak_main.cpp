// tvnsoak: drives a real server with many concurrent clients for a bounded time, then checks
// that no answer was wrong, no file lost or corrupted, no account record lost or doubled, no
// worker left behind, and that the master's memory is back to its idle size.
//
// usage: tvnsoak [--clients N] [--seconds S]
// Exit status: 0 when every check held, 1 when one did not, 2 for a wrong command line, 77
// when it cannot run here (not root).
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <thread>
#include <vector>

#include "bounded_number.h"
#include "soak_checks.h"
#include "soak_client.h"
#include "soak_server.h"

namespace {

using namespace tvnsoak;
using namespace std::chrono_literals;

constexpr int skipped_status = 77;
// The master's PSS may end this much above its idle size: its share of the libraries' pages
// moves with the other processes of the host that map them, by up to about 80 KiB here.
constexpr long pss_margin_kib = 128;
constexpr long pss_margin_percent = 20;
// Its anonymous memory (heap, stacks) depends on no other process: a few pages of slack.
constexpr long anonymous_margin_kib = 32;

struct soak_options {
    int clients = 100;
    int seconds = 15;
};

void usage(std::FILE *to) {
    std::fputs(
        "usage: tvnsoak [--clients N] [--seconds S]\n"
        "Starts a server on a temporary root (list accounts, path mapping, a journal of\n"
        "every method; needs root) and drives it with N concurrent clients for S seconds\n"
        "(defaults 100 and 15), then checks answers, files, accounts, workers and the\n"
        "master's memory. Exits 0 when every check held.\n",
        to);
}

bool parse_options(int argc, char **argv, soak_options *options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            usage(stdout);
            std::exit(0);
        }
        if (i + 1 >= argc) return false;
        // MaxConcurrentUsers, the clients and a margin, may be at most 2999.
        if (arg == "--clients" && tvn_test::parse_bounded_number(argv[++i], 1, 2900, &options->clients)) continue;
        if (arg == "--seconds" && tvn_test::parse_bounded_number(argv[++i], 1, 86400, &options->seconds)) continue;
        return false;
    }
    return true;
}

// Every client holds one connection at a time; the server's workers are other processes.
void allow_descriptors(int clients) {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
    const rlim_t wanted = rlim_t(clients) * 2 + 256;
    if (limit.rlim_cur >= wanted) return;
    limit.rlim_cur = std::min(wanted, limit.rlim_max);
    setrlimit(RLIMIT_NOFILE, &limit);
}

void run_clients(soak_context &context, std::vector<client_state> &clients, int seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    std::vector<std::thread> threads;
    threads.reserve(clients.size());
    for (auto &client : clients)
        threads.emplace_back(
            [&context, &client, deadline] { run_client(context, client, deadline); });
    for (auto &thread : threads) thread.join();
}

// After the load: the workers, the master's memory, the files, the accounts and the journal;
// then the stop, which must leave no process behind. Failures go to context.check_errors.
void check_after_load(soak_context &context, soak_server &server,
                      const std::vector<client_state> &clients, const memory_use &idle,
                      memory_use *after) {
    const pid_t master = server.master();
    if (!workers_settle(master, 60s))
        context.check_errors.add(
            "workers: " + std::to_string(tvn_test::children_of(master).size()) + " workers and " +
            std::to_string(tvn_test::zombie_children_of(master).size()) +
            " zombies a minute after the last client, wanted 5 and none");
    const auto measured = steady_memory_use(master);
    if (measured) *after = *measured;
    const long pss_allowed =
        idle.pss + std::max(pss_margin_kib, idle.pss * pss_margin_percent / 100);
    if (!measured || after->pss > pss_allowed ||
        after->anonymous > idle.anonymous + anonymous_margin_kib)
        context.check_errors.add("memory: the master's PSS is " + std::to_string(after->pss) +
                                 " KiB after the load, " + std::to_string(idle.pss) +
                                 " KiB idle before; anonymous " + std::to_string(after->anonymous) +
                                 " KiB, " + std::to_string(idle.anonymous) + " KiB before");
    check_files(context, server, clients);
    check_database(context, server);
    check_journal(context, server);

    if (server.server().stop(SIGINT) != 0)
        context.check_errors.add("stop: the master did not end with status 0 on SIGINT");
    // The master is this process's child (it adopts orphans), and so would be any worker the
    // master left behind.
    while (waitpid(-1, nullptr, WNOHANG) > 0) {}
    if (const auto left = tvn_test::child_processes(getpid()); !left.empty())
        context.check_errors.add("stop: " + std::to_string(left.size()) + " processes left behind");
}

std::size_t errors(const soak_context &context) {
    return context.errors.count() + context.check_errors.count();
}

void print_summary(const soak_options &options, const soak_context &context, const memory_use &idle,
                   const memory_use &after) {
    const soak_counts &counts = context.counts;
    for (const error_log *log : {&context.errors, &context.check_errors}) {
        for (const auto &what : log->kept()) std::fprintf(stderr, "tvnsoak: %s\n", what.c_str());
        if (log->count() > log->kept().size())
            std::fprintf(stderr, "tvnsoak: ... and %zu more\n", log->count() - log->kept().size());
    }
    std::printf("tvnsoak: clients %d, seconds %d, requests %llu, bytes %llu, errors %zu\n",
                options.clients, options.seconds, (unsigned long long)counts.requests.load(),
                (unsigned long long)counts.bytes(), errors(context));
    std::printf(
        "tvnsoak: sessions %llu (guests %llu), uploads %llu, downloads %llu, listings %llu, "
        "copies %llu (%llu bytes), deletes %llu, password changes %llu (old refused %llu), "
        "bad packets %llu, connect retries %llu (%llu stuck in the backlog); "
        "master PSS %ld KiB idle, %ld KiB after (anonymous %ld, %ld KiB)\n",
        (unsigned long long)counts.sessions.load(),
        (unsigned long long)counts.guest_sessions.load(), (unsigned long long)counts.uploads.load(),
        (unsigned long long)counts.downloads.load(), (unsigned long long)counts.listings.load(),
        (unsigned long long)counts.copies.load(), (unsigned long long)counts.bytes_copied.load(),
        (unsigned long long)counts.deletes.load(),
        (unsigned long long)counts.password_changes.load(),
        (unsigned long long)counts.old_passwords_refused.load(),
        (unsigned long long)counts.bad_packets.load(),
        (unsigned long long)counts.connect_retries.load(),
        (unsigned long long)(counts.abandoned_logins + counts.abandoned_bad_packets), idle.pss,
        after.pss, idle.anonymous, after.anonymous);
}

} // namespace

int main(int argc, char **argv) {
    soak_options options;
    if (!parse_options(argc, argv, &options)) {
        usage(stderr);
        return 2;
    }
    if (geteuid() != 0) {
        std::puts("tvnsoak: skipped: needs root (the workers switch to the service account)");
        return skipped_status;
    }
    std::signal(SIGPIPE, SIG_IGN);
    tvn_test::become_subreaper();
    allow_descriptors(options.clients);
    soak_context context;
    try {
        soak_server server(context, options.clients);
        const auto idle = steady_memory_use(server.master());
        if (!idle) throw std::runtime_error("cannot read the master's memory use");
        std::vector<client_state> clients;
        for (int i = 0; i < options.clients; ++i) clients.push_back(plan_client(context, i));
        run_clients(context, clients, options.seconds);
        memory_use after{-1, -1};
        check_after_load(context, server, clients, *idle, &after);
        print_summary(options, context, *idle, after);
    } catch (const std::exception &failure) {
        std::fprintf(stderr, "tvnsoak: %s\n", failure.what());
        return 1;
    }
    return errors(context) == 0 ? 0 : 1;
}
