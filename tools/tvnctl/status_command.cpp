// tvnctl status: the master, its uptime, its workers and the connections they serve, from the
// process list.
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "commands.h"
#include "proc_view.h"
#include "server_lookup.h"
#include "worker_title.h"

namespace tvnctl {

namespace {

std::string local_time(time_t when) {
    tm local{};
    localtime_r(&when, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

// "3 days 04:05:06", "04:05:06".
std::string duration(time_t seconds) {
    if (seconds < 0) seconds = 0;
    const long days = long(seconds / 86400);
    char clock[16];
    std::snprintf(clock, sizeof clock, "%02ld:%02ld:%02ld", long(seconds % 86400 / 3600),
                  long(seconds % 3600 / 60), long(seconds % 60));
    if (days == 0) return clock;
    return std::to_string(days) + (days == 1 ? " day " : " days ") + clock;
}

std::string padded(const std::string &text, size_t width) {
    return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

void print_connections(std::vector<connection_title> connections) {
    std::sort(connections.begin(), connections.end(), [](const auto &a, const auto &b) {
        return a.since != b.since ? a.since < b.since : a.client < b.client;
    });
    size_t client_width = 6, login_width = 5;
    for (const connection_title &connection : connections) {
        client_width = std::max(client_width, printable(connection.client).size());
        login_width = std::max(login_width, describe_login(connection).size());
    }
    std::printf("  %s  %s  %-19s  %s\n", padded("CLIENT", client_width).c_str(),
                padded("LOGIN", login_width).c_str(), "SINCE", "METHOD");
    for (const connection_title &connection : connections)
        std::printf("  %s  %s  %s  %s\n",
                    padded(printable(connection.client), client_width).c_str(),
                    padded(describe_login(connection), login_width).c_str(),
                    connection.since.c_str(), printable(connection.method).c_str());
}

} // namespace

int show_status(const std::string &root) {
    const server_lookup found = find_server(root);
    if (found.state == server_state::not_running || found.state == server_state::stale) {
        std::printf("tolvane is not running on %s (%s)\n", root.c_str(), found.detail.c_str());
        return EXIT_NOT_RUNNING;
    }
    if (found.state == server_state::starting) {
        std::printf("tolvane on %s is starting: pid %d\n", root.c_str(), int(found.pid));
        return EXIT_DONE;
    }
    const auto started = process_started_at(found.pid);
    std::printf("tolvane on %s is running: master pid %d", root.c_str(), int(found.pid));
    if (started)
        std::printf(", up %s (since %s)", duration(time(nullptr) - *started).c_str(),
                    local_time(*started).c_str());
    std::printf("\n");
    int idle = 0;
    std::vector<connection_title> connections;
    for (pid_t worker : children_of(found.pid)) {
        // A worker not serving yet shows "tvn: waiting", or the master's title it was forked
        // with.
        if (auto connection = parse_connection_title(process_title(worker)))
            connections.push_back(std::move(*connection));
        else
            ++idle;
    }
    std::printf("workers: %d idle, %zu busy\n", idle, connections.size());
    if (!connections.empty()) print_connections(std::move(connections));
    return EXIT_DONE;
}

} // namespace tvnctl
