// The master's book of client addresses: connections in service and new connections per
// address, refused logins, and the penalty of an address that guessed too often. Pure logic
// on a clock the caller gives, so that it is tested without waiting.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <unordered_map>

// One client address as a worker reported it: the family and up to 16 address bytes.
struct address_key {
    uint16_t family = 0;
    std::array<uint8_t, 16> bytes{};
    bool operator==(const address_key &) const = default;
};

struct address_key_hash {
    size_t operator()(const address_key &key) const;
};

// The limits of the Server section; 0 turns a limit off.
struct address_limit_settings {
    uint32_t max_in_service = 0;    // MaxConnectionsPerAddress
    uint32_t max_per_minute = 0;    // MaxConnectionRatePerAddress
    uint32_t max_failed_logins = 0; // MaxFailedLoginsPerAddress, within ten minutes
    bool any() const {
        return max_in_service != 0 || max_per_minute != 0 || max_failed_logins != 0;
    }
};

// What the master says of a new connection. The values travel to the worker in shared memory.
enum class admission : uint32_t {
    pending = 0,
    admitted = 1,
    too_many_in_service = 2,
    too_many_per_minute = 3,
    penalised = 4,
};

// The journal text of a refusal (with its leading blank), or nullptr for admitted and pending.
const char *admission_reason(admission verdict);

class address_limits {
public:
    static constexpr int64_t RATE_WINDOW_MS = 60'000;
    static constexpr int64_t FAILED_LOGIN_WINDOW_MS = 600'000;
    static constexpr int64_t PENALTY_MS = 600'000;
    // The book forgets idle addresses before it holds more than this many.
    static constexpr size_t MAX_ADDRESSES = 65536;

    explicit address_limits(address_limit_settings settings) : settings_(settings) {}

    // A new connection from the address at now (milliseconds): admitted or the reason it is
    // refused. *counted tells whether an admitted connection is counted in service (it then
    // must be finished()); a book full of addresses in service admits without counting.
    admission admit(const address_key &address, int64_t now, bool *counted);
    // A connection that admit() counted has ended.
    void finished(const address_key &address, int64_t now);
    // A login from the address was refused; more than max_failed_logins of them within ten
    // minutes close the address's new connections for ten minutes.
    void login_failed(const address_key &address, int64_t now);

    size_t tracked() const { return book_.size(); }
    uint32_t in_service(const address_key &address) const;

private:
    struct record {
        uint32_t in_service = 0;
        std::deque<int64_t> admitted;      // times of admitted connections within the window
        std::deque<int64_t> failed_logins; // times of refused logins within the window
        int64_t penalty_until = 0;
    };

    // Drops times that left their windows; true when nothing is left to remember.
    static bool forget_old(record &entry, int64_t now);
    // The record of the address, made when there is room; nullptr when the book is full of
    // addresses it must still remember.
    record *find_or_add(const address_key &address, int64_t now);
    void forget_idle(int64_t now);

    address_limit_settings settings_;
    std::unordered_map<address_key, record, address_key_hash> book_;
};
