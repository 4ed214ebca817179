// The test bed's balancer: HAProxy in TCP mode on loopback, started from a configuration of
// its own in the foreground as this program's child, sending the PROXY header (version 2) to
// the tolvane servers and checking them with a KEEPALIVE, and asked about its servers over
// its administration socket.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "child_guard.h"

namespace tvnscale {

// Where HAProxy is looked for; empty when it is not installed.
std::string haproxy_binary();

// One frontend and the servers behind it.
struct balanced_service {
    std::string name;   // the proxy's name
    std::uint16_t port; // its frontend on 127.0.0.1
    std::vector<std::uint16_t> servers;
};

// The configuration text: TCP mode, round robin, send-proxy-v2, a KEEPALIVE health check
// every `check_ms`, two failures take a server out, connections that fail to connect are
// tried again on another server.
std::string haproxy_config(const std::vector<balanced_service> &services,
                           const std::string &admin_socket, int check_ms);

// The hexadecimal bytes of the health check's packet and of the answer's start it expects.
std::string check_packet_hex();
std::string check_answer_hex();

class haproxy_process {
public:
    // Writes the configuration into directory and starts HAProxy; started() tells whether it
    // runs and listens on every frontend.
    haproxy_process(const std::string &directory, const std::vector<balanced_service> &services,
                    int check_ms);
    ~haproxy_process() { stop(); }

    bool started() const { return started_; }
    const std::string &log() const { return log_; }
    // Ends it (SIGTERM, then the guard's SIGKILL) and reaps it.
    void stop();

    // A server's state as the balancer sees it ("UP", "DOWN", "MAINT", ...), empty when the
    // administration socket did not answer.
    std::string server_state(const std::string &service, int server_index) const;
    // Waits until the server shows the state; false on time-out.
    bool wait_state(const std::string &service, int server_index, const std::string &state,
                    std::chrono::milliseconds timeout) const;

private:
    std::string socket_;
    std::string log_;
    std::optional<tvn_test::child_guard> child_;
    bool started_ = false;
};

} // namespace tvnscale
