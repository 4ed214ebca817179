// The shell's own commands: working directories, help and exit.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "commands.h"
#include "remote_ops.h"
#include "remote_path.h"
#include "tolvane/protocol.h"

namespace tvnclient {

problem run_cd(command_context &context, const command_line &line) {
    const std::string path =
        resolve_remote(context.cwd, line.operands.empty() ? "/" : line.operands.front());
    remote_kind kind = remote_kind::directory;
    if (path != "/") {
        if (problem failed = probe(context.remote, path, kind)) return failed;
        if (kind == remote_kind::missing) return remote_refusal(NOT_FOUND, path);
        if (kind == remote_kind::file)
            return make_problem(exit_status::failed, path, "not a directory");
    }
    context.cwd = path;
    return {};
}

problem run_pwd(command_context &context, const command_line &) {
    std::printf("%s\n", printable(context.cwd).c_str());
    return {};
}

problem run_lcd(command_context &, const command_line &line) {
    const char *home = std::getenv("HOME");
    const std::string dir =
        line.operands.empty() ? (home != nullptr ? home : "/") : line.operands.front();
    if (chdir(dir.c_str()) != 0) return local_failure(errno, dir);
    return {};
}

problem run_lpwd(command_context &, const command_line &) {
    char *here = getcwd(nullptr, 0);
    if (here == nullptr) return local_failure(errno, ".");
    std::printf("%s\n", here);
    std::free(here);
    return {};
}

problem run_help(command_context &context, const command_line &line) {
    if (!line.operands.empty()) {
        const command_info *entry = find_command(line.operands.front());
        if (entry == nullptr)
            return usage_error("help: unknown command '" + line.operands.front() + "'");
        std::fputs(command_manual(*entry).c_str(), stdout);
        return {};
    }
    if (!context.in_shell) {
        std::fputs(program_manual().c_str(), stdout);
        return {};
    }
    for (const command_info &entry : command_table()) {
        if (entry.name == "shell") continue;
        std::string usage = std::string(entry.name) + " " + std::string(entry.arguments);
        std::printf("  %-40s %s\n", usage.c_str(), std::string(entry.summary).c_str());
    }
    std::printf("\"help COMMAND\" shows a command's manual.\n");
    return {};
}

problem run_exit(command_context &context, const command_line &) {
    context.leave = true;
    return {};
}

problem run_shell_again(command_context &, const command_line &) {
    return usage_error("shell: already in the shell");
}

} // namespace tvnclient
