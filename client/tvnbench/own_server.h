// A server that tvnbench starts for itself, as a deployment would run it: a root with a list
// account (MD5-crypt password), path mapping and the journal logging every method, on
// 127.0.0.1 and a free port, and with TLS on a second free port when asked (a self-signed
// certificate made for it). Stopped with SIGINT to the pid in its PID file.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace tvnbench {

// The account of an own server; the same hash is given to the peer's user by
// bench/compare.sh, so that both servers pay the same hashing cost per login.
inline constexpr const char *own_login = "bench@bench";
inline constexpr const char *own_password = "bench";
inline constexpr const char *own_password_hash = "$1$tvnbench$JJNnWrKqt2gmopQYEafwR.";

struct own_server_settings {
    std::string build_dir;    // bin/tvn and lib/*.so
    std::string root;         // empty: a temporary one
    std::string service_user; // empty: nobody as root, else the caller
    bool tls = false;         // a certificate, and a TLS port beside the plain one
};

class own_server {
public:
    // Lays out the root and starts the server; throws bench_error when it does not come up.
    explicit own_server(const own_server_settings &settings);
    ~own_server();
    own_server(const own_server &) = delete;
    own_server &operator=(const own_server &) = delete;

    std::uint16_t port() const { return port_; }
    // With TLS: its port (else 0), the certificate (its own CA) and the key.
    std::uint16_t tls_port() const { return tls_port_; }
    std::string certificate_file() const { return root_ + "conf/tls-certificate.pem"; }
    std::string key_file() const { return root_ + "conf/tls-key.pem"; }
    pid_t pid() const { return pid_; }
    const std::string &root() const { return root_; }
    // The user's Private area on the host: what the client path /Private names.
    std::string private_dir() const { return root_ + "home/bench/Private"; }
    // Leaves the server running and the root in place at destruction.
    void detach() { detached_ = true; }
    // Stops the server (SIGINT, then waits for it to end); true when it ended.
    bool stop();

private:
    void lay_out(const own_server_settings &settings);
    void start();
    bool listening() const;

    std::string build_dir_;
    std::string root_; // ends in "/"
    bool temporary_ = false;
    bool detached_ = false;
    std::uint16_t port_ = 0;
    std::uint16_t tls_port_ = 0;
    pid_t pid_ = -1;
};

// The directory holding this program (for the default build tree).
std::string program_dir();

} // namespace tvnbench
