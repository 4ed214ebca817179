// Downloads and uploads through tvn_client::read_file and write_file. The first refused
// answer names the byte where the transfer stopped when that is not the first.
#include "remote_stream.h"

#include <cerrno>

#include "interrupt.h"
#include "local_file.h"

namespace tvnclient {

namespace {

using tvn_client::transfer_outcome;
using tvn_client::transfer_report;

problem interruption(const std::string &path) {
    return make_problem(exit_status::interrupted, path, "interrupted");
}

// A report that did not end complete, in words; `stopped_by` is the problem of the sink or
// source that stopped it.
problem failure_of(session &remote, const std::string &path, const transfer_report &report,
                   const char *doing, problem stopped_by) {
    const std::string where = " (" + std::string(doing) + " at byte " +
                              std::to_string(report.failed_offset) + ")";
    switch (report.outcome) {
    case transfer_outcome::complete: return {};
    case transfer_outcome::refused: {
        problem refused = remote_refusal(report.status, path);
        if (report.failed_offset > 0) refused.words += where;
        return refused;
    }
    case transfer_outcome::short_write:
        return make_problem(exit_status::failed, path,
                            "the server wrote " + std::to_string(report.written) + " of " +
                                std::to_string(report.failed_length) + " bytes" + where);
    case transfer_outcome::stopped: return stopped_by ? stopped_by : interruption(path);
    case transfer_outcome::out_of_range: return too_large(path);
    case transfer_outcome::closed:
    case transfer_outcome::timed_out:
    case transfer_outcome::broken: break;
    }
    return remote.lost_connection(report.outcome, path);
}

} // namespace

problem too_large(const std::string &path) {
    return make_problem(exit_status::failed, path,
                        "larger than 2 GiB, which the protocol cannot address");
}

problem shrank(const std::string &path, std::uint64_t end, std::uint64_t size) {
    return make_problem(exit_status::failed, path,
                        "the file shrank on the server during the transfer (it ended at byte " +
                            std::to_string(end) + " of " + std::to_string(size) + ")");
}

problem read_remote_file(session &remote, const std::string &path, std::uint32_t handle,
                         std::uint64_t start, std::uint32_t size, const chunk_sink &sink,
                         std::uint64_t &end) {
    problem stopped_by;
    const auto report = remote.read_file(
        handle, {start, size, std::nullopt}, [&](std::span<const std::uint8_t> data) {
            stopped_by = interrupted() ? interruption(path) : sink(data);
            return !stopped_by;
        });
    end = report.end;
    return failure_of(remote, path, report, "reading", stopped_by);
}

problem write_remote_file(session &remote, const std::string &path, std::uint32_t handle,
                          std::uint64_t start, int local_fd, const std::string &local_name,
                          const std::function<void(std::uint64_t)> &progress,
                          std::uint64_t &confirmed) {
    // One buffer: the pipeline queues a WRITE only once the one before it has left.
    std::vector<std::uint8_t> &buffer = remote.upload_buffer();
    problem stopped_by;
    const auto report = remote.write_file(
        handle, start,
        [&](std::uint64_t, std::size_t most) -> std::optional<std::span<const std::uint8_t>> {
            if (interrupted()) {
                stopped_by = interruption(path);
                return std::nullopt;
            }
            if (buffer.size() < most) buffer.resize(most);
            const long got = read_full(local_fd, buffer.data(), most);
            if (got < 0) {
                stopped_by = interrupted() ? interruption(path) : local_failure(errno, local_name);
                return std::nullopt;
            }
            return std::span<const std::uint8_t>(buffer.data(), std::size_t(got));
        },
        progress);
    confirmed = report.end;
    return failure_of(remote, path, report, "writing", stopped_by);
}

} // namespace tvnclient
