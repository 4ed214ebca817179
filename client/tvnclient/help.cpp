// The program's manual page; each command's own page lives with the command table.
#include <string>

#include "commands.h"

namespace tvnclient {

namespace {

constexpr std::string_view head = R"(NAME
    tvnclient - reach your files on a tolvane server

SYNOPSIS
    tvnclient [OPTIONS] COMMAND [ARGUMENTS]
    tvnclient [OPTIONS] shell
    tvnclient --help | tvnclient help COMMAND | tvnclient COMMAND --help

DESCRIPTION
    tvnclient logs in to a tolvane file server and lists, fetches, sends, copies, moves and
    removes files in your three areas: /Private, /Public and /Web. Give one command on the
    command line, or open a shell that keeps one session for many commands.

    Remote paths begin at "/", which holds the three areas. A path without a leading "/"
    starts from the working directory: "/" for a command on the command line, the one cd
    chose in the shell. "." and ".." work as usual.

    Transfers move 500000 bytes per request. At a terminal, a transfer that takes longer
    than a second shows a progress bar on standard error with its rate and the time left;
    nothing is shown when standard error is not a terminal, or with -q.

OPTIONS
    -H HOST         the server, by address or name (default 127.0.0.1)
    -p PORT         the server's port (default 700)
    -u USER@DOMAIN  the login (default: the environment variable TVN_USER)
    -x              extended listing: every ls shows the kind, size and modification time
                    of each entry, as ls -l does
    -t SECONDS      give up when the server has not answered within SECONDS (default 30)
    -q              quiet: no progress bars
    -h, --help      this page
    --version       the version

COMMANDS
)";

constexpr std::string_view tail = R"(
    "tvnclient help COMMAND" or "tvnclient COMMAND --help" prints a command's own page.

PASSWORD
    The password never appears on the command line, where every user of the machine could
    read it. It is taken from the environment variable TVN_PASSWORD, which tvnclient
    blanks and removes as soon as it starts, or else asked at the terminal without echo.
    The owner password opens a session that may change files; the guest password one that
    can only read.

ENVIRONMENT
    TVN_PASSWORD      the login password
    TVN_NEW_PASSWORD  the new password for passwd (else it is asked twice)
    TVN_USER          the login when -u is not given
    TZ                the time zone of the times ls -l shows

EXIT STATUS
    0    success
    1    the server refused for another reason: the name exists already, the directory
         is not empty, no space is left on the server, ...
    2    a wrong command line, or no password to be had
    3    not found: the remote file or directory does not exist
    4    permission denied (a guest login can only read)
    5    login refused (wrong user name, domain or password), or a refused password change
    6    connection: cannot connect, the server closed the connection, or it did not
         answer in time
    7    a local file or directory could not be read or written
    130  interrupted with Ctrl-C

    Each failure prints one line on standard error naming the path and what went wrong,
    for example "tvnclient: /Private/x: not found".

FILES
    NAME.tvnpart    a file being received (beside the local target) or sent (beside the
                    remote one); it gets its final name only when complete

EXAMPLES
    export TVN_USER=demo@demo
    tvnclient -p 7070 ls -l /Public
    tvnclient -p 7070 get /Public/hello.txt
    tvnclient -p 7070 put notes.txt /Private/
    tvnclient -p 7070 get -r /Public/docs
    tvnclient -p 7070 cp /Public/hello.txt /Private/hello.txt
    tvnclient -p 7070 shell
)";

} // namespace

std::string program_manual() {
    std::string page(head);
    for (const command_info &entry : command_table()) {
        std::string line = "    " + std::string(entry.name);
        if (!entry.arguments.empty()) line += " " + std::string(entry.arguments);
        if (line.size() < 44)
            line.append(44 - line.size(), ' ');
        else
            line += "  ";
        page += line + std::string(entry.summary) + (entry.shell_only ? " (shell)" : "") + "\n";
    }
    page += tail;
    return page;
}

} // namespace tvnclient
