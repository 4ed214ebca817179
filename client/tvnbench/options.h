// The benchmark's command line: which workloads to run, their sizes and counts, and which
// server to measure (one already running, or one tvnbench starts for itself).
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tolvane/transfer.h"

namespace tvnbench {

struct bench_options {
    // The server. Without a port tvnbench lays out a root and starts its own.
    std::string host = "127.0.0.1";
    std::optional<std::uint16_t> port;
    std::string login;    // USER@DOMAIN; an own server's account when empty
    std::string password; // from TVN_PASSWORD
    std::chrono::milliseconds timeout = std::chrono::seconds(30);
    // TLS: --tls runs every workload over TLS (at --port for a running server); workloads
    // named tls_NAME run over TLS beside the plain ones, at --tls-port for a running server.
    // An own server then gets a certificate of its own and a TLS port.
    bool tls = false;
    std::optional<std::uint16_t> tls_port;
    std::string ca_file; // verify against it (an own server's certificate by default)
    // --rtt: the workloads go through a delay relay on loopback that adds this round trip.
    std::optional<std::chrono::milliseconds> rtt;

    // An own server.
    std::string build_dir;    // holds bin/tvn and lib/*.so; empty: next to tvnbench
    std::string root;         // empty: a temporary root, removed at the end
    std::string service_user; // empty: nobody as root, else the caller
    bool serve_only = false;  // start it, print where it listens, leave it running

    // Where the data live on the server, as a client path.
    std::string dir = "/Private/tvnbench";
    bool prepare_only = false;
    bool verbose = false;

    // Workload parameters.
    std::uint64_t transfer_size = 1ull << 30;
    std::uint32_t chunk = 500000;
    // --window: bytes of READs or WRITEs in flight in read, write and concurrent.
    std::uint64_t window = tvn_client::default_window;
    double settle_seconds = 2.5;
    std::uint32_t sessions = 500;
    std::uint32_t entries = 10000;
    std::uint32_t small_entries = 10;
    std::uint32_t listing_repeat = 5;
    std::uint32_t clients = 20;
    std::uint64_t concurrent_size = 100ull << 20;
    std::uint32_t hold_sessions = 1000;
    double hold_seconds = 10;
    double keepalive_seconds = 2;

    std::vector<std::string> workloads; // in the order given; empty: all
};

// The workloads in their default order.
const std::vector<std::string> &all_workloads();

// The one workload that measures no server: a plain TCP stream, and no TLS form.
inline constexpr std::string_view raw_stream_workload = "raw_stream";

// The workload that runs only when named: tvnmount against the client library.
inline constexpr std::string_view mount_workload = "mount";

// TLS workloads are named "tls_" and the workload: "tls_read".
inline constexpr std::string_view tls_prefix = "tls_";
bool is_tls_workload(std::string_view name);
// The workload a name runs: "read" for "read" and "tls_read".
std::string_view base_workload(std::string_view name);
// True when a workload in the options runs over TLS.
bool wants_tls(const bench_options &options);

// Parses argv into options. On a usage error returns its text; "help" when the manual was
// asked for.
std::optional<std::string> parse_options(int argc, char **argv, bench_options &options);

const char *usage_text();

} // namespace tvnbench
