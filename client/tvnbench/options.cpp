// Parsing the benchmark's command line. Options take their value as the next word or after
// "="; sizes accept the binary suffixes K, M and G.
#include "options.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <string_view>

#include "tolvane/protocol.h"

namespace tvnbench {

namespace {

constexpr std::uint64_t max_transfer_size = 0x7fffffffull; // READ positions are signed 32-bit

bool parse_unsigned(std::string_view text, std::uint64_t low, std::uint64_t high,
                    std::uint64_t &value) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() && value >= low &&
           value <= high;
}

bool parse_size(std::string_view text, std::uint64_t low, std::uint64_t high,
                std::uint64_t &value) {
    std::uint64_t unit = 1;
    if (!text.empty()) {
        switch (text.back()) {
        case 'K': unit = 1ull << 10; break;
        case 'M': unit = 1ull << 20; break;
        case 'G': unit = 1ull << 30; break;
        default: break;
        }
        if (unit != 1) text.remove_suffix(1);
    }
    std::uint64_t count = 0;
    if (!parse_unsigned(text, 0, high / unit, count)) return false;
    value = count * unit;
    return value >= low && value <= high;
}

bool parse_seconds(std::string_view text, double low, double high, double &value) {
    const std::string copy(text);
    char *end = nullptr;
    value = std::strtod(copy.c_str(), &end);
    return !copy.empty() && end == copy.c_str() + copy.size() && value >= low && value <= high;
}

std::optional<std::string> bad_value(std::string_view option, std::string_view value) {
    return std::string(option) + ": a bad value: " + std::string(value);
}

// Applies one option with a value; empty when it was applied.
std::optional<std::string> apply(std::string_view option, std::string_view value,
                                 bench_options &o) {
    std::uint64_t number = 0;
    auto count = [&](std::uint64_t low, std::uint64_t high, std::uint32_t &into) {
        if (!parse_unsigned(value, low, high, number)) return false;
        into = static_cast<std::uint32_t>(number);
        return true;
    };
    bool ok = true;
    if (option == "-H" || option == "--host") {
        o.host = value;
        ok = !value.empty();
    } else if (option == "-p" || option == "--port") {
        ok = parse_unsigned(value, 1, 65535, number);
        o.port = static_cast<std::uint16_t>(number);
    } else if (option == "-u" || option == "--user") {
        o.login = value;
        ok = !value.empty() && value.front() != '@';
    } else if (option == "-t" || option == "--timeout") {
        ok = parse_unsigned(value, 1, 3600, number);
        o.timeout = std::chrono::seconds(number);
    } else if (option == "--tls-port") {
        ok = parse_unsigned(value, 1, 65535, number);
        o.tls_port = static_cast<std::uint16_t>(number);
    } else if (option == "--rtt") {
        ok = parse_unsigned(value, 0, 60000, number);
        o.rtt = std::chrono::milliseconds(number);
    } else if (option == "--ca") {
        o.ca_file = value;
        ok = !value.empty();
    } else if (option == "--build") {
        o.build_dir = value;
    } else if (option == "--root") {
        o.root = value;
    } else if (option == "--service-user") {
        o.service_user = value;
    } else if (option == "--dir") {
        o.dir = value;
        ok = value.size() > 1 && value.front() == '/' && value.back() != '/';
    } else if (option == "--size") {
        ok = parse_size(value, 1, max_transfer_size, o.transfer_size);
    } else if (option == "--chunk") {
        ok = parse_size(value, 1, TVN_MAX_TRANSFER, number);
        o.chunk = static_cast<std::uint32_t>(number);
    } else if (option == "--window") {
        ok = parse_size(value, 1, 1ull << 30, o.window);
    } else if (option == "--settle") {
        ok = parse_seconds(value, 0, 60, o.settle_seconds);
    } else if (option == "--sessions") {
        ok = count(1, 1000000, o.sessions);
    } else if (option == "--entries") {
        ok = count(1, 1000000, o.entries);
    } else if (option == "--repeat") {
        ok = count(1, 1000, o.listing_repeat);
    } else if (option == "--clients") {
        ok = count(1, 1000, o.clients);
    } else if (option == "--concurrent-size") {
        ok = parse_size(value, 1, max_transfer_size, o.concurrent_size);
    } else if (option == "--hold-sessions") {
        ok = count(1, 2900, o.hold_sessions);
    } else if (option == "--hold-seconds") {
        ok = parse_seconds(value, 0, 3600, o.hold_seconds);
    } else if (option == "--keepalive") {
        ok = parse_seconds(value, 0.1, 600, o.keepalive_seconds);
    } else {
        return "unknown option " + std::string(option);
    }
    if (!ok) return bad_value(option, value);
    return std::nullopt;
}

bool is_flag(std::string_view word, bench_options &o) {
    if (word == "--serve")
        o.serve_only = true;
    else if (word == "--prepare-only")
        o.prepare_only = true;
    else if (word == "-v" || word == "--verbose")
        o.verbose = true;
    else if (word == "--tls")
        o.tls = true;
    else
        return false;
    return true;
}

} // namespace

bool is_tls_workload(std::string_view name) { return name.starts_with(tls_prefix); }

std::string_view base_workload(std::string_view name) {
    return is_tls_workload(name) ? name.substr(tls_prefix.size()) : name;
}

bool wants_tls(const bench_options &options) {
    return options.tls || std::any_of(options.workloads.begin(), options.workloads.end(),
                                      [](const std::string &name) { return is_tls_workload(name); });
}

const std::vector<std::string> &all_workloads() {
    static const std::vector<std::string> names{"read",       "write", "sessions",  "listing",
                                                "concurrent", "hold",  "raw_stream"};
    return names;
}

std::optional<std::string> parse_options(int argc, char **argv, bench_options &o) {
    if (const char *user = std::getenv("TVN_USER")) o.login = user;
    if (const char *password = std::getenv("TVN_PASSWORD")) o.password = password;
    for (int at = 1; at < argc; ++at) {
        std::string_view word = argv[at];
        if (word == "-h" || word == "--help") return std::string("help");
        if (is_flag(word, o)) continue;
        if (word.size() > 1 && word.front() == '-') {
            std::string_view value;
            if (const auto equals = word.find('='); equals != std::string_view::npos) {
                value = word.substr(equals + 1);
                word = word.substr(0, equals);
            } else if (at + 1 < argc) {
                value = argv[++at];
            } else {
                return std::string(word) + ": needs a value";
            }
            if (auto failed = apply(word, value, o)) return failed;
            continue;
        }
        bool known = base_workload(word) == mount_workload;
        for (const auto &name : all_workloads()) known = known || name == base_workload(word);
        if (!known) return "unknown workload " + std::string(word);
        if (is_tls_workload(word) && base_workload(word) == raw_stream_workload)
            return std::string(raw_stream_workload) + " is plain TCP: it has no TLS form";
        o.workloads.emplace_back(word);
    }
    if (o.workloads.empty()) o.workloads = all_workloads();
    // --tls: every workload over TLS.
    if (o.tls)
        for (auto &name : o.workloads)
            if (!is_tls_workload(name) && name != raw_stream_workload)
                name = std::string(tls_prefix) + name;
    if (o.port && o.login.empty()) return std::string("a running server needs -u USER@DOMAIN");
    if (o.port && o.serve_only) return std::string("--serve starts a server: it takes no port");
    if (o.rtt && o.serve_only) return std::string("--rtt delays the workloads: not with --serve");
    if (o.tls_port && !o.port) return std::string("--tls-port is a running server's: give -p too");
    if (o.port && !o.tls && !o.tls_port && wants_tls(o))
        return std::string("TLS workloads against a running server need --tls-port (or --tls)");
    return std::nullopt;
}

const char *usage_text() {
    return R"(usage: tvnbench [options] [workload...]

Measures a server through the client library. Each workload prints one line
"name value unit" on standard output (hold prints three).

workloads (default: all, in this order; tls_NAME runs NAME over TLS, and prints its
figures as tls_NAME: tls_read, tls_write, tls_sessions, ...)
  read        download of one file (--size) in --chunk READs            MB/s
  write       upload of --size bytes in --chunk WRITEs                  MB/s
  sessions    --sessions sessions one after another: connect, CONNECT,
              GETDIR of a small directory, DISCONNECT                   sessions/s
  listing     GETDIR of an --entries directory, median of --repeat      ms
  concurrent  --clients sessions at once, each reading --concurrent-size MB/s
  hold        --hold-sessions sessions kept open with KEEPALIVE for
              --hold-seconds, then one GETDIR each: how many succeeded;
              hold_master_pss and hold_worker_pss: the server's memory  KiB
  raw_stream  --size bytes over one TCP connection from one local socket
              to another (through the relay with --rtt; no server, no
              TLS form): what the link allows a transfer                MB/s

  mount       only when named (it needs FUSE: /dev/fuse, fusermount3, and
              tvnmount beside tvnbench), three rounds, medians: the read
              file (--size) read through a fresh tvnmount mount
              (mount_read) and downloaded as read does (mount_get_read),
              and mount_read_ratio; tar -x of 1,000 small files onto the
              mount (mount_tar_x) and tvnclient put -r of them
              (mount_put_r), and mount_tar_ratio               MB/s, s, x

the server
  -H, --host ADDR        dotted IPv4 address (127.0.0.1)
  -p, --port PORT        measure the server running there, as -u USER@DOMAIN with the
                         password in TVN_PASSWORD; without a port tvnbench starts its own
                         server on a temporary root (list accounts, path mapping, journal)
  -u, --user USER@DOMAIN the login (also from TVN_USER)
  -t, --timeout SECONDS  longest wait for one answer (30)
  --build DIR            an own server's programs and libraries: DIR/bin/tvn, DIR/lib
                         (default: the build tree tvnbench comes from)
  --root DIR             an own server's root, kept afterwards (default: temporary)
  --service-user NAME    the account an own server's sessions run as (root: nobody)
  --serve                start an own server, print "port P pid N root DIR login L
                         password W" (with --tls followed by "tls_port Q certificate
                         FILE key FILE"), and leave it running (stop it: kill -INT N)
  --tls                  every workload over TLS: a running server speaks TLS at --port;
                         an own server gets a self-signed certificate and a TLS port
  --tls-port PORT        a running server's TLS port, for tls_NAME workloads
  --ca FILE              verify the server's certificate against FILE (an own server's
                         certificate by default); the figures do not depend on it
  --rtt MS               run the workloads through a delay relay of tvnbench's own on
                         127.0.0.1 that holds every chunk for MS/2 milliseconds in each
                         direction and keeps reading meanwhile (a long fat link: the round
                         trip grows, the byte rate does not shrink); the figures are named
                         NAME@MSms (read@40ms). TLS runs end to end through it. With the
                         relay in between, the server's CPU time and the memory of held
                         sessions are not shown (the server's processes cannot be told apart
                         from the relay's connections)

sizes and counts
  --dir PATH             the server directory of the data (/Private/tvnbench)
  --size BYTES           read and write size (1G; suffixes K, M, G)
  --chunk BYTES          bytes per READ or WRITE (500000)
  --window BYTES         bytes of READs or WRITEs in flight in read, write and
                         concurrent (32M); --window 500000 waits for every answer
  --settle SECONDS       pause before an upload (2.5): memory just freed is reused
  --sessions COUNT       (500)
  --entries COUNT        entries of the listed directory (10000)
  --repeat COUNT         listings timed (5)
  --clients COUNT        parallel sessions of concurrent (20)
  --concurrent-size BYTES  (100M)
  --hold-sessions COUNT  (1000)
  --hold-seconds SECONDS (10)
  --keepalive SECONDS    KEEPALIVE interval while holding (2)
  --prepare-only         create the data the workloads need, measure nothing
  -v, --verbose          progress and the client's own CPU time on standard error
  -h, --help             print this text
  --version              print the version
)";
}

} // namespace tvnbench
