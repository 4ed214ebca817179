// What the clients of a scale run share: the users whose passwords change, each client's files
// and source address, the counts, and the wrong answers met. A wrong answer is any answer that
// differs from the one the request must get by the ledger; a connection that ends before its
// answer is an interruption, not a wrong answer: the client tries again on a new connection.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <semaphore>
#include <shared_mutex>
#include <string>
#include <vector>

namespace tvnscale {

using counter = std::atomic<std::uint64_t>;

struct scale_counts {
    counter sessions{0};
    counter guest_sessions{0};
    counter uploads{0};
    counter downloads{0};
    counter listings{0};
    counter deletes{0};
    counter password_changes{0};  // answered as made
    counter refused_changes{0};   // answered as not made (the database was busy)
    counter unanswered_changes{0}; // interrupted: settled by logging in
    counter interruptions{0};     // connections that ended before an answer
    counter records_added{0};
    counter bytes_up{0};
    counter bytes_down{0};
};

// Every wrong answer and failed check; the first ones are kept for the report.
class fault_log {
public:
    void add(std::string what) {
        std::lock_guard<std::mutex> hold(lock_);
        if (kept_.size() < 60) kept_.push_back(std::move(what));
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
    mutable std::mutex lock_;
    std::vector<std::string> kept_;
    std::size_t count_ = 0;
};

// A user of the shared database. Logins read the passwords under a shared lock; a change holds
// it alone until it knows what the database holds, so the ledger is always the database's word.
struct scale_user {
    std::string name;
    std::string home;
    std::shared_mutex passwords;
    std::string owner_password;
    std::string guest_password;
    unsigned changes = 0;
};

struct stored_file {
    std::string name;
    std::uint64_t seed = 0;
    std::size_t size = 0;
    std::uint64_t checksum = 0;
};

struct scale_client {
    int index = 0;
    std::string source;     // its loopback address: 127.0.0.(2 + index)
    scale_user *user = nullptr;
    std::string remote_dir; // /Private/cNNN
    std::string local_dir;  // in the shared tree
    bool directory_made = false;
    std::vector<stored_file> files;
    // Names an interrupted upload may have left (its part, or the file if the rename was
    // made without its answer); removed at the next session.
    std::vector<std::string> uncertain;
    unsigned next_name = 0;
};

struct scale_context {
    std::uint16_t port = 0; // the balancer's frontend
    std::string domain = "shared";
    std::vector<std::unique_ptr<scale_user>> users;
    std::vector<scale_client> clients;
    // Password changes at once: enough that rewriters of different servers meet at the
    // database's lock; rewriters of one root wait for each other a second at a time.
    std::counting_semaphore<64> change_slots{12};
    scale_counts counts;
    fault_log wrong;   // wrong answers the clients met
    fault_log checks;  // what the checks found
};

} // namespace tvnscale
