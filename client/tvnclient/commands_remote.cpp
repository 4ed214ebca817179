// The commands that change or show the server's tree without moving file data: ls, mkdir,
// rm (-r: the whole tree), rmdir, mv, cp and passwd.
#include <cstdio>

#include "commands.h"
#include "file_transfer.h"
#include "interrupt.h"
#include "listing_output.h"
#include "remote_ops.h"
#include "remote_path.h"
#include "tolvane/protocol.h"
#include "tree_remove.h"

namespace tvnclient {

namespace {

// Runs `act` on every operand, resolved; each failure is reported as it happens and the
// first one is kept for the exit status. A lost connection or Ctrl-C stops the loop.
template <typename act_fn>
problem each_path(command_context &context, const command_line &line, act_fn &&act) {
    problem first;
    for (const std::string &typed : line.operands) {
        problem failed = act(resolve_remote(context.cwd, typed));
        if (!failed) continue;
        report(failed);
        if (!first) first = failed;
        if (failed.status == exit_status::connection || interrupted()) break;
    }
    return first;
}

// "/" and the areas can never be removed: the whole command is refused before a request
// leaves, so that no other operand is removed either.
problem refuse_area_roots(const command_context &context, const command_line &line) {
    for (const std::string &typed : line.operands) {
        const std::string path = resolve_remote(context.cwd, typed);
        if (is_area_root(path))
            return make_problem(
                exit_status::denied, path,
                path == "/" ? "the root cannot be removed" : "an area cannot be removed");
    }
    return {};
}

// MKDIR answers "refused" for a name that exists; say so.
problem make_one_directory(session &remote, const std::string &path) {
    problem made = make_remote_directory(remote, path);
    if (made.status == exit_status::failed) {
        remote_kind kind = remote_kind::missing;
        if (!probe(remote, path, kind) && kind != remote_kind::missing)
            return make_problem(exit_status::failed, path, "already exists");
    }
    return explain_denial(remote, made);
}

problem make_directory_with_parents(session &remote, const std::string &path) {
    std::string prefix;
    std::size_t at = 0;
    while (at != std::string::npos) {
        at = path.find('/', at + 1);
        prefix = path.substr(0, at);
        problem failure;
        if (is_remote_directory(remote, prefix, failure)) continue;
        if (failure) return failure;
        if (problem failed = make_one_directory(remote, prefix)) return failed;
    }
    return {};
}

// The destination of mv and cp: inside NEW when NEW is a directory.
problem destination(command_context &context, const std::string &typed, const std::string &from,
                    std::string &to) {
    to = resolve_remote(context.cwd, typed);
    problem failure;
    if (names_a_directory(typed) || is_remote_directory(context.remote, to, failure))
        to = remote_join(to, remote_base_name(from));
    return failure;
}

// One ls operand. Listing a file answers NOT_FOUND; the file is then looked up in its
// directory and shown alone.
problem list_one(command_context &context, const std::string &path, bool long_form) {
    std::vector<tvn_client::listing_entry> entries;
    problem failed = list_directory(context.remote, path, entries);
    if (failed.status == exit_status::not_found && !outside_areas(path)) {
        std::vector<tvn_client::listing_entry> siblings;
        const std::string name = remote_base_name(path);
        if (!list_directory(context.remote, resolve_remote(path, ".."), siblings)) {
            for (const auto &entry : siblings) {
                if (entry.is_dir || entry.name != name) continue;
                entries.assign(1, entry);
                failed = {};
            }
        }
    }
    if (failed) return failed;
    print_listing(entries, long_form, stdout);
    return {};
}

} // namespace

problem run_ls(command_context &context, const command_line &line) {
    const bool long_form = line.has("-l") || context.long_listing;
    if (line.operands.empty()) return list_one(context, context.cwd, long_form);
    if (line.operands.size() == 1)
        return list_one(context, resolve_remote(context.cwd, line.operands.front()), long_form);
    // Several: each under a heading, as ls does.
    bool first = true;
    return each_path(context, line, [&](const std::string &path) {
        std::printf(first ? "%s:\n" : "\n%s:\n", printable(path).c_str());
        first = false;
        return list_one(context, path, long_form);
    });
}

problem run_mkdir(command_context &context, const command_line &line) {
    const bool parents = line.has("-p");
    return each_path(context, line, [&](const std::string &path) {
        return parents ? make_directory_with_parents(context.remote, path)
                       : make_one_directory(context.remote, path);
    });
}

problem run_rm(command_context &context, const command_line &line) {
    if (problem refused = refuse_area_roots(context, line)) return refused;
    const bool tree = line.has("-r");
    return each_path(context, line, [&](const std::string &path) {
        if (tree) return remove_tree(context.remote, path);
        return explain_denial(context.remote, delete_remote(context.remote, path));
    });
}

problem run_rmdir(command_context &context, const command_line &line) {
    if (problem refused = refuse_area_roots(context, line)) return refused;
    return each_path(context, line, [&](const std::string &path) -> problem {
        remote_kind kind = remote_kind::missing;
        if (problem failed = probe(context.remote, path, kind)) return failed;
        if (kind == remote_kind::missing) return remote_refusal(NOT_FOUND, path);
        if (kind == remote_kind::file)
            return make_problem(exit_status::failed, path, "not a directory");
        return explain_denial(context.remote, delete_remote(context.remote, path));
    });
}

problem run_mv(command_context &context, const command_line &line) {
    const std::string from = resolve_remote(context.cwd, line.operands[0]);
    std::string to;
    if (problem failed = destination(context, line.operands[1], from, to)) return failed;
    return explain_denial(context.remote, rename_remote(context.remote, from, to));
}

problem run_cp(command_context &context, const command_line &line) {
    const std::string from = resolve_remote(context.cwd, line.operands[0]);
    std::string to;
    if (problem failed = destination(context, line.operands[1], from, to)) return failed;
    progress_meter meter(!context.quiet);
    return copy_on_server(context.remote, from, to, meter);
}

problem run_passwd(command_context &context, const command_line &line) {
    const bool guest = line.has("--guest");
    const std::string &login = context.login.login;
    std::string fresh;
    if (context.secrets.new_password) {
        fresh = *context.secrets.new_password;
    } else {
        std::string again;
        if (problem failed =
                ask_password(guest ? "New guest password: " : "New owner password: ", fresh))
            return failed;
        if (problem failed = ask_password("The new password again: ", again)) return failed;
        if (fresh != again)
            return make_problem(exit_status::failed, login,
                                "the two entries differ; password not changed");
    }
    // The server would store a longer one, but a login sends only 16 characters of it.
    if (fresh.size() > TVN_CONNECT_PASSWORD_LEN)
        return usage_error(
            "passwd: a password may have at most 16 characters, the most a login sends");
    problem failed = context.remote.exchange(
        tvn_client::changepwd_request(login, context.login.password, fresh, !guest), login);
    const std::uint8_t status = context.remote.status();
    // The server ends the connection after every password change, whatever the outcome.
    context.remote.drop();
    context.leave = true;
    if (failed) return failed;
    if (status == OK) {
        std::printf("%s password changed; the server ended the session\n",
                    guest ? "guest" : "owner");
        return {};
    }
    if (status == WRONG_AUTH)
        return make_problem(
            exit_status::login_refused, login,
            "password not changed: wrong password, or this login may not change it");
    return make_problem(exit_status::failed, login,
                        "password not changed: the server could not store it");
}

} // namespace tvnclient
