// Sending one file. The data go to REMOTE.tvnpart, renamed to REMOTE once the server has
// confirmed every byte; an upload that stops on the way keeps the part, cut to what the server
// confirmed, and put --continue resumes it from the part's size.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <optional>

#include "file_transfer.h"
#include "local_file.h"
#include "remote_ops.h"
#include "remote_path.h"
#include "remote_stream.h"

namespace tvnclient {

namespace {

constexpr std::uint64_t largest_file = INT32_MAX;

// The size of a remote file, when it can be opened for reading.
std::optional<std::uint32_t> remote_size_of(session &remote, const std::string &path) {
    std::uint32_t handle = 0, size = 0;
    if (open_remote(remote, path, tvn_client::open_mode::read_only, handle, size))
        return std::nullopt;
    close_remote(remote, handle, path);
    return size;
}

// A word as a shell takes it back unchanged.
std::string shell_word(const std::string &word) {
    const bool plain = !word.empty() && word.find_first_not_of(
                                            "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                            "0123456789_./:@%+=,-") == std::string::npos;
    if (plain) return word;
    if (word.find('\'') == std::string::npos) return "'" + word + "'";
    std::string quoted = "\"";
    for (char c : word) {
        if (c == '"' || c == '\\' || c == '$' || c == '`') quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}

// Where the upload starts: 0, or with --continue the size of a part already on the server.
// `complete` when, without a part, the remote file is as long as the local one already.
problem start_point(session &remote, const std::string &partial, const std::string &remote_path,
                    std::uint64_t size, bool resume, std::uint32_t &handle, std::uint64_t &start,
                    bool &complete) {
    bool continue_part = false;
    if (resume) {
        continue_part = remote_size_of(remote, partial).has_value();
        if (!continue_part && remote_size_of(remote, remote_path) == size) {
            complete = true;
            return {};
        }
    }
    std::uint32_t mode = tvn_client::open_mode::write_only | tvn_client::open_mode::create;
    if (!continue_part) mode |= tvn_client::open_mode::truncate_file;
    std::uint32_t part_size = 0;
    problem failed = open_remote(remote, partial, mode, handle, part_size);
    if (failed.subject == partial) failed.subject = remote_path;
    if (failed) return explain_denial(remote, failed);
    start = continue_part ? part_size : 0;
    if (start > size) {
        close_remote(remote, handle, partial);
        return make_problem(exit_status::failed, remote_path,
                            "the partial upload on the server is longer than the local file; "
                            "cannot continue");
    }
    return {};
}

// After a failed upload: the part keeps what the server confirmed (WRITEs in flight behind a
// refused one may have written past it), or goes when it holds nothing.
problem keep_or_remove_part(session &remote, remote_handle &handle, const std::string &partial,
                            std::uint64_t confirmed, const std::string &resume_command,
                            problem failed) {
    // A lost connection leaves the part as the server wrote it.
    const bool keep = confirmed > 0 || !remote.is_open();
    if (remote.is_open() && keep)
        remote.exchange(tvn_client::write_request(handle.get(),
                                                  static_cast<std::int32_t>(confirmed), {}),
                        partial);
    handle.close();
    if (remote.is_open() && !keep) delete_remote(remote, partial);
    if (keep)
        failed.words += "; partial upload kept as " + partial + "; resume with: " + resume_command;
    return failed;
}

} // namespace

problem upload_file(session &remote, const std::string &local, const std::string &remote_path,
                    const upload_plan &plan, progress_meter &meter) {
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
    std::uint64_t start = 0;
    bool complete = false;
    if (problem failed = start_point(remote, partial, remote_path, size, plan.resume,
                                     handle_number, start, complete))
        return failed;
    if (complete) return {};
    remote_handle handle(remote, handle_number, remote_path);
    if (start > 0 && lseek(in.get(), static_cast<off_t>(start), SEEK_SET) < 0)
        return local_failure(errno, local);

    meter.start(remote_base_name(remote_path), size, start);
    std::uint64_t confirmed = start;
    problem failed = write_remote_file(
        remote, remote_path, handle.get(), start, in.get(), local,
        [&](std::uint64_t end) { meter.update(end); }, confirmed);
    if (failed) {
        meter.finish(false);
        const std::string command = !plan.resume_command.empty()
                                        ? plan.resume_command
                                        : resume_command(plan.in_shell, false, local, remote_path);
        return keep_or_remove_part(remote, handle, partial, confirmed, command,
                                   explain_denial(remote, failed));
    }
    // Whole on the server: the part becomes the file. A refused close may mean lost data,
    // a refused rename a name the part cannot take; either way the part goes.
    failed = handle.close();
    if (!failed) failed = rename_remote(remote, partial, remote_path);
    meter.finish(!failed);
    if (!failed) return {};
    if (remote.is_open()) delete_remote(remote, partial);
    if (failed.subject == partial) failed.subject = remote_path;
    return explain_denial(remote, failed);
}

std::string resume_command(bool in_shell, bool tree, const std::string &local,
                           const std::string &remote) {
    return std::string(in_shell ? "" : "tvnclient ") + "put " + (tree ? "-r " : "") +
           "--continue " + shell_word(local) + " " + shell_word(remote);
}

} // namespace tvnclient
