// Test support: a relay on loopback between a client and a server that reads the SISP packet
// headers going each way, so that a test can see how many requests were in flight (sent by
// the client, not yet answered by the server) and act at a chosen answer: change a file, end
// the client, or cut the connection. One connection at a time; plain SISP only.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

namespace tvn_test {

class counting_relay {
public:
    // Called on the relay's thread for every answer, with its method and its number among
    // the answers of that method on the connection (from 0), before any byte of it goes on
    // to the client.
    using answer_hook = std::function<void(std::uint8_t method, std::uint64_t number)>;

    // Listens on a free port of 127.0.0.1 and relays every connection to `server_port`.
    explicit counting_relay(std::uint16_t server_port, answer_hook hook = {});
    ~counting_relay();
    counting_relay(const counting_relay &) = delete;
    counting_relay &operator=(const counting_relay &) = delete;

    std::uint16_t port() const { return port_; }
    // The most requests in flight at once over every connection so far. DISCONNECT and
    // KEEPALIVE, which get no answer, do not count.
    std::uint64_t max_in_flight() const { return max_in_flight_; }
    std::uint64_t requests_of(std::uint8_t method) const { return requests_[method]; }
    // Ends the current connection at once, both ways (from a hook, too).
    void cut() { cut_ = true; }

private:
    void run();
    void relay(int client, int server);

    answer_hook hook_;
    std::uint16_t server_port_;
    std::uint16_t port_ = 0;
    int listener_ = -1;
    int wake_[2] = {-1, -1};
    std::atomic<std::uint64_t> max_in_flight_{0};
    std::atomic<std::uint64_t> requests_[256] = {};
    std::atomic<bool> cut_{false};
    std::thread thread_;
};

} // namespace tvn_test
