// The transfer loop. Each turn queues what the window allows, sends what the socket takes,
// reads what has come (at most one whole answer, so that the window refills at once), and
// waits only when neither way moved, for either way, by the stall deadline.
#include "pipeline.h"

#include <poll.h>

#include <cerrno>

#include "tolvane/protocol.h"

namespace tvn_client {

pipeline::pipeline(connection &link, std::uint8_t method, const transfer_settings &settings)
        : settings_(settings),
          request_size_(request_size(settings.window, settings.chunk)),
          window_(settings.window),
          sizer_(settings.window, 2 * std::uint64_t(request_size_),
                 settings.round_trip && *settings.round_trip < near_round_trip),
          link_(link),
          method_(method) {
    window_.set_limit(sizer_.target());
}

void pipeline::queue(std::span<const std::uint8_t> head, std::span<const std::uint8_t> data,
                     std::uint64_t offset, std::uint32_t length) {
    head_.insert(head_.end(), head.begin(), head.end());
    data_ = data;
    queued_total_ += head.size() + data.size();
    window_.add(offset, length, queued_total_);
}

void pipeline::stop(transfer_outcome outcome) {
    stopped_ = true;
    if (report_.outcome == transfer_outcome::complete) report_.outcome = outcome;
}

void pipeline::refuse(const request_window::request &request, std::uint8_t status,
                      transfer_outcome outcome) {
    report_.failed_request = request.number;
    report_.failed_offset = request.offset;
    report_.failed_length = request.length;
    report_.status = status;
    report_.outcome = outcome;
    stopped_ = true;
    failed_ = true;
}

void pipeline::note_progress(std::uint64_t end) {
    report_.end = end;
    if (settings_.progress) settings_.progress(end);
}

void pipeline::fail_connection(transfer_outcome outcome) {
    report_.outcome = outcome;
    stopped_ = true;
    failed_ = true;
}

pipeline::step_result pipeline::send_step() {
    send_waits_for_ = 0;
    bool moved = false;
    while (!nothing_queued()) {
        const bool in_head = head_sent_ < head_.size();
        const std::uint8_t *from = in_head ? head_.data() + head_sent_ : data_.data();
        const std::size_t count = in_head ? head_.size() - head_sent_ : data_.size();
        std::size_t sent = 0;
        const connection::io_step step = link_.write_some(from, count, sent);
        if (step == connection::io_step::done) {
            moved = moved || sent > 0;
            sent_total_ += sent;
            if (in_head)
                head_sent_ += sent;
            else
                data_ = data_.subspan(sent);
            continue;
        }
        if (step == connection::io_step::wait_read || step == connection::io_step::wait_write) {
            send_waits_for_ = step == connection::io_step::wait_write ? POLLOUT : POLLIN;
            break;
        }
        const bool gone =
            step == connection::io_step::ended || errno == EPIPE || errno == ECONNRESET;
        fail_connection(gone ? transfer_outcome::closed : transfer_outcome::broken);
        return step_result::failed;
    }
    if (nothing_queued()) {
        head_.clear();
        head_sent_ = 0;
    }
    if (moved) window_.mark_sent(sent_total_, clock::now());
    return moved ? step_result::moved : step_result::waiting;
}

pipeline::step_result pipeline::receive_step() {
    receive_waits_for_ = 0;
    if (window_.empty()) return step_result::waiting;
    if (!expecting_) {
        if (method_ == READ)
            incoming_.expect(window_.oldest().length, body_destination(window_.oldest()));
        else
            incoming_.expect(0);
        expecting_ = true;
    }
    bool moved = false;
    for (;;) {
        const std::span<std::uint8_t> room = incoming_.room();
        std::size_t got = 0;
        const connection::io_step step = link_.read_some(room.data(), room.size(), got);
        if (step == connection::io_step::wait_read || step == connection::io_step::wait_write) {
            receive_waits_for_ = step == connection::io_step::wait_write ? POLLOUT : POLLIN;
            return moved ? step_result::moved : step_result::waiting;
        }
        if (step != connection::io_step::done) {
            // A server that closes with requests unread resets rather than closes.
            const bool between_answers =
                !incoming_.started() && (step == connection::io_step::ended || errno == ECONNRESET);
            fail_connection(between_answers ? transfer_outcome::closed : transfer_outcome::broken);
            return step_result::failed;
        }
        moved = true;
        const incoming_answer::progress progress = incoming_.received(got);
        if (progress == incoming_answer::progress::partial) continue;
        if (progress == incoming_answer::progress::invalid || incoming_.method() != method_) {
            fail_connection(transfer_outcome::broken);
            return step_result::failed;
        }
        expecting_ = false;
        const request_window::request request = window_.answered();
        const auto now = clock::now();
        sizer_.answered(now - request.sent,
                        method_ == READ ? incoming_.body().size() : request.length, now);
        window_.set_limit(sizer_.target());
        if (!failed_) answered(incoming_, request);
        return step_result::moved;
    }
}

bool pipeline::wait_for_either(clock::time_point deadline) {
    const auto left = std::chrono::ceil<milliseconds>(deadline - clock::now()).count();
    pollfd watched{link_.fd(), short(send_waits_for_ | receive_waits_for_), 0};
    const int ready = poll(&watched, 1, left > 0 ? int(left) : 0);
    if (ready > 0 || (ready < 0 && errno == EINTR)) return true;
    fail_connection(ready == 0 ? transfer_outcome::timed_out : transfer_outcome::broken);
    return false;
}

transfer_report pipeline::run() {
    auto deadline = clock::now() + settings_.timeout;
    for (;;) {
        if (!stopped_) issue();
        if (window_.empty() && nothing_queued()) break;
        const step_result sent = send_step();
        if (sent == step_result::failed) break;
        const step_result received = receive_step();
        if (received == step_result::failed) break;
        if (sent == step_result::moved || received == step_result::moved) {
            deadline = clock::now() + settings_.timeout;
            continue;
        }
        if (!wait_for_either(deadline)) break;
    }
    report_.requests = window_.added();
    report_.peak_requests = window_.peak_count();
    report_.peak_bytes = window_.peak_bytes();
    return report_;
}

} // namespace tvn_client
