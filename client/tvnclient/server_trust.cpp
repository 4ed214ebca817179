// Judging the server's certificate: verification, trust on first use and its questions.
#include "server_trust.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "interrupt.h"
#include "known_servers.h"
#include "local_file.h"

namespace tvnclient {

namespace {

void say(int fd, const std::string &text) {
    write_all(fd, reinterpret_cast<const std::uint8_t *>(text.data()), text.size());
}

enum class answer { yes, no, no_terminal };

// Asks at the terminal until the user types "yes" or "no"; the end of input, Ctrl-C or no
// terminal at all is not a yes.
answer ask_at_terminal(const std::string &question) {
    unique_fd tty(open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY));
    if (!tty) return answer::no_terminal;
    say(tty.get(), question);
    std::string line;
    for (;;) {
        char c;
        const ssize_t n = read(tty.get(), &c, 1);
        if (n < 0 && errno == EINTR && !interrupted()) continue;
        if (n <= 0) {
            say(tty.get(), "\n");
            return answer::no;
        }
        if (c != '\n') {
            line += c;
            continue;
        }
        if (line == "yes") return answer::yes;
        if (line == "no") return answer::no;
        say(tty.get(), "Please type 'yes' or 'no': ");
        line.clear();
    }
}

std::string where_of(const login_settings &settings) {
    return settings.host + " port " + std::to_string(settings.port);
}

void warn_changed(const login_settings &settings, const tvn_client::tls_result &handshake,
                  const std::string &file, const known_server &known) {
    std::fflush(stdout);
    std::fprintf(
        stderr,
        "@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@\n"
        "@   WARNING: THE SERVER'S CERTIFICATE IS NOT THE ONE REMEMBERED FOR IT!   @\n"
        "@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@\n"
        "%s presents another certificate than the one you accepted for it.\n"
        "Someone may be intercepting this connection to read or change what you send\n"
        "(a man-in-the-middle attack), or its administrator has replaced the certificate.\n"
        "Remembered SHA-256 fingerprint: %s\n"
        "Presented SHA-256 fingerprint:  %s\n"
        "The remembered one is on line %d of %s.\n"
        "If you know the change is legitimate (ask the server's administrator to confirm the\n"
        "new fingerprint), remove that line and connect again. Nothing was sent.\n",
        printable(where_of(settings)).c_str(), printable(known.remembered).c_str(),
        handshake.fingerprint.c_str(), known.line, printable(file).c_str());
}

// A server whose certificate no trusted authority vouches for: trusted on first use.
problem trust_on_first_use(const login_settings &settings,
                           const tvn_client::tls_result &handshake) {
    const std::string where = where_of(settings);
    const std::string file = known_servers_file();
    const known_server known =
        look_up_server(file, settings.host, settings.port, handshake.fingerprint);
    if (known.found == known_server::match::same) return {};
    if (known.found == known_server::match::changed) {
        warn_changed(settings, handshake, file, known);
        return make_problem(exit_status::server_changed, where,
                            "the server's certificate has changed: not connecting");
    }
    if (!settings.accept_new) {
        const answer given = ask_at_terminal(
            "The certificate of " + printable(where) + " is not known (" +
            handshake.not_verified + ").\nIts SHA-256 fingerprint is " + handshake.fingerprint +
            "\nTrust it? (yes/no) ");
        if (given == answer::no_terminal)
            return make_problem(exit_status::untrusted, where,
                                "the server's certificate is unknown (SHA-256 " +
                                    handshake.fingerprint +
                                    "): check it at a terminal, give --accept-new, or --ca FILE");
        if (given == answer::no)
            return make_problem(exit_status::untrusted, where,
                                interrupted() ? "interrupted" : "the certificate was not accepted");
    }
    if (const std::string failed =
            remember_server(file, settings.host, settings.port, handshake.fingerprint);
        !failed.empty()) {
        std::fprintf(stderr, "%s: warning: cannot remember the certificate: %s\n",
                     program_name(), printable(failed).c_str());
    } else if (settings.accept_new) {
        std::fprintf(stderr, "%s: remembered the certificate of %s (SHA-256 %s) in %s\n",
                     program_name(), printable(where).c_str(), handshake.fingerprint.c_str(),
                     printable(file).c_str());
    }
    return {};
}

} // namespace

problem judge_server(const login_settings &settings, const tvn_client::tls_result &handshake) {
    if (handshake.verified) return {};
    const std::string where = where_of(settings);
    if (!settings.ca_file.empty())
        return make_problem(exit_status::untrusted, where,
                            "the server's certificate does not verify against " +
                                settings.ca_file + ": " + handshake.not_verified);
    // A certificate that a trusted authority issued for another name is no first contact.
    if (handshake.chain_trusted)
        return make_problem(exit_status::untrusted, where,
                            "the server's certificate is not for " + settings.host + ": " +
                                handshake.not_verified);
    return trust_on_first_use(settings, handshake);
}

} // namespace tvnclient
