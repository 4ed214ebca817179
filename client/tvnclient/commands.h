// The commands of tvnclient: one table that the command line and the shell both dispatch
// through, with each command's manual page, and the functions that run them.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "password.h"
#include "problem.h"
#include "session.h"

namespace tvnclient {

struct command_context {
    session &remote;
    const login_settings &login;        // passwd sends the login and its password
    const environment_secrets &secrets; // passwd takes TVN_NEW_PASSWORD from here
    std::string cwd = "/";              // the remote working directory
    bool long_listing = false;          // -x: every ls in the long form
    bool quiet = false;                 // -q: no progress bars
    bool in_shell = false;
    bool leave = false; // exit, or the session ended (passwd)
};

// A command's arguments split into flags ("-l", "--continue") and operands.
struct command_line {
    std::vector<std::string> flags;
    std::vector<std::string> operands;
    bool has(std::string_view flag) const;
};

// What a command needs before it runs: nothing (help, pwd, lcd), a connection
// (passwd: CHANGEPWD needs no session) or an open session.
enum class command_needs { nothing, connection, session };

struct command_info {
    std::string_view name;
    std::string_view arguments; // after the name in the synopsis: "[-r] REMOTE [LOCAL]"
    std::string_view summary;   // one line
    std::string_view flags;     // the flags it takes, blank-separated: "-r -c --continue"
    int min_operands;
    int max_operands; // -1: any number
    command_needs needs;
    bool shell_only;
    std::string_view description; // the rest of its manual page
    problem (*run)(command_context &, const command_line &);
};

std::span<const command_info> command_table();
const command_info *find_command(std::string_view name);
// Checks the flags and the number of operands, before anything is connected.
problem parse_command_line(const command_info &entry, std::span<const std::string> arguments,
                           command_line &parsed);
// The command's manual page.
std::string command_manual(const command_info &entry);
// The program's manual page.
std::string program_manual();
// Looks the command (the first word) up and checks its arguments, before anything is
// connected. With --help among them the manual is printed and `entry` is left null.
problem prepare_command(std::span<const std::string> words, bool in_shell,
                        const command_info *&entry, command_line &parsed);

// The commands (commands_remote.cpp, commands_transfer.cpp, commands_local.cpp).
problem run_ls(command_context &, const command_line &);
problem run_mkdir(command_context &, const command_line &);
problem run_rm(command_context &, const command_line &);
problem run_rmdir(command_context &, const command_line &);
problem run_mv(command_context &, const command_line &);
problem run_cp(command_context &, const command_line &);
problem run_passwd(command_context &, const command_line &);
problem run_get(command_context &, const command_line &);
problem run_put(command_context &, const command_line &);
problem run_cat(command_context &, const command_line &);
problem run_cd(command_context &, const command_line &);
problem run_pwd(command_context &, const command_line &);
problem run_lcd(command_context &, const command_line &);
problem run_lpwd(command_context &, const command_line &);
problem run_help(command_context &, const command_line &);
problem run_exit(command_context &, const command_line &);
problem run_shell_again(command_context &, const command_line &);

} // namespace tvnclient
