// The engine under read_file and write_file: one loop that sends queued requests and reads
// answers on the same non-blocking connection, waiting (poll) for whichever direction can
// move, so that neither side can fill the other's socket and block it for good. What to ask
// and what an answer means belong to the transfer built on it.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <vector>

#include "incoming_answer.h"
#include "request_window.h"
#include "tolvane/transfer.h"
#include "window_sizer.h"

namespace tvn_client {

class pipeline {
public:
    pipeline(connection &link, std::uint8_t method, const transfer_settings &settings);
    virtual ~pipeline() = default;
    pipeline(const pipeline &) = delete;
    pipeline &operator=(const pipeline &) = delete;

    // Runs until nothing is queued, issued or in flight, or the connection fails.
    transfer_report run();

protected:
    // Queues what may go now (called before every step until stop()).
    virtual void issue() = 0;
    // The answer to `request`, complete and of the right method. Not called after refuse():
    // the answers that follow a failed one are read and dropped.
    virtual void answered(const incoming_answer &answer,
                          const request_window::request &request) = 0;
    // Where the body of the answer to `request` may land directly; empty: the answer's own
    // buffer.
    virtual std::span<std::uint8_t> body_destination(const request_window::request &) { return {}; }

    // Queues one request: its header, and the data that follow it on the wire (which must
    // stay valid until sent; only when nothing_queued()). `length` counts in the window; a
    // READ's answer may bring at most that many bytes, any other answer none.
    void queue(std::span<const std::uint8_t> head, std::span<const std::uint8_t> data,
               std::uint64_t offset, std::uint32_t length);
    // True when nothing waits to be sent: a request with data may be queued.
    bool nothing_queued() const { return head_.size() == head_sent_ && data_.empty(); }
    // No more requests; the rest are answered and dropped. The outcome is kept unless the
    // connection fails later.
    void stop(transfer_outcome outcome);
    bool stopped() const { return stopped_; }
    // Records a failed answer and stops.
    void refuse(const request_window::request &request, std::uint8_t status,
                transfer_outcome outcome = transfer_outcome::refused);
    void note_progress(std::uint64_t end);

    const transfer_settings &settings_;
    const std::uint32_t request_size_;
    request_window window_; // its limit follows sizer_'s aim
    window_sizer sizer_;
    transfer_report report_;

private:
    using clock = std::chrono::steady_clock;
    enum class step_result { moved, waiting, failed };

    step_result send_step();
    step_result receive_step();
    bool wait_for_either(clock::time_point deadline);
    void fail_connection(transfer_outcome outcome);

    connection &link_;
    const std::uint8_t method_;
    std::vector<std::uint8_t> head_; // request headers queued, head_sent_ of them sent
    std::size_t head_sent_ = 0;
    std::uint64_t queued_total_ = 0;     // bytes queued on the connection since the start
    std::uint64_t sent_total_ = 0;       // and of them sent
    std::span<const std::uint8_t> data_; // the data behind the last header, not yet sent
    // What the last attempt each way waited for: POLLIN or POLLOUT.
    short send_waits_for_ = 0;
    short receive_waits_for_ = 0;
    incoming_answer incoming_;
    bool expecting_ = false; // incoming_ has been told what to expect
    bool stopped_ = false;
    bool failed_ = false;
};

} // namespace tvn_client
