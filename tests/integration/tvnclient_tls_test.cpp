// tvnclient over TLS end to end: trust on first use (refused without a terminal, asked at one,
// taken with --accept-new, remembered), a changed certificate, --ca with a certificate for
// another name, and the hints for a plain port and a TLS port taken for each other.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "client_session.h"
#include "tls_fixture.h"

namespace fs = std::filesystem;

namespace {

using namespace tvn_test;
using namespace tvn_test::cli;
using namespace tvn_test::tls;

bool contains(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

class tvnclient_tls_test : public tls_fixture {
protected:
    // The known servers file of the client's home.
    std::string known_servers() const { return work.path() + "/.config/tolvane/known_servers"; }
    std::string known_line() {
        return "127.0.0.1 " + std::to_string(tls_port) + " " + fingerprint_of(certificate()) + "\n";
    }
};

mode_t mode_of(const std::string &path) {
    struct stat status {};
    return stat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
}

TEST_F(tvnclient_tls_test, an_unknown_certificate_is_refused_without_a_terminal_then_accepted_and_remembered) {
    write_file(area("Public/hello.txt"), "hello\n");
    const std::string fingerprint = fingerprint_of(certificate());
    ASSERT_FALSE(fingerprint.empty());

    const client_result refused = run_tls({"--tls", "cat", "/Public/hello.txt"});
    EXPECT_EQ(refused.status, 9) << refused.err;
    EXPECT_EQ(refused.out, "");
    EXPECT_TRUE(contains(refused.err, "certificate is unknown (SHA-256 " + fingerprint + ")"))
        << refused.err;
    EXPECT_TRUE(contains(refused.err, "--accept-new")) << refused.err;
    EXPECT_FALSE(fs::exists(known_servers()));

    const client_result accepted = run_tls({"--tls", "--accept-new", "cat", "/Public/hello.txt"});
    EXPECT_EQ(accepted.status, 0) << accepted.err;
    EXPECT_EQ(accepted.out, "hello\n");
    EXPECT_TRUE(contains(accepted.err, "remembered the certificate")) << accepted.err;
    EXPECT_EQ(read_file(known_servers()), known_line());
    EXPECT_EQ(mode_of(known_servers()), 0600u);
    EXPECT_EQ(mode_of(work.path() + "/.config/tolvane"), 0700u);
    EXPECT_EQ(mode_of(work.path() + "/.config"), 0700u);

    // Remembered: no flag needed, and TVN_TLS=1 stands for --tls.
    client_settings again = settings({"-p", std::to_string(tls_port), "cat", "/Public/hello.txt"});
    again.environment.push_back("TVN_TLS=1");
    const client_result known = run_client(again);
    EXPECT_EQ(known.status, 0) << known.err;
    EXPECT_EQ(known.out, "hello\n");
    EXPECT_EQ(known.err, "");
    EXPECT_EQ(read_file(known_servers()), known_line());
}

TEST_F(tvnclient_tls_test, a_first_contact_at_a_terminal_shows_the_fingerprint_and_asks) {
    const std::string fingerprint = fingerprint_of(certificate());
    for (const std::string answer : {"no", "yes"}) {
        client_settings asked =
            settings({"-p", std::to_string(tls_port), "--tls", "ls", "/Public"});
        asked.terminal = true;
        client_process client(asked);
        ASSERT_TRUE(client.wait_for([&] { return contains(client.out(), "Trust it? (yes/no) "); }))
            << client.out();
        EXPECT_TRUE(contains(client.out(), fingerprint)) << client.out();
        EXPECT_TRUE(contains(client.out(), "self-signed certificate")) << client.out();
        client.send("maybe\n");
        ASSERT_TRUE(client.wait_for([&] { return contains(client.out(), "Please type 'yes' or 'no'"); }))
            << client.out();
        client.send(answer + "\n");
        const int status = client.wait_exit();
        if (answer == "no") {
            EXPECT_EQ(status, 9) << client.out();
            EXPECT_TRUE(contains(client.out(), "the certificate was not accepted")) << client.out();
            EXPECT_FALSE(fs::exists(known_servers()));
        } else {
            EXPECT_EQ(status, 0) << client.out();
            EXPECT_EQ(read_file(known_servers()), known_line());
        }
    }
}

TEST_F(tvnclient_tls_test, a_changed_certificate_is_refused_loudly_with_status_8) {
    ASSERT_EQ(run_tls({"--tls", "--accept-new", "ls", "/"}).status, 0);
    const std::string before = read_file(known_servers());
    const std::string old_fingerprint = fingerprint_of(certificate());

    ASSERT_EQ(server.stop(SIGINT), 0);
    replace_certificate();
    ASSERT_TRUE(server.start()) << server.output();
    const std::string new_fingerprint = fingerprint_of(certificate());
    ASSERT_NE(new_fingerprint, old_fingerprint);

    const std::size_t journal_before = journal_size();
    for (const std::vector<std::string> &flags :
         {std::vector<std::string>{"--tls"}, std::vector<std::string>{"--tls", "--accept-new"}}) {
        std::vector<std::string> arguments = flags;
        arguments.insert(arguments.end(), {"ls", "/"});
        const client_result refused = run_tls(arguments);
        EXPECT_EQ(refused.status, 8) << refused.err;
        EXPECT_EQ(refused.out, "");
        EXPECT_TRUE(contains(refused.err, "WARNING")) << refused.err;
        EXPECT_TRUE(contains(refused.err, "Remembered SHA-256 fingerprint: " + old_fingerprint))
            << refused.err;
        EXPECT_TRUE(contains(refused.err, "Presented SHA-256 fingerprint:  " + new_fingerprint))
            << refused.err;
        EXPECT_TRUE(contains(refused.err, "line 1 of " + known_servers())) << refused.err;
        EXPECT_TRUE(contains(refused.err, "certificate has changed")) << refused.err;
    }
    EXPECT_EQ(read_file(known_servers()), before);
    // No login was tried: each connection ended before its first request, with one line.
    const auto lines = wait_journal(server.root(), journal_before + 2);
    ASSERT_EQ(lines.size(), journal_before + 2);
    for (std::size_t i = journal_before; i < lines.size(); ++i)
        EXPECT_EQ(lines[i], "2 1 - [ over TLSv1.3]");
}

TEST_F(tvnclient_tls_test, with_ca_the_right_certificate_is_trusted_without_remembering_it) {
    for (const std::string host : {"127.0.0.1", "localhost"}) {
        const client_result listed =
            run_tls({"-H", host, "--ca", certificate(), "ls", "/"});
        EXPECT_EQ(listed.status, 0) << host << ": " << listed.err;
        EXPECT_EQ(listed.err, "");
    }
    EXPECT_FALSE(fs::exists(known_servers()));
}

class tvnclient_tls_elsewhere_test : public tls_fixture {
protected:
    tvnclient_tls_elsewhere_test() : tls_fixture("", "DNS:elsewhere.example") {}
};

TEST_F(tvnclient_tls_elsewhere_test, with_ca_a_certificate_for_another_name_is_refused) {
    struct row {
        std::string host, why;
    };
    for (const row &r : {row{"127.0.0.1", "IP address mismatch"},
                         row{"localhost", "hostname mismatch"}}) {
        for (const std::string &ca : {std::string("--ca=") + certificate(), std::string("--ca")}) {
            std::vector<std::string> arguments{"-H", r.host, ca};
            if (ca == "--ca") arguments.push_back(certificate());
            arguments.insert(arguments.end(), {"ls", "/"});
            const client_result refused = run_tls(arguments);
            EXPECT_EQ(refused.status, 9) << refused.err;
            EXPECT_TRUE(contains(refused.err, "does not verify against " + certificate() + ": " +
                                                  r.why))
                << refused.err;
        }
    }
}

TEST_F(tvnclient_tls_test, a_plain_port_and_a_tls_port_taken_for_each_other_say_so) {
    const std::string plain_port = std::to_string(server.port());
    const client_result tls_on_plain = run({"-p", plain_port, "--tls", "ls", "/"});
    EXPECT_EQ(tls_on_plain.status, 6);
    EXPECT_EQ(tls_on_plain.err, "tvnclient: 127.0.0.1 port " + plain_port +
                                    ": the server closed the connection during the TLS "
                                    "handshake: is port " +
                                    plain_port + " a plain port? try without --tls\n");

    const std::string tls = std::to_string(tls_port);
    const client_result plain_on_tls = run_tls({"ls", "/"});
    EXPECT_EQ(plain_on_tls.status, 6);
    EXPECT_EQ(plain_on_tls.err,
              "tvnclient: tester@test: the server closed the connection without an answer: is "
              "port " + tls + " a TLS port? try --tls\n");
}

TEST_F(tvnclient_tls_test, a_transfer_over_tls_comes_back_whole) {
    const std::string original = random_bytes(3u << 20, 5);
    write_file(local("up.bin"), original);
    ASSERT_EQ(run_tls({"--ca", certificate(), "put", "up.bin", "/Private/"}).status, 0);
    EXPECT_EQ(checksum(read_file(area("Private/up.bin"))), checksum(original));
    const client_result got = run_tls({"--ca", certificate(), "get", "/Private/up.bin", "down.bin"});
    ASSERT_EQ(got.status, 0) << got.err;
    EXPECT_EQ(checksum(read_file(local("down.bin"))), checksum(original));
}

} // namespace
