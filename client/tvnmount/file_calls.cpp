// OPEN, READ, WRITE and CLOSE, with the handle opened again after a new login.
#include "file_calls.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "errno_map.h"
#include "tolvane/packet.h"
#include "tolvane/protocol.h"

namespace tvnmount {

namespace {

using clock = std::chrono::steady_clock;
// The handle named no open file of the session: open the file again and repeat.
constexpr int handle_gone = -1;

constexpr std::uint32_t access_bits = TVN_OPEN_READ | TVN_OPEN_WRITE | TVN_OPEN_READ_WRITE;

// OPEN on a held session: the handle and size, or an errno (connection_lost included).
int open_on(session_lease &lease, const std::string &path, std::uint32_t mode,
            std::uint32_t &handle, std::uint32_t &size) {
    if (const int failed = lease.exchange(tvn_client::open_request(path, mode))) return failed;
    if (lease.status() != OK) return errno_of(lease.status(), remote_call::open);
    const auto number = lease.answer().param_u32(4);
    if (!number || *number == 0) return EIO;
    handle = *number;
    size = lease.answer().param_u32(8).value_or(0);
    return 0;
}

// The handle a session holds for the file: its home handle on its home session, a handle
// for reading on any other.
slot_handle &handle_on(open_file &file, std::size_t index) {
    return index == file.home ? file.home_handle : file.read_handles[index];
}

// Opens the file again by its present path, without create, exclusive or truncate (what it
// held is kept): with its own access on its home session, for reading on another.
int reopen(session_lease &lease, const open_file_registry &registry, open_file &file,
           slot_handle &held) {
    std::uint32_t handle = 0, size = 0;
    const std::uint32_t mode = lease.index() == file.home ? file.access : TVN_OPEN_READ;
    const int failed = open_on(lease, registry.path_of(file), mode, handle, size);
    // The file is gone from its path (removed elsewhere): its handle is stale.
    if (failed == ENOENT) return ESTALE;
    if (failed != 0) return failed;
    held.handle = handle;
    held.generation = lease.generation();
    return 0;
}

// Runs `request` with the handle the session that `take` gives holds for the file: 0, an
// errno, or handle_gone, connection_lost from the request, on which the handle is opened
// again and the request repeated once (unless the failure took the whole time-out: the
// server is not answering). A handle is used only by the holder of its session.
template <typename Take, typename Request>
int with_handle_from(const open_file_registry &registry, open_file &file, Take take,
                     Request request) {
    for (int attempt = 1;; ++attempt) {
        const auto started = clock::now();
        session_lease lease = take();
        if (!lease.held()) return EIO;
        if (const int failed = lease.ready()) return failed;
        slot_handle &held = handle_on(file, lease.index());
        int result = 0;
        if (held.handle == 0 || held.generation != lease.generation())
            result = reopen(lease, registry, file, held);
        if (result == 0) result = request(lease, held.handle);
        if (result != connection_lost && result != handle_gone) return result;
        held.handle = 0;
        if (attempt == 2) return EIO;
        if (result == connection_lost && clock::now() - started >= lease.timeout()) return EIO;
    }
}

// The same on the file's home session.
template <typename Request>
int with_handle(session_pool &pool, const open_file_registry &registry, open_file &file,
                Request request) {
    return with_handle_from(
        registry, file, [&] { return pool.slot(file.home); }, request);
}

int status_errno(const session_lease &lease, remote_call call) {
    if (lease.status() == INVALID_HANDLE) return handle_gone;
    return errno_of(lease.status(), call);
}

// The result of a pipelined transfer that reached the server.
int transfer_errno(const tvn_client::transfer_report &report, remote_call call) {
    using tvn_client::transfer_outcome;
    switch (report.outcome) {
    case transfer_outcome::complete: return 0;
    case transfer_outcome::refused:
        return report.status == INVALID_HANDLE ? handle_gone : errno_of(report.status, call);
    case transfer_outcome::short_write: return ENOSPC;
    case transfer_outcome::out_of_range: return EFBIG;
    default: return EIO;
    }
}

} // namespace

int open_on_new_home(session_pool &pool, const std::string &path, std::uint32_t mode,
                     std::size_t write_back_size, std::shared_ptr<open_file> &opened,
                     std::uint32_t &size) {
    session_lease lease = pool.new_home();
    if (!lease.held()) return EIO;
    std::uint32_t handle = 0;
    int failed = open_on(lease, path, mode, handle, size);
    // An exclusive create may have been done before the connection failed; repeating it
    // would answer EEXIST for the file it made itself.
    if (failed == connection_lost && (mode & TVN_OPEN_EXCLUSIVE) == 0)
        failed = open_on(lease, path, mode, handle, size);
    if (failed != 0) {
        pool.leave_home(lease.index());
        return failed == connection_lost ? EIO : failed;
    }
    opened = std::make_shared<open_file>(path, mode & access_bits, lease.index(), write_back_size);
    opened->home_handle = {lease.generation(), handle};
    return 0;
}

namespace {

// A read larger than one READ carries (the kernel asks up to 1 MiB with a wide read-ahead
// window): its READs go out together, and their answers are read from the socket straight
// into the kernel's buffer.
int read_pipelined_into(session_pool &pool, const open_file_registry &registry, open_file &file,
                        std::uint64_t offset, std::span<std::uint8_t> into, std::size_t &got) {
    const auto take = [&] { return pool.home_or_other(file.home); };
    return with_handle_from(registry, file, take, [&](session_lease &lease, std::uint32_t handle) {
        got = 0; // a repeat starts afresh
        tvn_client::read_range range;
        range.start = offset;
        range.limit = std::min<std::uint64_t>(offset + into.size(), position_limit);
        range.expected_size = file.known_size;
        range.into = into;
        tvn_client::transfer_report report;
        const int failed = lease.read_pipelined(
            handle, range,
            [&](std::span<const std::uint8_t> data) {
                const std::size_t taken = std::min(data.size(), into.size() - got);
                if (data.data() != into.data() + got) // landed elsewhere: a short answer
                    std::memcpy(into.data() + got, data.data(), taken);
                got += taken;
                return true;
            },
            report);
        if (failed != 0) return failed;
        return transfer_errno(report, remote_call::read);
    });
}

} // namespace

int read_file(session_pool &pool, const open_file_registry &registry, open_file &file,
              std::uint64_t offset, std::span<std::uint8_t> into, std::size_t &got) {
    got = 0;
    if (offset >= position_limit) return into.empty() ? 0 : EOVERFLOW;
    if (into.size() > chunk_size)
        return read_pipelined_into(pool, registry, file, offset, into, got);
    while (got < into.size() && offset + got < position_limit) {
        const std::size_t wanted = std::min<std::uint64_t>(
            {into.size() - got, chunk_size, position_limit - (offset + got)});
        std::size_t received = 0;
        // Reads that the kernel sends side by side go over several sessions at once.
        const auto take = [&] { return pool.home_or_other(file.home); };
        const int failed =
            with_handle_from(registry, file, take, [&](session_lease &lease, std::uint32_t handle) {
                const auto request = tvn_client::read_request(handle, std::int32_t(offset + got),
                                                              std::int32_t(wanted));
                if (const int lost = lease.exchange(request)) return lost;
                if (lease.status() != OK) return status_errno(lease, remote_call::read);
                const auto body = lease.answer().body();
                received = std::min(body.size(), wanted);
                std::memcpy(into.data() + got, body.data(), received);
                return 0;
            });
        if (failed != 0) return failed;
        got += received;
        if (received < wanted) break; // the end of the file
    }
    return 0;
}

int read_ahead(session_pool &pool, const open_file_registry &registry, open_file &file,
               std::uint64_t start, std::uint64_t limit, std::vector<std::uint8_t> &into,
               bool &reached_end) {
    if (start >= position_limit) return EOVERFLOW;
    limit = std::min(limit, position_limit);
    return with_handle(pool, registry, file, [&](session_lease &lease, std::uint32_t handle) {
        into.clear();
        tvn_client::read_range range;
        range.start = start;
        range.limit = limit;
        range.expected_size = file.known_size;
        tvn_client::transfer_report report;
        const int failed = lease.read_pipelined(
            handle, range,
            [&into](std::span<const std::uint8_t> data) {
                into.insert(into.end(), data.begin(), data.end());
                return true;
            },
            report);
        if (failed != 0) return failed;
        if (const int refused = transfer_errno(report, remote_call::read)) return refused;
        reached_end = start + into.size() < limit;
        return 0;
    });
}

namespace {

// One WRITE of at most chunk_size bytes.
int write_once(session_pool &pool, const open_file_registry &registry, open_file &file,
               std::uint64_t offset, std::span<const std::uint8_t> piece) {
    return with_handle(pool, registry, file, [&](session_lease &lease, std::uint32_t handle) {
        const auto request = tvn_client::write_request(handle, std::int32_t(offset), piece);
        if (const int lost = lease.exchange(request)) return lost;
        if (lease.status() != OK) return status_errno(lease, remote_call::write);
        // Fewer bytes written than sent: the host ran out of room.
        if (lease.answer().param_u32(4).value_or(0) != piece.size()) return ENOSPC;
        return 0;
    });
}

} // namespace

int write_file(session_pool &pool, const open_file_registry &registry, open_file &file,
               std::uint64_t offset, std::span<const std::uint8_t> data) {
    if (offset + data.size() > position_limit) return EFBIG;
    if (data.size() <= chunk_size) return write_once(pool, registry, file, offset, data);
    // Longer ranges leave as full-size WRITEs sent without waiting for each answer; a repeat
    // after a new login writes the whole range again, which changes nothing already written.
    return with_handle(pool, registry, file, [&](session_lease &lease, std::uint32_t handle) {
        tvn_client::transfer_report report;
        const int failed = lease.write_pipelined(
            handle, offset,
            [&](std::uint64_t at,
                std::size_t most) -> std::optional<std::span<const std::uint8_t>> {
                const std::size_t from = std::size_t(at - offset);
                return data.subspan(from, std::min(most, data.size() - from));
            },
            report);
        return failed != 0 ? failed : transfer_errno(report, remote_call::write);
    });
}

int write_pending(session_pool &pool, const open_file_registry &registry, open_file &file) {
    if (file.pending.empty()) return 0;
    const int failed = write_file(pool, registry, file, file.pending.start(), file.pending.data());
    file.pending.clear();
    return failed;
}

int truncate_file(session_pool &pool, const open_file_registry &registry, open_file &file,
                  std::uint64_t size) {
    if (size >= position_limit) return EFBIG;
    return with_handle(pool, registry, file, [&](session_lease &lease, std::uint32_t handle) {
        const auto request = tvn_client::write_request(handle, std::int32_t(size), {});
        if (const int lost = lease.exchange(request)) return lost;
        if (lease.status() != OK) return status_errno(lease, remote_call::write);
        return 0;
    });
}

int close_file(session_pool &pool, open_file &file) {
    int result = 0;
    for (std::size_t index = 0; index < pool.size(); ++index) {
        slot_handle &held = handle_on(file, index);
        if (held.handle == 0) continue;
        session_lease lease = pool.slot(index);
        if (!lease.held()) return EIO;
        // A handle of an earlier login closed with its connection.
        if (held.generation == lease.generation()) {
            const int failed = lease.exchange(tvn_client::close_request(held.handle));
            if (failed != 0 && failed != connection_lost && result == 0) result = failed;
            if (failed == 0 && lease.status() != OK && result == 0)
                result = errno_of(lease.status(), remote_call::close);
        }
        held.handle = 0;
    }
    return result;
}

int cut_path(session_pool &pool, const std::string &path, std::optional<std::uint64_t> size) {
    if (size && *size >= position_limit) return EFBIG;
    const bool to_zero = size && *size == 0;
    session_lease lease = pool.any();
    if (!lease.held()) return EIO;
    std::uint32_t handle = 0, current = 0;
    const std::uint32_t mode = TVN_OPEN_WRITE | (to_zero ? TVN_OPEN_TRUNCATE : 0);
    if (const int failed = open_on(lease, path, mode, handle, current))
        return failed == connection_lost ? EIO : failed;
    int result = 0;
    if (!to_zero) {
        const std::uint64_t at = size.value_or(current);
        if (const int lost =
                lease.exchange(tvn_client::write_request(handle, std::int32_t(at), {})))
            return lost == connection_lost ? EIO : lost;
        if (lease.status() != OK) result = errno_of(lease.status(), remote_call::write);
    }
    if (const int lost = lease.exchange(tvn_client::close_request(handle)))
        return lost == connection_lost ? EIO : lost;
    if (result == 0 && lease.status() != OK) result = errno_of(lease.status(), remote_call::close);
    return result;
}

} // namespace tvnmount
