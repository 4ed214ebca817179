// A few sessions with the server, each on its own connection, so that operations on
// different files run side by side. A session the server has ended (after its idle limit, or
// because it restarted) logs in again when it is next needed; a file's server handle belongs
// to one session (its home), and the file layer opens it again after such a new login.
#pragma once

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "tvnclient/session.h"

namespace tvnmount {

// The most sessions a pool holds.
inline constexpr std::size_t most_sessions = 16;

// What an exchange answers when the connection failed: the session is closed, what was asked
// may or may not have been done, and a repeat needs a new login.
inline constexpr int connection_lost = ECONNRESET;

class session_pool;

// One session, held by one caller at a time.
class session_lease {
public:
    session_lease() = default;
    session_lease(session_lease &&other) noexcept;
    session_lease &operator=(session_lease &&) = delete;
    session_lease(const session_lease &) = delete;
    ~session_lease();

    // False when no session became free within the time-out.
    bool held() const { return pool_ != nullptr; }
    std::size_t index() const { return index_; }

    // 0 when the session is open, logging in again if the server has ended it; EIO when the
    // server cannot be reached, EACCES when it refuses the login.
    int ready();
    // ready(), then one request and its answer: 0 (the answer's status is for the caller to
    // judge), connection_lost, or ready()'s errno.
    int exchange(const tvn_client::packet_builder &request);
    // ready(), then READs pipelined on `handle` (tolvane/transfer.h): 0 with the report,
    // connection_lost (the connection is closed), or ready()'s errno.
    int read_pipelined(std::uint32_t handle, const tvn_client::read_range &range,
                       const tvn_client::data_sink &sink, tvn_client::transfer_report &report);
    // The same for WRITEs of the source's data from `start`.
    int write_pipelined(std::uint32_t handle, std::uint64_t start,
                        const tvn_client::data_source &source, tvn_client::transfer_report &report);
    const tvn_client::answer &answer() const;
    // After ready(): whether this login's server serves SETTIME.
    bool sets_times() const;
    std::uint8_t status() const { return answer().status(); }
    // Names the login the session runs on; a new login gives a new number, and handles of
    // the old one are gone.
    std::uint64_t generation() const;
    std::chrono::milliseconds timeout() const;

private:
    friend class session_pool;
    session_lease(session_pool *pool, std::size_t index) : pool_(pool), index_(index) {}

    session_pool *pool_ = nullptr;
    std::size_t index_ = 0;
};

class session_pool {
public:
    session_pool(tvnclient::login_settings login, std::size_t size);
    ~session_pool();
    session_pool(const session_pool &) = delete;
    session_pool &operator=(const session_pool &) = delete;

    // The first login, at the terminal, before anything is mounted: the user's problem.
    tvnclient::problem open_first();
    // The flags word of that login's CONNECT answer.
    std::uint32_t first_flags() const { return first_flags_; }
    std::size_t size() const { return slots_.size(); }
    std::chrono::milliseconds timeout() const { return login_.timeout; }

    // A free session, one that is logged in if there is one.
    session_lease any();
    // The session at `index`, once it is free.
    session_lease slot(std::size_t index);
    // `home` when it is free, else any other free session, else the first to become free.
    session_lease home_or_other(std::size_t home);
    // A free session with the fewest open files, which becomes the home of one more.
    session_lease new_home();
    // A file homed at `index` is closed.
    void leave_home(std::size_t index);

    // Sends KEEPALIVE on idle sessions that hold open files, so that their handles last as
    // long as the server allows. Started after the mount has gone to the background.
    void start_keepalive();
    // Stops the keep-alive and ends every session.
    void stop();

private:
    friend class session_lease;
    using clock = std::chrono::steady_clock;

    struct slot_state {
        tvnclient::session remote;
        bool busy = false;
        bool open = false; // as last seen by its holder
        std::uint64_t generation = 0;
        std::size_t files = 0;
        clock::time_point last_used{};
    };

    template <typename Choose>
    session_lease take(Choose choose);
    void give_back(std::size_t index);
    int log_in(slot_state &slot);
    void keep_alive(std::stop_token stop);

    tvnclient::login_settings login_;
    std::vector<std::unique_ptr<slot_state>> slots_;
    std::mutex mutex_;
    std::condition_variable freed_;
    // Guarded by mutex_: after a failed login others fail at once for a moment rather than
    // each waiting for the server in turn.
    clock::time_point retry_after_{};
    bool outage_reported_ = false;
    std::uint64_t generations_ = 0;
    std::uint32_t first_flags_ = 0;
    std::chrono::seconds keepalive_interval_{0};
    std::jthread keepalive_;
};

} // namespace tvnmount
