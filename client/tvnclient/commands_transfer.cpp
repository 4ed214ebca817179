// The commands that move file data: get, put and cat.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "commands.h"
#include "file_transfer.h"
#include "interrupt.h"
#include "remote_ops.h"
#include "remote_path.h"
#include "tree_transfer.h"

namespace tvnclient {

namespace {

namespace fs = std::filesystem;

bool is_local_directory(const std::string &path) {
    struct stat status {};
    return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// The name a local file or directory keeps on the server: "dir/" and "." name a directory
// too.
std::string local_base_name(const std::string &path) {
    std::error_code error;
    fs::path whole = fs::absolute(path, error).lexically_normal();
    if (whole.filename().empty()) whole = whole.parent_path();
    return whole.filename().string();
}

} // namespace

problem run_get(command_context &context, const command_line &line) {
    const std::string remote = resolve_remote(context.cwd, line.operands[0]);
    const std::string name = remote_base_name(remote);
    std::string local = line.operands.size() > 1 ? line.operands[1] : ".";
    if (is_local_directory(local) || local.ends_with('/')) {
        if (name.empty()) return usage_error("get: give the local directory a name for /");
        local = local == "." ? name : (fs::path(local) / name).string();
    }
    const bool resume = line.has("-c") || line.has("--continue");
    progress_meter meter(!context.quiet);
    if (line.has("-r")) return download_tree(context.remote, remote, local, resume, meter);
    return download_file(context.remote, remote, local, resume, meter);
}

problem run_put(command_context &context, const command_line &line) {
    const std::string &local = line.operands[0];
    const std::string name = local_base_name(local);
    std::string remote;
    if (line.operands.size() < 2) {
        remote = remote_join(context.cwd, name);
    } else {
        const std::string &typed = line.operands[1];
        remote = resolve_remote(context.cwd, typed);
        problem failure;
        if (names_a_directory(typed) || is_remote_directory(context.remote, remote, failure))
            remote = remote_join(remote, name);
        if (failure) return failure;
    }
    upload_plan plan;
    plan.resume = line.has("-c") || line.has("--continue");
    plan.in_shell = context.in_shell;
    const bool tree = line.has("-r");
    // A tree that kept its name resumes by the same command; one put under another name
    // would go inside the directory it became, so its files resume one by one.
    if (tree && remote_base_name(remote) == name)
        plan.resume_command =
            resume_command(context.in_shell, true, local, resolve_remote(remote, ".."));
    progress_meter meter(!context.quiet);
    if (tree) return upload_tree(context.remote, local, remote, plan, meter);
    return upload_file(context.remote, local, remote, plan, meter);
}

problem run_cat(command_context &context, const command_line &line) {
    problem first;
    for (const std::string &typed : line.operands) {
        std::fflush(stdout);
        problem failed =
            print_remote_file(context.remote, resolve_remote(context.cwd, typed), STDOUT_FILENO);
        if (!failed) continue;
        report(failed);
        if (!first) first = failed;
        if (failed.status == exit_status::connection || interrupted()) break;
    }
    return first;
}

} // namespace tvnclient
