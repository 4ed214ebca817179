// Pipelined transfers of one open file: READs sent ahead of their answers, WRITEs sent without
// waiting for theirs. The server reads one request after another from the connection and
// answers them in order, so a transfer keeps a window of requests in flight and matches each
// answer to the oldest request still unanswered. One transfer at a time per connection, and
// nothing else may use the connection while it runs.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>

#include "tolvane/connection.h"
#include "tolvane/protocol.h"

namespace tvn_client {

// 32 MiB in flight. A transfer runs at most at window / round trip: 800 MB/s at 40 ms, 320 MB/s
// at 100 ms. Through tvnbench's delay relay at 40 ms (which, like a long fat link, holds what
// is in flight itself), 16 MiB reached about half of a raw stream's rate and 32 MiB clearly
// more. On a real link TCP's socket buffers (Linux grows them up to tcp_rmem's maximum, 6 to
// 32 MiB) bound what is in flight anyway. The window costs no memory here: the bytes in flight
// wait in the sockets' buffers, and the server reads one request at a time. Its price is the
// drain: a stopped READ transfer still reads what it asked for.
inline constexpr std::size_t default_window = 32u << 20;

// A round trip shorter than this is a near server's (loopback, a local network).
inline constexpr std::chrono::microseconds near_round_trip{1000};

// The largest position a READ or WRITE can name: positions are signed 32-bit on the wire.
inline constexpr std::uint64_t max_position = 0x7fffffff;

struct transfer_settings {
    // The most bytes asked for by READs, or carried by WRITEs, whose answers have not been
    // read yet. One request may always be in flight, however small the window. A transfer
    // starts with the whole window (see round_trip) and then keeps about twice what the link
    // holds in flight (the rate of the answers times the shortest round trip, at least two
    // requests): a near server gets a few requests ahead, not megabytes waiting in socket
    // buffers, which cost it more CPU than the round trips they save.
    std::size_t window = default_window;
    // Bytes per request, 1 to 500000 (TVN_MAX_TRANSFER, the most a request may carry; more
    // is taken as that); a window smaller than a chunk makes requests of the window's size. With window == chunk every request waits for the answer
    // of the one before.
    std::uint32_t chunk = TVN_MAX_TRANSFER;
    // The longest time without a byte moving either way; then the transfer ends timed_out.
    milliseconds timeout = std::chrono::seconds(30);
    // The round trip of a request just answered on this connection (the OPEN before the
    // transfer), when the caller knows it. Under near_round_trip the server is near: the
    // transfer starts with two requests in flight rather than the whole window, and grows
    // only if the answers show that it pays.
    std::optional<std::chrono::microseconds> round_trip;
    // Told the offset up to which every byte has been confirmed (WRITE) or handed to the
    // sink (READ), after each answer in order. May be empty.
    std::function<void(std::uint64_t end)> progress;
};

enum class transfer_outcome {
    complete,     // READ: the file ended (a short answer) or the limit was reached;
                  // WRITE: the source ran out and every WRITE was confirmed
    refused,      // an answer's status was not OK: failed_request, failed_offset, status
    short_write,  // a WRITE answer counted fewer bytes than sent: written says how many
    stopped,      // the sink or the source asked to stop
    out_of_range, // the data go on past max_position, which no request can name
    // The connection failed, as in read_result; the stream's position is unknown and the
    // connection should be closed.
    closed,
    timed_out,
    broken,
};

struct transfer_report {
    transfer_outcome outcome = transfer_outcome::complete;
    // READ: the offset after the last byte handed to the sink. WRITE: the offset after the
    // last byte confirmed, with every byte before it confirmed too.
    std::uint64_t end = 0;
    std::uint64_t requests = 0; // requests issued
    // refused, short_write: the first request whose answer failed, counted from 0 in the
    // order sent, its position and length, and the answer's status.
    std::uint64_t failed_request = 0;
    std::uint64_t failed_offset = 0;
    std::uint32_t failed_length = 0;
    std::uint8_t status = 0;
    std::uint32_t written = 0; // short_write: the count the server answered
    // The most requests, and bytes, that were in flight at once.
    std::size_t peak_requests = 0;
    std::uint64_t peak_bytes = 0;
};

// Takes the data of a READ transfer in file order, valid during the call; false stops the
// transfer (stopped).
using data_sink = std::function<bool(std::span<const std::uint8_t> data)>;
// Gives the data to write at `offset`: at most `most` bytes, which must stay valid until the
// next call or the end of the transfer. Fewer than `most` (also none) are the last; an empty
// optional stops the transfer (stopped), as does a span longer than `most`.
using data_source =
    std::function<std::optional<std::span<const std::uint8_t>>(std::uint64_t offset,
                                                               std::size_t most)>;

struct read_range {
    std::uint64_t start = 0;
    // The file's size as OPEN answered it: READs run a window ahead up to it; past it (a file
    // that grew, or whose size was not known) they go one at a time until the end shows.
    std::uint64_t expected_size = 0;
    // Nothing at or past this offset is asked for.
    std::optional<std::uint64_t> limit;
    // Where the data of the range may land: the answer to the READ at offset p is read from
    // the socket straight into into[p - start], and the sink is handed that part of it (no
    // copy is needed then). Empty: the data pass through a buffer of the transfer's own.
    std::span<std::uint8_t> into = {};
};

// Reads the file behind `handle` from range.start until an answer brings fewer bytes than
// asked (the end of the file) or range.limit, handing every answer's data to `sink` in
// order. The first answer that is not OK ends the transfer (refused); answers still in
// flight after it, or after a stop, are read and dropped, so the connection stays usable
// unless the report says closed, timed_out or broken. A file that the server keeps
// answering past max_position ends out_of_range.
transfer_report read_file(connection &link, std::uint32_t handle, const read_range &range,
                          const data_sink &sink, const transfer_settings &settings = {});

// Writes the source's data into the file behind `handle` from `start` until the source runs
// out. The first answer that is not OK (refused) or counts fewer bytes than were sent
// (short_write) ends the transfer; a WRITE half sent is finished and the answers still in
// flight are read, as for read_file. After a failure, requests that were in flight behind
// the failed one may still have written their data: report.end is where the file holds
// what the source gave, and a caller that keeps the file should cut it there (a WRITE of
// length 0 at report.end). Data that would end past max_position end out_of_range before
// they are sent.
transfer_report write_file(connection &link, std::uint32_t handle, std::uint64_t start,
                           const data_source &source, const transfer_settings &settings = {});

// "complete", "refused", "short write", "stopped", "out of range", "closed", "timed out",
// "broken".
const char *outcome_name(transfer_outcome outcome);

} // namespace tvn_client
