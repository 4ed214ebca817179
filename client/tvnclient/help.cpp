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

    Transfers move 500000 bytes per request and keep many requests on their way at once
    (see --window), so that a distant server is not waited for after every request. At a
    terminal, a transfer that takes longer than a second shows a progress bar on standard
    error with its rate and the time left; nothing is shown when standard error is not a
    terminal, or with -q.

OPTIONS
    -H HOST         the server, by address or name (default 127.0.0.1)
    -p PORT         the server's port (default 700)
    -u USER@DOMAIN  the login (default: the environment variable TVN_USER); a login
                    without a domain is a usage error
    -x              extended listing: every ls shows the kind, size and modification time
                    of each entry, as ls -l does
    -t SECONDS      give up when the server has not answered within SECONDS (default 30)
    -q              quiet: no progress bars
    --window BYTES  how many bytes get, put and cat keep on their way to or from the
                    server at once (default 32M; suffixes K, M, G; 4K to 1G). A transfer
                    runs at most at BYTES per round trip: 32M over 40 ms is 800 MB/s.
                    --window 500000 waits for every request's answer before the next.
    --tls           connect with TLS (also when TVN_TLS is 1); see TLS below
    --ca FILE       trust the server's certificate only when it verifies against the CA
                    certificates in FILE (PEM) and names HOST; implies --tls
    --accept-new    remember an unknown server's certificate without asking
    -h, --help      this page
    --version       the version

COMMANDS
)";

constexpr std::string_view tail = R"page(
    "tvnclient help COMMAND" or "tvnclient COMMAND --help" prints a command's own page.

TLS
    A server may offer TLS on a port of its own (TlsPort); the protocol inside is the same.
    With --ca, the server's certificate must verify against that CA and carry HOST (a name,
    or an address such as 127.0.0.1); anything else is refused.

    Without --ca, a certificate that the system's trust store verifies for HOST is trusted.
    One it cannot verify (a self-signed server) is trusted on first use, as ssh trusts host
    keys: its SHA-256 fingerprint is remembered for HOST and PORT in the known servers file
    (see FILES). At the first contact tvnclient shows the fingerprint and asks "Trust it?
    (yes/no)" at the terminal; compare it with the one the server's administrator gives
    (openssl x509 -noout -fingerprint -sha256 -in CERTIFICATE). Without a terminal it
    refuses, unless --accept-new is given. Once remembered, the certificate must stay the
    same: a different one is refused with a warning (exit status 8) until its line is
    removed from the file.

    A plain connection to a TLS port, and a TLS connection to a plain port, are closed by
    the server; tvnclient then suggests the other.

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
    TVN_TLS           1: connect with TLS, as --tls
    XDG_CONFIG_HOME   where the known servers file lies (default: ~/.config)
    TZ                the time zone of the times ls -l shows

EXIT STATUS
    0    success
    1    the server refused for another reason: the name exists already, the directory
         is not empty, no space is left on the server, ...
    2    a wrong command line, or no password to be had
    3    not found: the remote file or directory does not exist, or the path lies
         outside the three areas ("no such area")
    4    permission denied (a guest login can only read); also rm or rmdir of "/" or of
         an area, refused before anything is removed
    5    login refused (wrong user name, domain or password), or a refused password change
    6    connection: cannot connect, the server closed the connection, it did not
         answer in time, or the TLS handshake failed
    7    a local file or directory could not be read or written
    8    TLS: the server's certificate is not the one remembered for it
    9    TLS: the server's certificate is not trusted: it does not verify against --ca,
         names another host, or is unknown and was not accepted
    130  interrupted with Ctrl-C

    Each failure prints one line on standard error naming the path and what went wrong,
    for example "tvnclient: /Private/x: not found".

FILES
    NAME.tvnpart    a file being received (beside the local target) or sent (beside the
                    remote one); it gets its final name only when complete, and stays after
                    an interruption for get --continue or put --continue
    $XDG_CONFIG_HOME/tolvane/known_servers (default ~/.config/tolvane/known_servers)
                    the certificates trusted on first use, one line each: HOST PORT
                    SHA-256-FINGERPRINT (made 0600, its directory 0700)

EXAMPLES
    export TVN_USER=demo@demo
    tvnclient -p 7070 ls -l /Public
    tvnclient -p 7070 get /Public/hello.txt
    tvnclient -p 7070 put notes.txt /Private/
    tvnclient -p 7070 get -r /Public/docs
    tvnclient -p 7070 cp /Public/hello.txt /Private/hello.txt
    tvnclient -p 7070 shell
    tvnclient -p 7443 --tls ls /Public
    tvnclient -p 7443 --ca ca.pem ls /Public
)page";

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
