// A stand-in for the server on the other end of a socket pair, for the client library's tests:
// a thread that reads one request after another, as the server does, and answers each as the
// test's script says, in order, with blocking sends.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <functional>
#include <optional>
#include <thread>
#include <vector>

#include "tolvane/byte_order.h"
#include "tolvane/protocol.h"

namespace tvn_test {

struct peer_request {
    std::uint8_t method = 0;
    std::uint32_t handle = 0;
    std::int32_t position = 0;
    std::int32_t length = 0;
    std::vector<std::uint8_t> data; // WRITE
    std::uint64_t number = 0;       // counted from 0
};

// The answer to a request, or nothing to close the connection instead.
using peer_script = std::function<std::optional<std::vector<std::uint8_t>>(const peer_request &)>;

inline std::vector<std::uint8_t> peer_answer(std::uint8_t method, std::uint8_t status,
                                             std::uint32_t count_or_zero = 0,
                                             std::span<const std::uint8_t> body = {}) {
    const bool counted = method == WRITE && status == OK;
    std::vector<std::uint8_t> out(counted ? TVN_ANSWER_COUNT : TVN_ANSWER_PLAIN);
    if (status != OK) out.resize(TVN_ANSWER_ERROR);
    std::copy_n("SISP", 4, out.begin());
    out[TVN_OFF_MAJOR] = 1;
    out[TVN_OFF_METHOD] = method;
    out[TVN_OFF_STATUS] = status;
    tvn_wire::put_le32(&out[TVN_OFF_HEADER_LENGTH], std::uint32_t(out.size()));
    tvn_wire::put_le32(&out[TVN_OFF_BODY_LENGTH], std::uint32_t(body.size()));
    if (counted) tvn_wire::put_le32(&out[TVN_FIXED_HEADER + 4], count_or_zero);
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

class scripted_peer {
public:
    // Serves `fd` (a blocking socket, which the peer closes at the end) until the client
    // closes its end, the script says to close, or nothing comes for `patience`.
    scripted_peer(int fd, peer_script script, int patience_ms = 10000)
            : fd_(fd), script_(std::move(script)), patience_ms_(patience_ms),
              thread_([this] { serve(); }) {}
    ~scripted_peer() {
        // Whatever the client still does, the peer stops now.
        shutdown(fd_, SHUT_RDWR);
        join();
        close(fd_);
    }
    void join() {
        if (thread_.joinable()) thread_.join();
    }
    // Valid after join().
    const std::vector<peer_request> &requests() const { return requests_; }

private:
    bool take(std::uint8_t *into, std::size_t count) {
        std::size_t got = 0;
        while (got < count) {
            pollfd watched{fd_, POLLIN, 0};
            if (poll(&watched, 1, patience_ms_) <= 0) return false;
            const ssize_t n = recv(fd_, into + got, count - got, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            got += std::size_t(n);
        }
        return true;
    }

    bool give(const std::vector<std::uint8_t> &data) {
        std::size_t sent = 0;
        while (sent < data.size()) {
            const ssize_t n = send(fd_, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            sent += std::size_t(n);
        }
        return true;
    }

    void serve() {
        for (std::uint64_t number = 0;; ++number) {
            std::uint8_t fixed[TVN_FIXED_HEADER];
            if (!take(fixed, sizeof fixed)) break;
            const std::uint32_t header_length = tvn_wire::get_le32(fixed + TVN_OFF_HEADER_LENGTH);
            const std::uint32_t body_length = tvn_wire::get_le32(fixed + TVN_OFF_BODY_LENGTH);
            if (header_length < TVN_FIXED_HEADER || header_length > TVN_MAX_HEADER_LENGTH ||
                body_length > TVN_MAX_TRANSFER)
                break;
            std::vector<std::uint8_t> params(header_length - TVN_FIXED_HEADER);
            peer_request request;
            request.number = number;
            request.method = fixed[TVN_OFF_METHOD];
            request.data.resize(body_length);
            if (!take(params.data(), params.size()) || !take(request.data.data(), body_length))
                break;
            if (params.size() >= 16) {
                request.handle = tvn_wire::get_le32(&params[TVN_RW_OFF_HANDLE]);
                request.position = std::int32_t(tvn_wire::get_le32(&params[TVN_RW_OFF_POSITION]));
                request.length = std::int32_t(tvn_wire::get_le32(&params[TVN_RW_OFF_LENGTH]));
            }
            const auto answer = script_(request);
            requests_.push_back(std::move(request));
            if (!answer || !give(*answer)) break;
        }
        shutdown(fd_, SHUT_RDWR);
    }

    int fd_;
    peer_script script_;
    int patience_ms_;
    std::vector<peer_request> requests_;
    std::thread thread_;
};

} // namespace tvn_test
