// A delay line for TCP on loopback: listens on 127.0.0.1 and forwards every connection to a
// target, holding each chunk for half the round trip in each direction while it goes on
// reading, so that a long fat link is imitated: the round trip grows, the byte rate does not
// shrink. Connection ends travel the same way, delayed like the bytes before them.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

namespace tvnbench {

struct delay_relay_settings {
    std::chrono::microseconds round_trip{0};
    // Bytes one direction of one connection may hold before the relay stops reading it.
    std::size_t limit_per_direction = std::size_t(256) << 20;
    // Send buffer of the relay's sockets: large, so that released bytes leave in big writes.
    int send_buffer = 8 << 20;
};

class delay_relay {
public:
    // Listens at once on 127.0.0.1 and a free port; `target_host` is a dotted IPv4 address.
    // Throws std::system_error when it cannot.
    delay_relay(const std::string &target_host, std::uint16_t target_port,
                const delay_relay_settings &settings);
    ~delay_relay(); // closes every connection it carries
    delay_relay(const delay_relay &) = delete;
    delay_relay &operator=(const delay_relay &) = delete;

    std::uint16_t port() const { return port_; }

    // What the relay has seen: connections carried now, and the most bytes any one direction
    // held at a time.
    std::size_t connections() const;
    std::size_t peak_held() const;

    class event_loop; // delay_relay.cpp

private:
    std::uint16_t port_ = 0;
    std::unique_ptr<event_loop> loop_;
    std::thread thread_;
};

} // namespace tvnbench
