// What the clients of a soak run share: the counts, the wrong answers they met, the accounts
// they log in as, and the passwords of the users whose passwords keep changing.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <semaphore>
#include <string>
#include <vector>

#include "tolvane/protocol.h"

namespace tvnsoak {

using counter = std::atomic<std::uint64_t>;

struct soak_counts {
    counter requests{0};     // answers received
    counter bytes_up{0};     // file bytes sent in WRITEs
    counter bytes_down{0};   // file bytes received in READs
    counter bytes_copied{0}; // file bytes COPYFILE moved on the server
    counter sessions{0};     // connections that logged in
    counter guest_sessions{0};
    counter uploads{0};
    counter downloads{0};
    counter listings{0};
    counter copies{0};
    counter deletes{0};
    counter password_changes{0};
    counter old_passwords_refused{0};
    counter bad_packets{0}; // closed without an answer, as they must be
    counter bad_packets_before_login{0};
    counter connect_retries{0};
    // First packets given up on before the server's side took them; the server may still
    // have taken one at the last moment.
    counter abandoned_logins{0};
    counter abandoned_bad_packets{0};
    // Answers by the method of the request they answered, for the journal's count.
    std::array<counter, TVN_LAST_METHOD + 1> answered{};

    std::uint64_t bytes() const { return bytes_up + bytes_down; }
};

// Every wrong answer and failed check, by description; the first ones are kept for the report.
class error_log {
public:
    void add(std::string what) {
        std::lock_guard<std::mutex> hold(lock_);
        if (kept_.size() < kept_limit) kept_.push_back(std::move(what));
        ++count_;
    }
    std::size_t count() const {
        std::lock_guard<std::mutex> hold(lock_);
        return count_;
    }
    std::vector<std::string> kept() const {
        std::lock_guard<std::mutex> hold(lock_);
        return kept_;
    }

private:
    static constexpr std::size_t kept_limit = 60;
    mutable std::mutex lock_;
    std::vector<std::string> kept_;
    std::size_t count_ = 0;
};

// A list account whose passwords never change; clients share it, each in a directory of its
// own.
struct regular_user {
    std::string name;
    std::string owner_password;
    std::string guest_password;
    std::string home;   // on the server's disk
    std::string record; // its database line as written, which must stay as it is
};

// A user whose passwords change during the run. Only the client that holds `busy` logs in as
// it or changes its passwords, so the passwords here are always the ones the database holds.
struct changing_user {
    std::string name;
    std::mutex busy;
    std::string owner_password;
    std::string guest_password;
    unsigned changes = 0;
};

// Everything a client needs to know of the run.
struct soak_context {
    std::uint16_t port = 0;
    std::string domain;
    std::vector<regular_user> users;
    std::vector<std::unique_ptr<changing_user>> changing;
    // At most this many password changes at once: rewriters wait for each other a second
    // at a time and give up after about four.
    std::counting_semaphore<16> change_slots{2};
    soak_counts counts;
    error_log errors;       // wrong answers the clients met
    error_log check_errors; // what the checks after the load found
};

} // namespace tvnsoak
