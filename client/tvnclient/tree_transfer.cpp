// Walking trees: the remote one by listings, the local one with the file system library.
#include "tree_transfer.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <vector>

#include "file_transfer.h"
#include "remote_ops.h"
#include "remote_path.h"

namespace tvnclient {

namespace {

namespace fs = std::filesystem;

// Directory links the server follows could make a remote tree endless.
constexpr int deepest = 64;

// Collects the walk's problems: reports each at once, keeps the first for the exit status,
// and says whether the walk can go on.
class walk_log {
public:
    bool note(problem what) {
        if (!what) return true;
        report(what);
        if (!first_) first_ = what;
        return what.status != exit_status::connection && what.status != exit_status::interrupted;
    }
    problem result() const { return first_; }

private:
    problem first_;
};

void warn(const std::string &path, const std::string &words) {
    problem warning = make_problem(exit_status::failed, path, words);
    report(warning);
}

bool fetch_directory(session &remote, const std::string &remote_path, const std::string &local,
                     bool resume, progress_meter &meter, walk_log &log, int depth) {
    if (depth > deepest)
        return log.note(
            make_problem(exit_status::failed, remote_path, "directories nested too deep"));
    std::vector<tvn_client::listing_entry> entries;
    if (problem failed = list_directory(remote, remote_path, entries)) {
        // Listing a file answers NOT_FOUND too; at the top, say what it is.
        remote_kind kind = remote_kind::missing;
        if (depth == 0 && failed.status == exit_status::not_found &&
            !probe(remote, remote_path, kind) && kind == remote_kind::file)
            failed = make_problem(exit_status::failed, remote_path,
                                  "not a directory (without -r, get fetches a file)");
        return log.note(failed);
    }
    if (mkdir(local.c_str(), 0777) != 0) {
        struct stat status {};
        if (errno != EEXIST || stat(local.c_str(), &status) != 0 || !S_ISDIR(status.st_mode))
            return log.note(local_failure(errno == EEXIST ? ENOTDIR : errno, local));
    }
    for (const auto &entry : entries) {
        // The names become local path components: never let one climb out.
        if (entry.name == "." || entry.name == ".." || entry.name.find('/') != std::string::npos)
            continue;
        const std::string from = remote_join(remote_path, entry.name);
        const std::string to = (fs::path(local) / entry.name).string();
        const bool go_on = entry.is_dir
                               ? fetch_directory(remote, from, to, resume, meter, log, depth + 1)
                               : log.note(download_file(remote, from, to, resume, meter));
        if (!go_on) return false;
    }
    return true;
}

// Creates the remote directory unless it is there already.
problem ensure_remote_directory(session &remote, const std::string &path) {
    problem made = make_remote_directory(remote, path);
    if (!made || made.status == exit_status::connection) return explain_denial(remote, made);
    remote_kind kind = remote_kind::missing;
    if (problem failed = probe(remote, path, kind)) return failed;
    if (kind == remote_kind::directory) return {};
    if (kind == remote_kind::file)
        return make_problem(exit_status::failed, path, "already exists and is not a directory");
    return explain_denial(remote, made);
}

bool send_directory(session &remote, const std::string &local, const std::string &remote_path,
                    const upload_plan &plan, progress_meter &meter, walk_log &log, int depth) {
    if (depth > deepest)
        return log.note(make_problem(exit_status::failed, local, "directories nested too deep"));
    if (problem failed = ensure_remote_directory(remote, remote_path)) return log.note(failed);
    std::error_code error;
    std::vector<fs::directory_entry> entries;
    for (fs::directory_iterator it(local, error), end; !error && it != end; it.increment(error))
        entries.push_back(*it);
    if (error) return log.note(local_failure(error.value(), local));
    std::sort(entries.begin(), entries.end());
    for (const auto &entry : entries) {
        const std::string from = entry.path().string();
        const std::string to = remote_join(remote_path, entry.path().filename().string());
        const bool link = entry.is_symlink(error);
        const fs::file_status target = entry.status(error);
        bool go_on = true;
        if (fs::is_directory(target) && link) {
            warn(from, "skipped: a symbolic link to a directory");
        } else if (fs::is_directory(target)) {
            go_on = send_directory(remote, from, to, plan, meter, log, depth + 1);
        } else if (fs::is_regular_file(target)) {
            go_on = log.note(upload_file(remote, from, to, plan, meter));
        } else {
            warn(from, "skipped: not a regular file or directory");
        }
        if (!go_on) return false;
    }
    return true;
}

} // namespace

problem download_tree(session &remote, const std::string &remote_path, const std::string &local,
                      bool resume, progress_meter &meter) {
    walk_log log;
    fetch_directory(remote, remote_path, local, resume, meter, log, 0);
    return log.result();
}

problem upload_tree(session &remote, const std::string &local, const std::string &remote_path,
                    const upload_plan &plan, progress_meter &meter) {
    walk_log log;
    send_directory(remote, local, remote_path, plan, meter, log, 0);
    return log.result();
}

} // namespace tvnclient
