// The relay's event loop: one thread and one epoll set for the listening socket, a timer set to
// the next release, a stop signal and both sockets of every connection it carries.
#include "delay_relay.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <list>
#include <optional>
#include <system_error>

#include "delay_line.h"

namespace tvnbench {

namespace {

constexpr std::size_t chunk_size = std::size_t(256) << 10;
constexpr std::size_t spare_chunks = 256; // 64 MiB kept for reuse
// Read from or written to one socket before the others get their turn.
constexpr std::size_t bytes_per_turn = std::size_t(4) << 20;

[[noreturn]] void fail(const char *what) {
    throw std::system_error(errno, std::generic_category(), what);
}

class unique_fd {
public:
    explicit unique_fd(int fd = -1) : fd_(fd) {}
    ~unique_fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    unique_fd(const unique_fd &) = delete;
    unique_fd &operator=(const unique_fd &) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

enum class role { listener, timer, stop, peer };

struct link;

// What an epoll event points to.
struct endpoint {
    role kind = role::peer;
    link *owner = nullptr;
    int fd = -1;
    std::uint32_t interest = 0; // registered with epoll when not 0
};

struct direction {
    direction(endpoint &source, endpoint &sink, relay_clock::duration delay, std::size_t limit,
              chunk_pool &pool)
            : from(source), to(sink), line(delay, limit, pool) {}
    endpoint &from;
    endpoint &to;
    delay_line line;
    bool write_blocked = false; // waiting until `to` takes more
    bool done = false;          // every byte and the end went out
};

// One connection through the relay: the accepted socket and the one to the target.
struct link {
    link(int client_fd, int server_fd, relay_clock::duration one_way, std::size_t limit,
         chunk_pool &pool)
            : client{role::peer, this, client_fd},
              server{role::peer, this, server_fd},
              up(client, server, one_way, limit, pool),
              down(server, client, one_way, limit, pool) {}
    ~link() {
        ::close(client.fd);
        ::close(server.fd);
    }
    link(const link &) = delete;
    link &operator=(const link &) = delete;

    endpoint client;
    endpoint server;
    direction up;   // client to server
    direction down; // server to client
    bool connecting = true;
    bool closing = false; // ended: removed after the current batch of events
};

void tune(int fd, int send_buffer) {
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    if (send_buffer <= 0) return;
    // Beyond the system's ceiling where privileges allow it.
    if (setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &send_buffer, sizeof send_buffer) != 0)
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &send_buffer, sizeof send_buffer);
}

timespec monotonic_timespec(relay_clock::time_point at) {
    const auto since = at.time_since_epoch();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since);
    return {static_cast<time_t>(seconds.count()),
            static_cast<long>(std::chrono::nanoseconds(since - seconds).count())};
}

} // namespace

class delay_relay::event_loop {
public:
    event_loop(const sockaddr_in &target, const delay_relay_settings &settings)
            : target_(target),
              one_way_(settings.round_trip / 2),
              limit_(settings.limit_per_direction),
              send_buffer_(settings.send_buffer),
              epoll_(epoll_create1(EPOLL_CLOEXEC)),
              listen_fd_(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0)),
              timer_fd_(timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC)),
              stop_fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)),
              pool_(chunk_size, spare_chunks) {
        if (epoll_.get() < 0 || listen_fd_.get() < 0 || timer_fd_.get() < 0 || stop_fd_.get() < 0)
            fail("delay relay");
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof local;
        if (bind(listen_fd_.get(), reinterpret_cast<sockaddr *>(&local), sizeof local) != 0 ||
            listen(listen_fd_.get(), SOMAXCONN) != 0 ||
            getsockname(listen_fd_.get(), reinterpret_cast<sockaddr *>(&local), &length) != 0)
            fail("delay relay: listening on 127.0.0.1");
        port_ = ntohs(local.sin_port);
        listener_ = {role::listener, nullptr, listen_fd_.get()};
        timer_ = {role::timer, nullptr, timer_fd_.get()};
        stop_ = {role::stop, nullptr, stop_fd_.get()};
        for (endpoint *fixed : {&listener_, &timer_, &stop_})
            if (!set_interest(*fixed, EPOLLIN)) fail("delay relay: epoll");
    }

    std::uint16_t port() const { return port_; }

    void stop() {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto written = ::write(stop_fd_.get(), &one, sizeof one);
    }

    void run() {
        std::array<epoll_event, 256> events{};
        for (;;) {
            const int ready =
                epoll_wait(epoll_.get(), events.data(), int(events.size()), arm_timer());
            if (ready < 0 && errno == EINTR) continue;
            if (ready < 0) return;
            for (int i = 0; i < ready; ++i) {
                auto &target = *static_cast<endpoint *>(events[i].data.ptr);
                switch (target.kind) {
                case role::stop: return;
                case role::listener: accept_all(); break;
                case role::timer: expired(); break;
                case role::peer: on_peer(target, events[i].events); break;
                }
            }
            const auto now = relay_clock::now();
            for (auto &each : links_) {
                if (each->closing) continue;
                if (!flush(*each, each->up, now) || !flush(*each, each->down, now) ||
                    (each->up.done && each->down.done))
                    each->closing = true;
            }
            reap();
            for (auto &each : links_) update_interest(*each);
        }
    }

    std::atomic<std::size_t> connections{0};
    std::atomic<std::size_t> peak_held{0};

private:
    bool set_interest(endpoint &target, std::uint32_t interest) {
        if (interest == target.interest) return true;
        epoll_event event{};
        event.events = interest;
        event.data.ptr = &target;
        const int operation = target.interest == 0 ? EPOLL_CTL_ADD
                              : interest == 0      ? EPOLL_CTL_DEL
                                                   : EPOLL_CTL_MOD;
        if (epoll_ctl(epoll_.get(), operation, target.fd, &event) != 0) return false;
        target.interest = interest;
        return true;
    }

    // Level-triggered: a socket is watched for reading only while its line has room, so a
    // full line stops the sender, and for writing only while a write was refused.
    void update_interest(link &each) {
        auto wanted = [](const direction &reading, const direction &writing) {
            std::uint32_t interest = 0;
            if (!reading.line.ended() && !reading.line.full()) interest |= EPOLLIN;
            if (writing.write_blocked) interest |= EPOLLOUT;
            return interest;
        };
        bool ok = set_interest(each.client, wanted(each.up, each.down));
        ok = ok &&
             set_interest(each.server, each.connecting ? EPOLLOUT : wanted(each.down, each.up));
        if (!ok) each.closing = true;
    }

    void accept_all() {
        for (;;) {
            const int fd =
                accept4(listen_fd_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd >= 0) {
                start_link(fd);
                continue;
            }
            if (errno == EINTR || errno == ECONNABORTED) continue;
            // Out of descriptors: stop accepting until a connection ends, else the waiting
            // connection would wake the loop again and again.
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                accept_paused_ = set_interest(listener_, 0);
            return;
        }
    }

    void start_link(int client_fd) {
        tune(client_fd, send_buffer_);
        const int server_fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (server_fd < 0) {
            ::close(client_fd);
            return;
        }
        tune(server_fd, send_buffer_);
        const int connected =
            connect(server_fd, reinterpret_cast<const sockaddr *>(&target_), sizeof target_);
        if (connected != 0 && errno != EINPROGRESS) {
            ::close(client_fd);
            ::close(server_fd);
            return;
        }
        auto added = std::make_unique<link>(client_fd, server_fd, one_way_, limit_, pool_);
        added->connecting = connected != 0;
        update_interest(*added);
        links_.push_back(std::move(added));
        connections.fetch_add(1, std::memory_order_relaxed);
    }

    void finish_connect(link &each) {
        int error = 0;
        socklen_t length = sizeof error;
        if (getsockopt(each.server.fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0)
            each.closing = true; // the client sees its connection end
        else
            each.connecting = false;
    }

    void on_peer(endpoint &target, std::uint32_t events) {
        link &each = *target.owner;
        if (each.closing) return;
        if (&target == &each.server && each.connecting) {
            finish_connect(each);
            return;
        }
        direction &reading = &target == &each.client ? each.up : each.down;
        direction &writing = &target == &each.client ? each.down : each.up;
        if (events & (EPOLLIN | EPOLLHUP | EPOLLERR)) read_into(reading);
        // A hang-up or an error: the next write tells whether the socket still takes bytes.
        if (events & (EPOLLOUT | EPOLLHUP | EPOLLERR)) writing.write_blocked = false;
    }

    void read_into(direction &in) {
        delay_line &line = in.line;
        if (line.ended()) return;
        std::size_t total = 0;
        while (total < bytes_per_turn) {
            const auto space = line.space(relay_clock::now());
            if (space.empty()) break;
            const ssize_t got = ::read(in.from.fd, space.data(), space.size());
            const auto now = relay_clock::now();
            if (got > 0) {
                line.arrived(std::size_t(got), now);
                total += std::size_t(got);
                if (line.held() > peak_held.load(std::memory_order_relaxed))
                    peak_held.store(line.held(), std::memory_order_relaxed);
                if (std::size_t(got) < space.size()) break; // drained for now
                continue;
            }
            if (got < 0 && errno == EINTR) {
                line.arrived(0, now);
                continue;
            }
            if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                line.arrived(0, now);
                break;
            }
            // The end, or an error (a reset): either way nothing more comes from this side,
            // and the other side learns it after the delay, as an end.
            line.end(now);
            break;
        }
    }

    // Sends what is due; false when the receiving side is gone.
    bool flush(link &each, direction &out, relay_clock::time_point now) {
        if (out.done || out.write_blocked || each.connecting) return true;
        std::size_t total = 0;
        while (total < bytes_per_turn) {
            const auto due = out.line.due(now);
            if (due.empty()) break;
            const ssize_t put = ::send(out.to.fd, due.data(), due.size(), MSG_NOSIGNAL);
            if (put > 0) {
                out.line.sent(std::size_t(put));
                total += std::size_t(put);
                if (std::size_t(put) < due.size()) {
                    out.write_blocked = true;
                    return true;
                }
                continue;
            }
            if (put < 0 && errno == EINTR) continue;
            if (put < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                out.write_blocked = true;
                return true;
            }
            return false;
        }
        if (out.line.finished(now)) {
            shutdown(out.to.fd, SHUT_WR);
            out.done = true;
        }
        return true;
    }

    void reap() {
        bool ended = false;
        for (auto at = links_.begin(); at != links_.end();) {
            if (!(*at)->closing) {
                ++at;
                continue;
            }
            at = links_.erase(at);
            connections.fetch_sub(1, std::memory_order_relaxed);
            ended = true;
        }
        if (ended && accept_paused_) accept_paused_ = !set_interest(listener_, EPOLLIN);
    }

    void expired() {
        std::uint64_t count = 0;
        [[maybe_unused]] const auto got = ::read(timer_fd_.get(), &count, sizeof count);
        armed_.reset();
    }

    // The epoll time-out: 0 when something is due now, else none, with the timer set to the
    // next release.
    int arm_timer() {
        std::optional<relay_clock::time_point> next;
        auto consider = [&](const link &each, const direction &out) {
            if (out.done || out.write_blocked || each.connecting || each.closing) return;
            const auto at = out.line.next_release();
            if (at && (!next || *at < *next)) next = at;
        };
        for (const auto &each : links_) {
            consider(*each, each->up);
            consider(*each, each->down);
        }
        if (next && *next <= relay_clock::now()) return 0;
        if (next == armed_) return -1;
        itimerspec setting{};
        if (next) setting.it_value = monotonic_timespec(*next);
        if (timerfd_settime(timer_fd_.get(), TFD_TIMER_ABSTIME, &setting, nullptr) != 0)
            return 1; // cannot happen with a valid time; look again in a millisecond
        armed_ = next;
        return -1;
    }

    sockaddr_in target_;
    relay_clock::duration one_way_;
    std::size_t limit_;
    int send_buffer_;
    unique_fd epoll_;
    unique_fd listen_fd_;
    unique_fd timer_fd_;
    unique_fd stop_fd_;
    std::uint16_t port_ = 0;
    endpoint listener_;
    endpoint timer_;
    endpoint stop_;
    bool accept_paused_ = false;
    std::optional<relay_clock::time_point> armed_;
    chunk_pool pool_;
    std::list<std::unique_ptr<link>> links_;
};

delay_relay::delay_relay(const std::string &target_host, std::uint16_t target_port,
                         const delay_relay_settings &settings) {
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(target_port);
    if (inet_pton(AF_INET, target_host.c_str(), &target.sin_addr) != 1)
        throw std::system_error(EINVAL, std::generic_category(),
                                "delay relay: not a dotted IPv4 address: " + target_host);
    loop_ = std::make_unique<event_loop>(target, settings);
    port_ = loop_->port();
    thread_ = std::thread([this] { loop_->run(); });
}

delay_relay::~delay_relay() {
    loop_->stop();
    thread_.join();
}

std::size_t delay_relay::connections() const {
    return loop_->connections.load(std::memory_order_relaxed);
}

std::size_t delay_relay::peak_held() const {
    return loop_->peak_held.load(std::memory_order_relaxed);
}

} // namespace tvnbench
