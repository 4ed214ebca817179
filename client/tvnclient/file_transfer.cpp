// One file at a time. Positions on the wire are signed 32-bit numbers, so no file past
// 2 GiB can be addressed; that limit is checked rather than wrapped.
#include "file_transfer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "interrupt.h"
#include "local_file.h"
#include "remote_ops.h"
#include "remote_path.h"
#include "tolvane/byte_order.h"

namespace tvnclient {

namespace {

using tvn_wire::put_le32;

constexpr std::uint64_t largest_file = INT32_MAX;
constexpr std::size_t rw_header = TVN_RW_HEADER;

problem too_large(const std::string &path) {
    return make_problem(exit_status::failed, path,
                        "larger than 2 GiB, which the protocol cannot address");
}

problem interruption(const std::string &path) {
    return make_problem(exit_status::interrupted, path, "interrupted");
}

// Patches the position of a READ, WRITE or COPYFILE request: each is built once per file
// and only its numbers change from chunk to chunk.
void set_position(std::uint8_t *request, std::uint64_t position) {
    put_le32(request + TVN_FIXED_HEADER + TVN_RW_OFF_POSITION,
             static_cast<std::uint32_t>(position));
}

// A READ on a directory's handle is refused; say what it really is.
problem explain_read_refusal(session &remote, const std::string &path, problem refused) {
    problem failure;
    if (refused.status == exit_status::denied && is_remote_directory(remote, path, failure))
        return make_problem(exit_status::failed, path, "is a directory (use -r for a whole tree)");
    return refused;
}

// Where a resumed download starts. `complete` when the final file is already whole.
problem resume_point(const std::string &local, const std::string &partial, std::uint32_t size,
                     std::uint64_t &start, bool &complete) {
    struct stat status {};
    if (stat(partial.c_str(), &status) == 0 && S_ISREG(status.st_mode)) {
        start = static_cast<std::uint64_t>(status.st_size);
    } else if (stat(local.c_str(), &status) == 0 && S_ISREG(status.st_mode)) {
        start = static_cast<std::uint64_t>(status.st_size);
        if (start == size) {
            complete = true;
            return {};
        }
        // Continued under the partial name, so that the final name only ever holds a
        // whole file again.
        if (start < size && rename(local.c_str(), partial.c_str()) != 0)
            return local_failure(errno, local);
    }
    if (start > size && size > 0)
        return make_problem(exit_status::failed, local,
                            "the local copy is longer than the remote file; cannot continue");
    return {};
}

// The replaced file's mode (and owner, for root) go to its replacement.
void keep_identity(int fd, const std::string &replaced) {
    struct stat status {};
    if (stat(replaced.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return;
    if (fchmod(fd, status.st_mode & 07777) != 0) return;
    if (geteuid() == 0 && fchown(fd, status.st_uid, status.st_gid) != 0) return;
}

// Reads the remote file from `position` and hands every chunk to `sink` until the end.
template <typename sink_fn>
problem read_remote(session &remote, const std::string &path, std::uint32_t handle,
                    std::uint64_t position, std::uint32_t size, sink_fn &&sink) {
    tvn_client::bytes request = tvn_client::read_request(handle, 0, chunk_size).build();
    for (;;) {
        if (interrupted()) return interruption(path);
        if (position > largest_file) return too_large(path);
        set_position(request.data(), position);
        if (problem failed = remote.exchange(request, path)) return failed;
        if (remote.status() != OK) return remote_refusal(remote.status(), path);
        const auto data = remote.answer().body();
        if (data.size() > chunk_size)
            return make_problem(exit_status::connection, path, "invalid answer from the server");
        if (problem failed = sink(data)) return failed;
        position += data.size();
        // A short read ends a file of known size; one whose size the server could not
        // tell ends at the first empty read.
        if (data.empty() || (data.size() < chunk_size && position >= size && size > 0)) return {};
    }
}

// Opens (creates, empties) the part an upload or a server copy writes; a refusal names the
// final path, the one the user asked for.
problem open_remote_part(session &remote, const std::string &partial, const std::string &final_path,
                         std::uint32_t &handle) {
    std::uint32_t ignored_size = 0;
    const std::uint32_t mode = tvn_client::open_mode::write_only | tvn_client::open_mode::create |
                               tvn_client::open_mode::truncate_file;
    problem failed = open_remote(remote, partial, mode, handle, ignored_size);
    if (failed.subject == partial) failed.subject = final_path;
    return explain_denial(remote, failed);
}

// The end of an upload or a server copy: the part becomes the file when all went well, and
// is removed again otherwise.
problem settle_remote_part(session &remote, remote_handle &handle, const std::string &partial,
                           const std::string &final_path, problem failed, progress_meter &meter) {
    if (!failed) failed = handle.close();
    if (!failed) failed = rename_remote(remote, partial, final_path);
    if (!failed) {
        meter.finish(true);
        return {};
    }
    meter.finish(false);
    handle.close();
    if (remote.is_open()) delete_remote(remote, partial);
    if (failed.subject == partial) failed.subject = final_path;
    return explain_denial(remote, failed);
}

} // namespace

problem download_file(session &remote, const std::string &remote_path, const std::string &local,
                      bool resume, progress_meter &meter) {
    std::uint32_t handle_number = 0, size = 0;
    if (problem failed =
            open_remote(remote, remote_path, tvn_client::open_mode::read_only, handle_number, size))
        return failed;
    remote_handle handle(remote, handle_number, remote_path);
    if (size > largest_file) return too_large(remote_path);
    const std::string partial = local + std::string(partial_suffix);
    std::uint64_t start = 0;
    bool complete = false;
    if (resume) {
        if (problem failed = resume_point(local, partial, size, start, complete)) return failed;
        if (complete) return {};
    }
    unique_fd out(
        open(partial.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (start > 0 ? 0 : O_TRUNC), 0666));
    if (!out) return local_failure(errno, partial);
    if (lseek(out.get(), static_cast<off_t>(start), SEEK_SET) < 0)
        return local_failure(errno, partial);

    meter.start(remote_base_name(remote_path), size, start);
    std::uint64_t position = start;
    problem failed = read_remote(remote, remote_path, handle.get(), start, size,
                                 [&](std::span<const std::uint8_t> data) -> problem {
                                     if (!write_all(out.get(), data.data(), data.size()))
                                         return local_failure(errno, partial);
                                     position += data.size();
                                     meter.update(position);
                                     return {};
                                 });
    if (!failed) {
        handle.close(); // the data are all here; a refused close changes nothing
        keep_identity(out.get(), local);
        if (!out.close_checked())
            failed = local_failure(errno, partial);
        else if (rename(partial.c_str(), local.c_str()) != 0)
            failed = local_failure(errno, local);
    }
    if (!failed) {
        meter.finish(true);
        return {};
    }
    meter.finish(false);
    if (position == 0) {
        // Nothing arrived: no partial file is worth keeping.
        unlink(partial.c_str());
        return explain_read_refusal(remote, remote_path, failed);
    }
    failed.words += "; the part received is kept in " + partial + " (get --continue resumes it)";
    return failed;
}

problem upload_file(session &remote, const std::string &local, const std::string &remote_path,
                    progress_meter &meter) {
    unique_fd in(open(local.c_str(), O_RDONLY | O_CLOEXEC));
    if (!in) return local_failure(errno, local);
    struct stat status {};
    if (fstat(in.get(), &status) != 0) return local_failure(errno, local);
    if (S_ISDIR(status.st_mode))
        return make_problem(exit_status::local, local, "is a directory (use -r for a whole tree)");
    const bool sized = S_ISREG(status.st_mode);
    const std::uint64_t size = sized ? static_cast<std::uint64_t>(status.st_size) : 0;
    if (size > largest_file) return too_large(local);

    const std::string partial = remote_path + std::string(partial_suffix);
    std::uint32_t handle_number = 0;
    if (problem failed = open_remote_part(remote, partial, remote_path, handle_number))
        return failed;
    remote_handle handle(remote, handle_number, remote_path);

    // One buffer for every chunk: the 32-byte WRITE header, then the data read into place.
    std::vector<std::uint8_t> &request = remote.upload_buffer();
    request.resize(rw_header + chunk_size);
    const tvn_client::bytes header = tvn_client::packet_builder(WRITE)
                                         .put_u32(0)
                                         .put_u32(handle.get())
                                         .put_i32(0)
                                         .put_i32(0)
                                         .build();
    std::copy(header.begin(), header.end(), request.begin());

    meter.start(remote_base_name(remote_path), size, 0);
    std::uint64_t position = 0;
    problem failed;
    for (;;) {
        if (interrupted()) {
            failed = interruption(remote_path);
            break;
        }
        const long got = read_full(in.get(), request.data() + rw_header, chunk_size);
        if (got < 0) {
            failed = interrupted() ? interruption(remote_path) : local_failure(errno, local);
            break;
        }
        if (got == 0) break;
        const auto count = static_cast<std::uint32_t>(got);
        if (position + count > largest_file) {
            failed = too_large(local);
            break;
        }
        set_position(request.data(), position);
        put_le32(&request[TVN_FIXED_HEADER + TVN_RW_OFF_LENGTH], count);
        put_le32(&request[TVN_OFF_BODY_LENGTH], count);
        failed = remote.exchange(std::span(request.data(), rw_header + count), remote_path);
        if (failed) break;
        if (remote.status() != OK) {
            failed = remote_refusal(remote.status(), remote_path);
            break;
        }
        const std::uint32_t written = remote.answer().param_u32(4).value_or(0);
        if (written != count) {
            failed = make_problem(exit_status::failed, remote_path,
                                  "the server wrote " + std::to_string(written) + " of " +
                                      std::to_string(count) + " bytes");
            break;
        }
        position += count;
        meter.update(position);
        if (count < chunk_size) break;
    }
    return settle_remote_part(remote, handle, partial, remote_path, failed, meter);
}

problem print_remote_file(session &remote, const std::string &remote_path, int fd) {
    std::uint32_t handle_number = 0, size = 0;
    if (problem failed =
            open_remote(remote, remote_path, tvn_client::open_mode::read_only, handle_number, size))
        return failed;
    remote_handle handle(remote, handle_number, remote_path);
    bool written = false;
    problem failed = read_remote(remote, remote_path, handle.get(), 0, size,
                                 [&](std::span<const std::uint8_t> data) -> problem {
                                     if (!write_all(fd, data.data(), data.size()))
                                         return local_failure(errno, "standard output");
                                     written = written || !data.empty();
                                     return {};
                                 });
    if (failed && !written) return explain_read_refusal(remote, remote_path, failed);
    return failed;
}

problem copy_on_server(session &remote, const std::string &from, const std::string &to,
                       progress_meter &meter) {
    // The source is checked before the destination is touched: a missing source must not
    // leave an empty destination behind.
    std::uint32_t source_handle = 0, size = 0;
    if (problem failed =
            open_remote(remote, from, tvn_client::open_mode::read_only, source_handle, size))
        return failed;
    if (problem failed = close_remote(remote, source_handle, from)) return failed;
    if (size > largest_file) return too_large(from);
    problem failure;
    if (is_remote_directory(remote, from, failure))
        return make_problem(exit_status::failed, from, "is a directory");
    if (failure) return failure;

    const std::string partial = to + std::string(partial_suffix);
    std::uint32_t handle_number = 0;
    if (problem failed = open_remote_part(remote, partial, to, handle_number)) return failed;
    remote_handle handle(remote, handle_number, to);
    tvn_client::bytes request =
        tvn_client::copyfile_request(handle.get(), 0, chunk_size, from).build();
    meter.start(remote_base_name(to), size, 0);
    std::uint64_t position = 0;
    problem failed;
    for (;;) {
        if (interrupted()) {
            failed = interruption(to);
            break;
        }
        if (position > largest_file) {
            failed = too_large(from);
            break;
        }
        set_position(request.data(), position);
        if ((failed = remote.exchange(request, from))) break;
        if (remote.status() != OK) {
            failed = remote_refusal(remote.status(), remote.status() == INVALID_HANDLE ? to : from);
            break;
        }
        const std::uint32_t copied = remote.answer().param_u32(4).value_or(0);
        position += copied;
        meter.update(position);
        if (copied < chunk_size) break;
    }
    return settle_remote_part(remote, handle, partial, to, failed, meter);
}

} // namespace tvnclient
