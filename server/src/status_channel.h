// The channel over which workers report to the master: an anonymous Unix datagram socket pair
// made before the first fork, so that only the server's own processes hold an end of it. The
// kernel names the sender of every report; the record carries only what the worker saw.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <array>
#include <cstddef>
#include <cstdint>

// MSG_LOGIN_FAILED: a login from the worker's client was refused (the master counts them per
// address when MaxFailedLoginsPerAddress asks for it).
enum status_kind : uint32_t {
    MSG_WAKE = 0,
    MSG_ACCEPTED = 1,
    MSG_FINISHED = 2,
    MSG_LOGIN_FAILED = 3
};

inline constexpr size_t REPORT_ADDRESS_SIZE = 16; // an IPv6 address; IPv4 fills the first 4

// One report: what happened, and the client's address as the worker accepted it (family
// AF_UNSPEC and no address bytes when the worker has no client). Never the sender's pid: that
// comes from the kernel.
struct status_report {
    status_kind kind = MSG_WAKE;
    uint16_t family = AF_UNSPEC;
    std::array<uint8_t, REPORT_ADDRESS_SIZE> address{};
};

// On the channel a report is exactly these bytes: kind (4, little-endian), family (2,
// little-endian), then the 16 address bytes in network order, unused ones zero.
inline constexpr size_t STATUS_REPORT_SIZE = 4 + 2 + REPORT_ADDRESS_SIZE;
using report_bytes = std::array<uint8_t, STATUS_REPORT_SIZE>;

// A report as the master received it.
struct received_report {
    status_report report;
    pid_t sender = 0; // from the kernel's credentials of the datagram
};

// A report of the kind about the client at address (nullptr, or a family other than IPv4 and
// IPv6: no address).
status_report make_report(status_kind kind, const sockaddr *address);

// Both are async-signal-safe.
report_bytes encode_report(const status_report &report);
// True when bytes are exactly one well-formed record: a known kind, a known family, and zero
// in every address byte the family does not use.
bool decode_report(const uint8_t *bytes, size_t size, status_report *report);

// Creates the pair, both ends closed on exec: ends[0] is the master's (it receives the
// senders' credentials), ends[1] the workers'. 0, or -1 with errno set.
int open_status_channel(int ends[2]);

// Sends one report without waiting: false when the channel is full or gone. Async-signal-safe;
// for the master's wake-ups, where a full channel already wakes it.
bool post_report(int fd, const status_report &report);

// Sends one report; while the channel is full it pauses (a time that differs between
// processes) and tries again. False on any other failure. Async-signal-safe.
bool send_report(int fd, const status_report &report);

enum class receive_result {
    report,      // *into holds a well-formed report and its sender
    nothing,     // no datagram was waiting (without wait only)
    interrupted, // a signal arrived first
    dropped,     // a datagram was read and thrown away: wrong size, malformed, no credentials
    failed,      // the channel itself failed; errno says why
};

// Reads one datagram from the master's end; with wait, blocks until one arrives or a signal
// interrupts.
receive_result receive_report(int fd, bool wait, received_report *into);
