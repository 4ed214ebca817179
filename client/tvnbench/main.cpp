// tvnbench: measures a server's speed, cost and scale through the client library. It either
// starts a server of its own on a temporary root or measures one already running.
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <exception>
#include <memory>
#include <optional>

#include "bench_session.h"
#include "data_set.h"
#include "delay_relay.h"
#include "options.h"
#include "own_server.h"
#include "program_info.h"
#include "workloads.h"

namespace {

using namespace tvnbench;

// The own server is not left running when the benchmark is interrupted.
volatile sig_atomic_t own_server_pid = 0;

void interrupted(int) {
    if (own_server_pid > 0) kill(pid_t(own_server_pid), SIGINT);
    _exit(130);
}

void run_workload(std::string_view name, const bench_context &context) {
    if (context.options.verbose)
        std::fprintf(stderr, "tvnbench: %s\n", context.figure(name).c_str());
    if (name == "read")
        run_read(context);
    else if (name == "write")
        run_write(context);
    else if (name == "sessions")
        run_sessions(context);
    else if (name == "listing")
        run_listing(context);
    else if (name == "concurrent")
        run_concurrent(context);
    else if (name == "hold")
        run_hold(context);
    else if (name == raw_stream_workload)
        run_raw_stream(context);
    else if (name == mount_workload)
        run_mount(context);
}

// The delay relays of --rtt, one in front of each of the server's ports, and the addresses
// that lead through them. The relay ends the figures' names with "@MSms".
struct relayed_addresses {
    std::unique_ptr<delay_relay> plain;
    std::unique_ptr<delay_relay> secure;
    std::string suffix;

    relayed_addresses(const bench_options &options, server_address &address,
                      server_address &secure_address) {
        if (!options.rtt) return;
        suffix = "@" + std::to_string(options.rtt->count()) + "ms";
        allow_relay_descriptors();
        const delay_relay_settings settings{.round_trip = *options.rtt};
        // The relay carries TLS's encrypted bytes as they are. The name then verified is the
        // relay's, 127.0.0.1, which an own server's certificate names.
        plain = std::make_unique<delay_relay>(address.host, address.port, settings);
        address.port = plain->port();
        if (wants_tls(options)) {
            secure =
                std::make_unique<delay_relay>(secure_address.host, secure_address.port, settings);
            secure_address.port = secure->port();
        }
        address.host = secure_address.host = "127.0.0.1";
    }

    // The relay holds two descriptors per connection in this process, beside the client's.
    static void allow_relay_descriptors() {
        rlimit limit{};
        if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
            limit.rlim_cur = limit.rlim_max;
            setrlimit(RLIMIT_NOFILE, &limit);
        }
    }
};

// What the TLS handshake with the server gives, once, for the record.
void describe_tls(const server_address &secure) {
    bench_session probe(secure, true);
    const auto &tls = probe.tls();
    std::fprintf(stderr, "tvnbench: TLS on port %u: %s, certificate %s%s\n", unsigned(secure.port),
                 tls.protocol.c_str(), tls.verified ? "verified" : "not verified: ",
                 tls.not_verified.c_str());
}

int run(const bench_options &options) {
    server_address address{options.host, 0, options.login, options.password, options.timeout,
                           false, ""};
    server_address secure = address;
    secure.tls = true;
    secure.ca_file = options.ca_file;
    std::unique_ptr<own_server> server;
    if (options.port) {
        address.port = *options.port;
        secure.port = options.tls_port.value_or(*options.port);
    } else {
        server = std::make_unique<own_server>(own_server_settings{
            options.build_dir, options.root, options.service_user, wants_tls(options)});
        own_server_pid = server->pid();
        address.port = server->port();
        address.login = secure.login = own_login;
        address.password = secure.password = own_password;
        secure.port = server->tls_port();
        if (secure.ca_file.empty()) secure.ca_file = server->certificate_file();
        if (options.serve_only) {
            std::printf("port %u pid %d root %s login %s password %s", unsigned(address.port),
                        int(server->pid()), server->root().c_str(), own_login, own_password);
            if (server->tls_port() != 0)
                std::printf(" tls_port %u certificate %s key %s", unsigned(server->tls_port()),
                            server->certificate_file().c_str(), server->key_file().c_str());
            std::printf("\n");
            std::fflush(stdout);
            server->detach();
            return 0;
        }
        if (options.verbose)
            std::fprintf(stderr, "tvnbench: server on 127.0.0.1:%u, pid %d, root %s\n",
                         unsigned(address.port), int(server->pid()), server->root().c_str());
    }
    if (options.verbose && wants_tls(options)) describe_tls(secure);
    const data_paths paths = paths_under(options.dir);
    // --tls against a running server: its port speaks TLS alone.
    prepare_data(options.tls ? secure : address, options, paths);
    if (options.prepare_only) return 0;
    const relayed_addresses relayed(options, address, secure);
    for (const auto &name : options.workloads) {
        const bool tls = is_tls_workload(name);
        const bench_context context{tls ? secure : address, options, paths, tls ? tls_prefix : "",
                                    relayed.suffix};
        run_workload(base_workload(name), context);
    }
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    if (answer_program_info(argc, argv, "tvnbench", usage_text())) return 0;
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGINT, interrupted);
    std::signal(SIGTERM, interrupted);
    bench_options options;
    if (const auto problem = parse_options(argc, argv, options)) {
        if (*problem == "help") {
            std::fputs(usage_text(), stdout);
            return 0;
        }
        std::fprintf(stderr, "tvnbench: %s\n%s", problem->c_str(), "Try tvnbench --help.\n");
        return 2;
    }
    try {
        return run(options);
    } catch (const std::exception &error) {
        // The own server, if any, was stopped while the error travelled here.
        std::fprintf(stderr, "tvnbench: %s\n", error.what());
        return 1;
    }
}
