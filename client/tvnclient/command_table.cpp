// The command table with every command's manual page, and the checks of a command's
// arguments that happen before anything is connected.
#include "commands.h"

#include <array>
#include <cstdio>

namespace tvnclient {

namespace {

constexpr std::array table{
    command_info{"ls", "[-l] [PATH...]", "list directories", "-l", 0, -1, command_needs::session,
                 false,
                 R"(DESCRIPTION
    Lists the directory PATH (default: the working directory), one name a line, sorted;
    directory names end in "/". PATH may also name a file, which is then shown alone.
    Several PATHs are listed one after the other, each under its name.

OPTIONS
    -l  the long form: one line per entry with its kind ("d" for a directory, "-" for
        anything else), its size in bytes, its modification time (local time,
        YYYY-MM-DD HH:MM) and its name. A "-" stands for what the server does not tell
        (the size of a directory). The program's -x makes it the default.

EXAMPLES
    tvnclient -u demo@demo ls /Public
    tvnclient -u demo@demo ls -l /Public/docs
)",
                 run_ls},
    command_info{"get", "[-r] [--continue] REMOTE [LOCAL]", "fetch a file or a directory tree",
                 "-r -c --continue", 1, 2, command_needs::session, false,
                 R"(DESCRIPTION
    Fetches REMOTE into LOCAL (default: the current local directory). When LOCAL is an
    existing directory, the file keeps its name inside it.

    The data arrive in LOCAL.tvnpart beside the target, which is renamed to LOCAL only when
    it is complete: the final name never holds half a file. A file it replaces keeps its
    permissions. When a transfer fails or is interrupted, the .tvnpart file stays for
    --continue; the error message names it.

OPTIONS
    -r              fetch the directory REMOTE and everything below it.
    -c, --continue  resume: continue LOCAL.tvnpart (or a shorter LOCAL) from its size
                    instead of starting again. A LOCAL that is already as long as REMOTE
                    is left alone.

EXAMPLES
    tvnclient -u demo@demo get /Public/hello.txt
    tvnclient -u demo@demo get -r /Public/docs ./docs-copy
    tvnclient -u demo@demo get --continue /Private/big.iso
)",
                 run_get},
    command_info{"put", "[-r] [--continue] LOCAL [REMOTE]", "send a file or a directory tree",
                 "-r -c --continue", 1, 2, command_needs::session, false,
                 R"(DESCRIPTION
    Sends LOCAL to REMOTE (default: the working directory). When REMOTE is a directory
    (or ends in "/"), the file keeps its name inside it; an existing file REMOTE is
    replaced.

    The data go to REMOTE.tvnpart on the server, which is renamed to REMOTE only when it is
    complete, so nobody reading the server sees half a file. When an upload is interrupted
    (Ctrl-C, a lost connection, a refused write such as a full disk), the .tvnpart file
    stays on the server with what the server confirmed, and the error message names it and
    the command that resumes it. Guest logins can only read: put then fails with
    "permission denied".

OPTIONS
    -r              send the directory LOCAL and everything below it; missing directories
                    are created. Symbolic links to files are sent as the files they point
                    to; links to directories and special files are skipped with a warning.
    -c, --continue  resume: continue REMOTE.tvnpart on the server from its size instead of
                    starting again. Without a .tvnpart file, a REMOTE that is already as
                    long as LOCAL is left alone.

EXAMPLES
    tvnclient -u demo@demo put report.pdf /Private/
    tvnclient -u demo@demo put -r site /Web
    tvnclient -u demo@demo put --continue big.iso /Private/big.iso
)",
                 run_put},
    command_info{"cat", "REMOTE...", "write remote files to standard output", "", 1, -1,
                 command_needs::session, false,
                 R"(DESCRIPTION
    Writes each REMOTE file to standard output, one after the other.

EXAMPLES
    tvnclient -u demo@demo cat /Public/hello.txt
)",
                 run_cat},
    command_info{"mkdir", "[-p] PATH...", "create directories", "-p", 1, -1, command_needs::session,
                 false,
                 R"(DESCRIPTION
    Creates each directory PATH. Its parent must exist.

OPTIONS
    -p  create missing parents too, and accept directories that exist already.

EXAMPLES
    tvnclient -u demo@demo mkdir /Private/letters
)",
                 run_mkdir},
    command_info{"rm", "[-r] PATH...", "remove files, empty directories or whole trees", "-r", 1,
                 -1, command_needs::session, false,
                 R"(DESCRIPTION
    Removes each PATH: a file, or a directory that is empty. A directory that still holds
    something is refused with "directory not empty", unless -r is given.

    The root "/" and the areas /Private, /Public and /Web can never be removed: a command
    that names one of them is refused before anything is removed, with exit status 4.

OPTIONS
    -r  remove the directory PATH and everything below it, depth first: the files of each
        directory, then the directory. The first failure stops the removal and names the
        path that could not be removed; what was removed before it stays removed. A
        symbolic link to a directory is not followed: the server refuses to remove it, and
        the removal stops there.

EXAMPLES
    tvnclient -u demo@demo rm /Public/old.txt
    tvnclient -u demo@demo rm -r /Private/old-letters
)",
                 run_rm},
    command_info{"rmdir", "PATH...", "remove empty directories", "", 1, -1, command_needs::session,
                 false,
                 R"(DESCRIPTION
    Removes each PATH, which must be an empty directory; a file is refused with "not a
    directory". The areas cannot be removed (exit status 4), as with rm.

EXAMPLES
    tvnclient -u demo@demo rmdir /Private/letters
)",
                 run_rmdir},
    command_info{"mv", "OLD NEW", "rename or move", "", 2, 2, command_needs::session, false,
                 R"(DESCRIPTION
    Renames OLD to NEW on the server. When NEW is an existing directory, OLD moves into it;
    an existing file NEW is replaced. Moving between two areas works when the server keeps
    them on one disk.

EXAMPLES
    tvnclient -u demo@demo mv /Public/draft.txt /Private/
)",
                 run_mv},
    command_info{"cp", "SRC DST", "copy a file on the server", "", 2, 2, command_needs::session,
                 false,
                 R"(DESCRIPTION
    Copies the file SRC to DST on the server itself, 500000 bytes per request: no data
    cross the network. When DST is an existing directory, the copy keeps SRC's name inside
    it. The copy is written to DST.tvnpart and renamed to DST when complete.

EXAMPLES
    tvnclient -u demo@demo cp /Public/hello.txt /Private/hello-copy.txt
)",
                 run_cp},
    command_info{"passwd", "[--guest]", "change the owner or the guest password", "--guest", 0, 0,
                 command_needs::connection, false,
                 R"(DESCRIPTION
    Changes the owner password, or with --guest the guest password, of the login given
    with -u. The current owner password is the login password (TVN_PASSWORD, or asked);
    the new one comes from TVN_NEW_PASSWORD or is asked twice at the terminal, without
    echo. It may have at most 16 characters, the most a login can send.

    The server ends the connection after every password change, so in the shell passwd
    is the last command.

OPTIONS
    --guest  change the guest password instead of the owner password.

EXAMPLES
    tvnclient -u demo@demo passwd --guest
)",
                 run_passwd},
    command_info{"shell", "", "an interactive session", "", 0, 0, command_needs::session, false,
                 R"(DESCRIPTION
    Opens one session and reads commands from standard input: every command above, and
    cd, pwd, lcd, lpwd, help and exit. At a terminal it shows a prompt and offers line
    editing and history; from a pipe or a file it reads plain lines, without a prompt.
    Words may be quoted with '...' or "..."; lines beginning with "#" are comments.

    At a terminal, TAB completes the word at the cursor: a command name first, then
    remote paths for the remote commands and local paths for lcd and for the local
    operands of put and get. When several names fit, TAB completes as far as they agree
    and then shows them. Each remote directory is listed once and its names are kept for
    the session, until a command of the shell (mkdir, rm, rmdir, mv, cp, put) changes it;
    changes made by others show after the shell is started again.

    While it waits for input it sends keep-alive packets, in time for the interval the
    server announced when the session opened, so an idle session is not dropped for
    silence. A failed command does not end the
    shell; a lost connection does. Ctrl-C stops the running command; a second Ctrl-C
    drops a server that no longer answers.

    The shell exits with 0 when every command succeeded, else with the status of the last
    command that failed.

EXAMPLES
    tvnclient -u demo@demo shell
    printf 'cd /Public\nls -l\nget hello.txt\n' | tvnclient -u demo@demo shell
)",
                 run_shell_again},
    command_info{"cd", "[PATH]", "change the remote working directory", "", 0, 1,
                 command_needs::session, true,
                 R"(DESCRIPTION
    Makes PATH (default: "/") the working directory that relative remote paths start
    from. The directory must exist.
)",
                 run_cd},
    command_info{"pwd", "", "show the remote working directory", "", 0, 0, command_needs::nothing,
                 true, "DESCRIPTION\n    Prints the remote working directory.\n", run_pwd},
    command_info{"lcd", "[DIR]", "change the local working directory", "", 0, 1,
                 command_needs::nothing, true,
                 R"(DESCRIPTION
    Makes DIR (default: your home directory) the local working directory, where get puts
    files and put finds them.
)",
                 run_lcd},
    command_info{"lpwd", "", "show the local working directory", "", 0, 0, command_needs::nothing,
                 true, "DESCRIPTION\n    Prints the local working directory.\n", run_lpwd},
    command_info{"help", "[COMMAND]", "show the commands, or one command's manual", "", 0, 1,
                 command_needs::nothing, false,
                 "DESCRIPTION\n    Without COMMAND, lists the commands; with it, prints its "
                 "manual.\n",
                 run_help},
    command_info{
        "exit", "", "end the session (quit does the same)", "", 0, 0, command_needs::nothing, true,
        "DESCRIPTION\n    Ends the session and the shell. End of input does the same.\n", run_exit},
};

std::vector<std::string_view> words_of(std::string_view text) {
    std::vector<std::string_view> words;
    while (!text.empty()) {
        const std::size_t blank = text.find(' ');
        if (blank != 0) words.push_back(text.substr(0, blank));
        if (blank == std::string_view::npos) break;
        text.remove_prefix(blank + 1);
    }
    return words;
}

bool takes_flag(const command_info &entry, std::string_view flag) {
    for (std::string_view known : words_of(entry.flags))
        if (known == flag) return true;
    return false;
}

std::string usage_of(const command_info &entry) {
    std::string usage(entry.name);
    if (!entry.arguments.empty()) usage += " " + std::string(entry.arguments);
    return usage;
}

problem command_usage_error(const command_info &entry, const std::string &what) {
    return usage_error(std::string(entry.name) + ": " + what + " (usage: " + usage_of(entry) + ")");
}

} // namespace

bool command_line::has(std::string_view flag) const {
    for (const auto &given : flags)
        if (given == flag) return true;
    return false;
}

std::span<const command_info> command_table() { return table; }

const command_info *find_command(std::string_view name) {
    if (name == "quit") name = "exit";
    for (const auto &entry : table)
        if (entry.name == name) return &entry;
    return nullptr;
}

problem parse_command_line(const command_info &entry, std::span<const std::string> arguments,
                           command_line &parsed) {
    parsed = {};
    bool options_over = false;
    for (const std::string &word : arguments) {
        if (options_over || word.size() < 2 || word[0] != '-') {
            parsed.operands.push_back(word);
        } else if (word == "--") {
            options_over = true;
        } else if (takes_flag(entry, word)) {
            parsed.flags.push_back(word);
        } else if (word[1] != '-' && word.size() > 2) {
            // Single-letter flags written together: -rc.
            for (std::size_t i = 1; i < word.size(); ++i) {
                const std::string flag{'-', word[i]};
                if (!takes_flag(entry, flag))
                    return command_usage_error(entry, "unknown option " + flag);
                parsed.flags.push_back(flag);
            }
        } else {
            return command_usage_error(entry, "unknown option " + word);
        }
    }
    const int count = static_cast<int>(parsed.operands.size());
    if (count < entry.min_operands) return command_usage_error(entry, "missing operand");
    if (entry.max_operands >= 0 && count > entry.max_operands)
        return command_usage_error(entry, "too many operands");
    return {};
}

std::string command_manual(const command_info &entry) {
    std::string page = "NAME\n    tvnclient " + std::string(entry.name) + " - " +
                       std::string(entry.summary) + "\n\nSYNOPSIS\n    ";
    page += entry.shell_only ? "(in the shell) " + usage_of(entry)
                             : "tvnclient [OPTIONS] " + usage_of(entry);
    page += "\n\n" + std::string(entry.description);
    return page;
}

problem prepare_command(std::span<const std::string> words, bool in_shell,
                        const command_info *&entry, command_line &parsed) {
    entry = find_command(words.front());
    if (entry == nullptr)
        return usage_error("unknown command '" + words.front() + "' (help lists the commands)");
    for (const std::string &word : words.subspan(1)) {
        if (word == "--") break;
        if (word == "--help") {
            std::fputs(command_manual(*entry).c_str(), stdout);
            entry = nullptr;
            return {};
        }
    }
    if (entry->shell_only && !in_shell)
        return usage_error(std::string(entry->name) +
                           ": works only in the shell (tvnclient shell)");
    return parse_command_line(*entry, words.subspan(1), parsed);
}

} // namespace tvnclient
