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
#include "remote_stream.h"
#include "tolvane/byte_order.h"

namespace tvnclient {

namespace {

using tvn_wire::put_le32;

constexpr std::uint64_t largest_file = INT32_MAX;

problem interruption(const std::string &path) {
    return make_problem(exit_status::interrupted, path, "interrupted");
}

// Patches the position of a READ, WRITE or COPYFILE request: each is built once per file
// and only its numbers change from chunk to chunk.
void set_position(std::uint8_t *request, std::uint64_t position) {
    put_le32(request + TVN_FIXED_HEADER + TVN_RW_OFF_POSITION,
             static_cast<std::uint32_t>(position));
}

// A READ on a directory's handle is refused; say what it really is (cat has no -r to offer).
problem explain_read_refusal(session &remote, const std::string &path, problem refused,
                             const char *words = "is a directory (use -r for a whole tree)") {
    problem failure;
    if (refused.status == exit_status::denied && is_remote_directory(remote, path, failure))
        return make_problem(exit_status::failed, path, words);
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

// Opens (creates, empties) the part a server copy writes; a refusal names the final path,
// the one the user asked for.
problem open_remote_part(session &remote, const std::string &partial, const std::string &final_path,
                         std::uint32_t &handle) {
    std::uint32_t ignored_size = 0;
    const std::uint32_t mode = tvn_client::open_mode::write_only | tvn_client::open_mode::create |
                               tvn_client::open_mode::truncate_file;
    problem failed = open_remote(remote, partial, mode, handle, ignored_size);
    if (failed.subject == partial) failed.subject = final_path;
    return explain_denial(remote, failed);
}

// The end of a server copy: the part becomes the file when all went well, and is removed
// again otherwise.
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
    std::uint64_t received = start, position = start;
    problem failed = read_remote_file(
        remote, remote_path, handle.get(), start, size,
        [&](std::span<const std::uint8_t> data) -> problem {
            if (!write_all(out.get(), data.data(), data.size()))
                return local_failure(errno, partial);
            received += data.size();
            meter.update(received);
            return {};
        },
        position);
    if (!failed && position < size) {
        // Nothing to resume: the file that was there is gone.
        meter.finish(false);
        unlink(partial.c_str());
        return shrank(remote_path, position, size);
    }
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

problem print_remote_file(session &remote, const std::string &remote_path, int fd) {
    std::uint32_t handle_number = 0, size = 0;
    if (problem failed =
            open_remote(remote, remote_path, tvn_client::open_mode::read_only, handle_number, size))
        return failed;
    remote_handle handle(remote, handle_number, remote_path);
    std::uint64_t end = 0;
    problem failed = read_remote_file(
        remote, remote_path, handle.get(), 0, size,
        [&](std::span<const std::uint8_t> data) -> problem {
            if (!write_all(fd, data.data(), data.size()))
                return local_failure(errno, "standard output");
            return {};
        },
        end);
    if (failed && end == 0)
        return explain_read_refusal(remote, remote_path, failed, "is a directory");
    if (!failed && end < size) return shrank(remote_path, end, size);
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
