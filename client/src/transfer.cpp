// read_file and write_file: what each asks of the server and what each answer means, on the
// pipeline's loop.
#include "tolvane/transfer.h"

#include <algorithm>
#include <array>
#include <limits>

#include "pipeline.h"
#include "tolvane/byte_order.h"
#include "tolvane/packet.h"

namespace tvn_client {

namespace {

using tvn_wire::put_le32;

// A READ or WRITE header, built once per transfer; only position and length change.
class rw_header {
public:
    explicit rw_header(const packet_builder &request) {
        const bytes built = request.build();
        std::copy_n(built.begin(), TVN_RW_HEADER, bytes_.begin());
    }
    std::span<const std::uint8_t> with(std::uint64_t position, std::uint32_t length,
                                       bool carries_data) {
        put_le32(&bytes_[TVN_FIXED_HEADER + TVN_RW_OFF_POSITION],
                 static_cast<std::uint32_t>(position));
        put_le32(&bytes_[TVN_FIXED_HEADER + TVN_RW_OFF_LENGTH], length);
        if (carries_data) put_le32(&bytes_[TVN_OFF_BODY_LENGTH], length);
        return bytes_;
    }

private:
    std::array<std::uint8_t, TVN_RW_HEADER> bytes_{};
};

class read_transfer final : public pipeline {
public:
    read_transfer(connection &link, std::uint32_t handle, const read_range &range,
                  const data_sink &sink, const transfer_settings &settings)
            : pipeline(link, READ, settings),
              header_(read_request(handle, 0, 0)),
              range_(range),
              limit_(range.limit.value_or(std::numeric_limits<std::uint64_t>::max())),
              sink_(sink),
              next_(range.start),
              end_(range.start) {
        report_.end = range.start;
    }

private:
    void issue() override {
        while (window_.has_room(request_size_) && next_ < limit_) {
            // Past the size OPEN announced, the end is near: one READ at a time finds it.
            if (next_ >= range_.expected_size && !window_.empty()) return;
            if (next_ > max_position) {
                if (window_.empty()) stop(transfer_outcome::out_of_range);
                return;
            }
            const auto length =
                static_cast<std::uint32_t>(std::min<std::uint64_t>(request_size_, limit_ - next_));
            queue(header_.with(next_, length, false), {}, next_, length);
            next_ += length;
        }
    }

    void answered(const incoming_answer &answer, const request_window::request &request) override {
        if (stopped()) return; // past the end, or the sink has had enough
        if (answer.status() != OK) return refuse(request, answer.status());
        const auto data = answer.body();
        if (!data.empty() && !sink_(data)) return stop(transfer_outcome::stopped);
        end_ += data.size();
        note_progress(end_);
        if (data.size() < request.length || end_ >= limit_) stop(transfer_outcome::complete);
    }

    std::span<std::uint8_t> body_destination(const request_window::request &request) override {
        const std::span<std::uint8_t> into = range_.into;
        const std::uint64_t at = request.offset - range_.start;
        // An answer lands there when it fits: also the short one that ends a file.
        if (at >= into.size()) return {};
        return into.subspan(std::size_t(at),
                            std::min<std::uint64_t>(request.length, into.size() - at));
    }

    rw_header header_;
    const read_range range_;
    const std::uint64_t limit_;
    const data_sink &sink_;
    std::uint64_t next_;
    std::uint64_t end_;
};

class write_transfer final : public pipeline {
public:
    write_transfer(connection &link, std::uint32_t handle, std::uint64_t start,
                   const data_source &source, const transfer_settings &settings)
            : pipeline(link, WRITE, settings),
              header_(packet_builder(WRITE).put_u32(0).put_u32(handle).put_i32(0).put_i32(0)),
              source_(source),
              next_(start) {
        report_.end = start;
    }

private:
    void issue() override {
        // One WRITE queued at a time: its data stay where the source keeps them until sent.
        if (source_done_ || !nothing_queued() || !window_.has_room(request_size_)) return;
        const auto data = source_(next_, request_size_);
        if (!data || data->size() > request_size_) return stop(transfer_outcome::stopped);
        source_done_ = data->size() < request_size_;
        if (data->empty()) return;
        if (next_ + data->size() > max_position) return stop(transfer_outcome::out_of_range);
        const auto length = static_cast<std::uint32_t>(data->size());
        queue(header_.with(next_, length, true), *data, next_, length);
        next_ += length;
    }

    void answered(const incoming_answer &answer, const request_window::request &request) override {
        if (answer.status() != OK) return refuse(request, answer.status());
        const std::uint32_t written = answer.param_u32(4).value_or(0);
        if (written != request.length) {
            report_.written = written;
            return refuse(request, answer.status(), transfer_outcome::short_write);
        }
        note_progress(request.offset + request.length);
    }

    rw_header header_;
    const data_source &source_;
    std::uint64_t next_;
    bool source_done_ = false;
};

} // namespace

transfer_report read_file(connection &link, std::uint32_t handle, const read_range &range,
                          const data_sink &sink, const transfer_settings &settings) {
    if (!link.is_open()) return {transfer_outcome::broken, range.start};
    read_transfer transfer(link, handle, range, sink, settings);
    return transfer.run();
}

transfer_report write_file(connection &link, std::uint32_t handle, std::uint64_t start,
                           const data_source &source, const transfer_settings &settings) {
    if (!link.is_open()) return {transfer_outcome::broken, start};
    write_transfer transfer(link, handle, start, source, settings);
    return transfer.run();
}

const char *outcome_name(transfer_outcome outcome) {
    switch (outcome) {
    case transfer_outcome::complete: return "complete";
    case transfer_outcome::refused: return "refused";
    case transfer_outcome::short_write: return "short write";
    case transfer_outcome::stopped: return "stopped";
    case transfer_outcome::out_of_range: return "out of range";
    case transfer_outcome::closed: return "closed";
    case transfer_outcome::timed_out: return "timed out";
    case transfer_outcome::broken: return "broken";
    }
    return "?";
}

} // namespace tvn_client
