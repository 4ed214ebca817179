// The shell's keep-alive: while the user thinks, a thread sends KEEPALIVE packets so that
// the server does not drop a silent session.
#pragma once

#include <thread>

#include "session.h"

namespace tvnclient {

class keepalive_thread {
public:
    // Starts when the server announced an interval; does nothing otherwise.
    explicit keepalive_thread(session &remote);
    ~keepalive_thread();
    keepalive_thread(const keepalive_thread &) = delete;
    keepalive_thread &operator=(const keepalive_thread &) = delete;

private:
    void run(std::stop_token stop);

    session &remote_;
    std::jthread thread_;
};

// How long the connection may stay silent before a KEEPALIVE goes: three quarters of the
// announced interval. The server's silence limit defaults to the same number of seconds and
// counts in 2-second ticks, so a packet sent exactly at the interval would race it.
std::chrono::milliseconds keepalive_period(std::chrono::seconds announced);

} // namespace tvnclient
