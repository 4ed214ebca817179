// The activity log end to end: journal.so in a real server, with the test account
// (tester@test, owner "secret", guest "guest") and pathmap. Each test reads the log files
// the module wrote under the root.
//
// A connection the server ends itself (a failed login, a password change, a malformed packet)
// has its final line written before its socket is closed, so once the client sees the close,
// every line of that connection is in the file.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <thread>

#include "client_session.h"
#include "journal_line.h"

namespace {

using namespace tvn_test;
using namespace tvn_client;

// ---- Configuration ------------------------------------------------------------------------------

// A VirtualDomain section; `keys` are whole lines ("LogGetdir", "Alias sales").
std::string section(const std::string &log_file, const std::vector<std::string> &keys) {
    std::string text = "    <VirtualDomain any>\n";
    if (!log_file.empty()) text += "        LoggingFile " + log_file + "\n";
    for (const auto &key : keys) text += "        " + key + "\n";
    return text + "    </VirtualDomain>\n";
}

server_options journal_options(const std::string &sections, bool start = true) {
    server_options options;
    options.modules = {"test_auth_module.so", "pathmap.so", "journal.so"};
    options.module_sections = "<module mod_log>\n" + sections + "</module>\n";
    options.start = start;
    return options;
}

// One section logging to ROOT/log/journal.log.
server_options one_section(const std::vector<std::string> &keys) {
    return journal_options(section("@ROOT@log/journal.log", keys));
}

// ---- Reading the log ----------------------------------------------------------------------------

// The lines of a log file under the root.
std::vector<std::string> log_lines(test_server &server, const std::string &file) {
    return split_lines(server.root().read_file("log/" + file));
}

// Ends the connection from the server's side: a wrong magic closes it without an answer.
void end_by_server(connection &session) {
    EXPECT_TRUE(closed_without_answer(session, getdir_request("/").magic("XISP")));
}

// ---- The line format ----------------------------------------------------------------------------

#define EXPECT_LINE(line, pattern) \
    EXPECT_TRUE(match_line(line, pattern).has_value()) << "line: " << (line)

expected_line connect_line(char kind, const std::string &status = "OK      ") {
    expected_line line;
    line.kind = kind;
    line.method = "CONNECT   ";
    line.status = status;
    line.local2 = "from ip";
    line.address = "127.0.0.1";
    return line;
}

expected_line getdir_line(test_server &server, const std::string &path,
                          const std::string &status = "OK      ") {
    expected_line line;
    line.method = "GETDIR    ";
    line.status = status;
    line.remote1 = path;
    line.local1 = server.root().path() + "home" + path;
    return line;
}

// ---- Tests --------------------------------------------------------------------------------------

TEST(journal, every_field_of_a_session_line_stands_in_its_place) {
    test_server server(one_section({"LogConnection", "LogDisconnect", "LogGetdir"}));
    ASSERT_TRUE(server.running());
    const std::time_t before = std::time(nullptr);
    auto session = logged_in(server);
    const auto workers = server.workers(); // the serving worker is alive while the session is
    EXPECT_EQ(exchange(session, getdir_request("/Public")).status(), OK);
    end_by_server(session);
    const std::time_t after = std::time(nullptr);

    const auto lines = log_lines(server, "journal.log");
    ASSERT_EQ(lines.size(), 3u);
    expected_line disconnect = connect_line('o');
    disconnect.method = "DISCONNECT";
    disconnect.message = " Bad Header packet";
    const line_pattern patterns[] = {request_pattern(connect_line('o')),
                                     request_pattern(getdir_line(server, "/Public")),
                                     request_pattern(disconnect)};
    std::set<long> sessions;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const auto head = match_line(lines[i], patterns[i]);
        ASSERT_TRUE(head.has_value()) << "line " << i << ": " << lines[i];
        EXPECT_GE(head->time, before - 1);
        EXPECT_LE(head->time, after + 1);
        sessions.insert(head->session);
    }
    ASSERT_EQ(sessions.size(), 1u); // one connection, one session id
    EXPECT_NE(std::find(workers.begin(), workers.end(), pid_t(*sessions.begin())), workers.end())
        << "the session id is the serving worker's pid";
}

TEST(journal, with_log_getdir_only_two_listings_give_two_lines_and_nothing_else) {
    // The value of a LogXxx key is never looked at: "no" turns GETDIR logging on.
    test_server server(one_section({"LogGetdir no"}));
    ASSERT_TRUE(server.running());
    std::ofstream(server.root().file("home/Public/a.txt")) << "hello";
    auto session = logged_in(server);
    EXPECT_EQ(exchange(session, getdir_request("/Public")).status(), OK);
    EXPECT_EQ(exchange(session, getdir_request("/Private")).status(), OK);
    answer opened = exchange(session, open_request("/Public/a.txt", open_mode::read_only));
    ASSERT_EQ(opened.status(), OK);
    const std::uint32_t handle = opened.param_u32(4).value_or(0);
    EXPECT_EQ(exchange(session, read_request(handle, 0, 5)).status(), OK);
    EXPECT_EQ(exchange(session, close_request(handle)).status(), OK);
    end_by_server(session);

    const auto lines = log_lines(server, "journal.log");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_LINE(lines[0], request_pattern(getdir_line(server, "/Public")));
    EXPECT_LINE(lines[1], request_pattern(getdir_line(server, "/Private")));
}

TEST(journal, a_connection_without_login_writes_the_refused_line_without_log_disconnect) {
    test_server server(one_section({"LogMakedir"}));
    ASSERT_TRUE(server.running());
    auto first = connect_to(server); // a first request that is no login
    EXPECT_EQ(exchange(first, getdir_request("/Public")).status(), WRONG_AUTH);
    EXPECT_TRUE(first.wait_closed(ANSWER_TIMEOUT));
    auto second = connect_to(server); // a malformed packet before any login
    end_by_server(second);

    const auto lines = log_lines(server, "journal.log");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_LINE(lines[0], refused_pattern("127.0.0.1", ""));
    EXPECT_LINE(lines[1], refused_pattern("127.0.0.1", " Bad Header packet"));
}

TEST(journal, owner_guest_and_failed_login_show_kinds_o_g_and_blank) {
    test_server server(one_section({"LogConnection", "LogGetdir"}));
    ASSERT_TRUE(server.running());
    auto owner = logged_in(server);
    EXPECT_EQ(exchange(owner, getdir_request("/Public")).status(), OK);
    end_by_server(owner);
    auto guest = logged_in(server, 0, "guest");
    EXPECT_EQ(exchange(guest, getdir_request("/Public")).status(), OK);
    end_by_server(guest);
    auto failed = connect_to(server);
    EXPECT_EQ(exchange(failed, connect_request("tester@test", "wrong")).status(), WRONG_AUTH);
    EXPECT_TRUE(failed.wait_closed(ANSWER_TIMEOUT));

    const auto lines = log_lines(server, "journal.log");
    ASSERT_EQ(lines.size(), 5u);
    expected_line guest_getdir = getdir_line(server, "/Public");
    guest_getdir.kind = 'g';
    EXPECT_LINE(lines[0], request_pattern(connect_line('o')));
    EXPECT_LINE(lines[1], request_pattern(getdir_line(server, "/Public")));
    EXPECT_LINE(lines[2], request_pattern(connect_line('g')));
    EXPECT_LINE(lines[3], request_pattern(guest_getdir));
    EXPECT_LINE(lines[4], request_pattern(connect_line(' ', "WRONG_AUTH")));
}

TEST(journal, log_set_time_writes_a_line_for_each_settime_and_no_other) {
    test_server server(one_section({"LogSetTime"}));
    ASSERT_TRUE(server.running());
    std::ofstream(server.root().file("home/Public/a.txt")) << "hello";
    auto session = logged_in(server);
    EXPECT_EQ(exchange(session, settime_request("/Public/a.txt", 1, 2)).status(), OK);
    EXPECT_EQ(exchange(session, getdir_request("/Public")).status(), OK);
    EXPECT_EQ(exchange(session, settime_request("/Public/none", 1, 2)).status(), NOT_FOUND);
    end_by_server(session);

    const auto lines = log_lines(server, "journal.log");
    ASSERT_EQ(lines.size(), 2u);
    expected_line set;
    set.method = "SETTIME   ";
    set.status = "OK      ";
    set.remote1 = "/Public/a.txt";
    set.local1 = server.root().path() + "home/Public/a.txt";
    EXPECT_LINE(lines[0], request_pattern(set));
    set.status = "NOT_FOUND";
    set.remote1 = "/Public/none";
    set.local1 = server.root().path() + "home/Public/none";
    EXPECT_LINE(lines[1], request_pattern(set));
}

TEST(journal, a_password_change_line_shows_neither_password_nor_hash) {
    test_server server(one_section({"LogChangePwd"}));
    ASSERT_TRUE(server.running());
    auto session = connect_to(server);
    EXPECT_EQ(
        exchange(session, changepwd_request("tester@test", "secret", "n3w-Secret", true)).status(),
        OK);
    EXPECT_TRUE(session.wait_closed(ANSWER_TIMEOUT));

    const auto lines = log_lines(server, "journal.log");
    ASSERT_EQ(lines.size(), 1u);
    expected_line change;
    change.method = "CHANGEPWD ";
    EXPECT_LINE(lines[0], request_pattern(change)); // both paths 1 a single blank
    EXPECT_EQ(lines[0].find("n3w-Secret"), std::string::npos);
}

// A login in the domain, ended by the server: a successful one with a malformed packet, a
// refused one by its own failure.
void visit(const test_server &server, const std::string &login) {
    auto session = connect_to(server);
    const answer a = exchange(session, connect_request(login, "secret"));
    if (a.status() == OK)
        end_by_server(session);
    else
        EXPECT_TRUE(session.wait_closed(ANSWER_TIMEOUT));
}

// Every line of the file names this login, and there are count of them.
void expect_only(test_server &server, const std::string &file, const std::string &user_at,
                 std::size_t count) {
    const auto lines = log_lines(server, file);
    EXPECT_EQ(lines.size(), count) << file;
    for (const auto &line : lines)
        EXPECT_NE(line.find("\t" + user_at + "\t"), std::string::npos) << file << ": " << line;
}

TEST(journal, an_alias_takes_its_domain_and_the_section_without_alias_the_rest) {
    const std::vector<std::string> keys = {"LogConnection", "LogDisconnect"};
    auto with_alias = keys;
    with_alias.insert(with_alias.end(), {"Alias sales", "Alias test"});
    test_server server(journal_options(section("@ROOT@log/first.log", keys) +
                                       section("@ROOT@log/second.log", with_alias)));
    ASSERT_TRUE(server.running());
    visit(server, "tester@test");
    visit(server, "someone@elsewhere");
    expect_only(server, "second.log", "tester@test", 2);
    expect_only(server, "first.log", "someone@elsewhere", 2);
}

TEST(journal, of_two_sections_without_alias_the_last_takes_every_connection) {
    const std::vector<std::string> keys = {"LogConnection", "LogDisconnect"};
    test_server server(journal_options(section("@ROOT@log/first.log", keys) +
                                       section("@ROOT@log/second.log", keys)));
    ASSERT_TRUE(server.running());
    visit(server, "tester@test");
    visit(server, "someone@elsewhere");
    EXPECT_TRUE(server.root().exists("log/first.log")); // opened at start-up all the same
    EXPECT_TRUE(log_lines(server, "first.log").empty());
    const auto lines = log_lines(server, "second.log");
    EXPECT_EQ(lines.size(), 4u);
}

TEST(journal, a_section_without_a_usable_log_file_logs_nothing) {
    const std::vector<std::string> keys = {"LogConnection", "LogDisconnect"};
    auto no_file = keys;
    no_file.push_back("Alias sales");
    auto unopenable = keys;
    unopenable.push_back("Alias test");
    test_server server(journal_options(section("@ROOT@log/first.log", keys) + section("", no_file) +
                                       section("@ROOT@no-such-dir/x.log", unopenable)));
    ASSERT_TRUE(server.running());
    visit(server, "someone@sales");
    visit(server, "tester@test");
    visit(server, "someone@elsewhere");
    expect_only(server, "first.log", "someone@elsewhere", 2);
}

TEST(journal, control_bytes_from_the_client_stay_inside_their_one_line) {
    test_server server(one_section({"LogConnection", "LogGetdir"}));
    ASSERT_TRUE(server.running());
    auto session = logged_in(server);
    const std::string path =
        "/Public/a\nb\tc\\d\x7f"
        "e\xc3\xa9";
    EXPECT_EQ(exchange(session, getdir_request(path)).status(), NOT_FOUND);
    end_by_server(session);
    visit(server, "ev\ril@te\x01st");

    const auto lines = log_lines(server, "journal.log");
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_LINE(lines[0], request_pattern(connect_line('o')));
    // Escaped: below 0x20, 0x7f and the backslash; bytes above 0x7f stand as they are.
    const std::string escaped = "/Public/a\\x0ab\\x09c\\x5cd\\x7fe\xc3\xa9";
    expected_line listing = getdir_line(server, escaped, "NOT_FOUND");
    EXPECT_LINE(lines[1], request_pattern(listing));
    expected_line forged = connect_line(' ', "WRONG_AUTH");
    forged.user = "ev\\x0dil";
    forged.domain = "te\\x01st";
    EXPECT_LINE(lines[2], request_pattern(forged));
}

TEST(journal, lines_of_concurrent_workers_never_interleave) {
    test_server server(one_section({"LogGetdir"}));
    ASSERT_TRUE(server.running());
    constexpr int clients = 4;
    constexpr int listings = 150;
    // Long lines: a line written in pieces would show torn under this load.
    std::vector<std::string> paths;
    for (int c = 0; c < clients; ++c) {
        std::string path = "/Public";
        for (int part = 0; part < 12; ++part) path += "/" + std::string(200, char('a' + c));
        paths.push_back(path);
    }
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c)
        threads.emplace_back([&, c] {
            auto session = logged_in(server);
            for (int i = 0; i < listings; ++i)
                if (exchange(session, getdir_request(paths[c])).status() != NOT_FOUND) return;
            end_by_server(session);
        });
    for (auto &thread : threads) thread.join();

    const auto lines = log_lines(server, "journal.log");
    ASSERT_EQ(lines.size(), std::size_t(clients * listings));
    std::vector<line_pattern> patterns;
    for (const auto &path : paths)
        patterns.push_back(request_pattern(getdir_line(server, path, "NOT_FOUND")));
    std::map<long, std::map<int, int>> per_session; // session id -> client -> lines
    for (const auto &line : lines) {
        int client = -1;
        std::optional<line_head> head;
        for (int c = 0; c < clients && !head; ++c)
            if ((head = match_line(line, patterns[c]))) client = c;
        ASSERT_TRUE(head.has_value()) << "torn or foreign line: " << line.substr(0, 200);
        ++per_session[head->session][client];
    }
    ASSERT_EQ(per_session.size(), std::size_t(clients)); // one worker per connection
    for (const auto &[session, counts] : per_session) {
        ASSERT_EQ(counts.size(), 1u) << "session " << session << " logged other clients' paths";
        EXPECT_EQ(counts.begin()->second, listings);
    }
}

// The failregex lines of the fail2ban filter we ship, with <HOST> capturing the address.
std::vector<std::regex> fail2ban_patterns() {
    std::ifstream filter(std::string(TVN_SOURCE_DIR) + "/conf/fail2ban/tolvane.conf");
    std::vector<std::regex> patterns;
    bool in_failregex = false;
    for (std::string line; std::getline(filter, line);) {
        if (line.rfind("failregex = ", 0) == 0) {
            in_failregex = true;
            line.erase(0, std::string("failregex = ").size());
        } else if (!in_failregex || line.empty() || (line[0] != ' ' && line[0] != '\t')) {
            in_failregex = false;
            continue;
        }
        line.erase(0, line.find_first_not_of(' '));
        const size_t host = line.find("<HOST>");
        if (host != std::string::npos) line.replace(host, 6, "(\\S+)");
        patterns.emplace_back(line);
    }
    return patterns;
}

TEST(journal, the_shipped_fail2ban_filter_takes_refused_logins_and_nothing_else) {
    server_options options = one_section({"LogConnection", "LogDisconnect", "LogGetdir"});
    options.server_lines = "FailedLoginDelay 0\nMaxFailedLoginsPerAddress 1\n";
    test_server server(options);
    {
        connection good = logged_in(server);
        EXPECT_EQ(exchange(good, getdir_request("/")).status(), OK);
    }
    for (int i = 0; i < 2; ++i) {
        connection failed = connect_to(server);
        EXPECT_EQ(
            exchange(failed, connect_request("tester\tx from ip 10.9.9.9 @test", "wrong")).status(),
            WRONG_AUTH);
        EXPECT_TRUE(failed.wait_closed(5s));
    }
    connection shut_out = connect_to(server);
    EXPECT_TRUE(closed_without_answer(shut_out, connect_request("tester@test", "secret")));

    const std::vector<std::regex> patterns = fail2ban_patterns();
    ASSERT_EQ(patterns.size(), 2u);
    std::vector<std::string> lines;
    ASSERT_TRUE(
        wait_until([&] { return (lines = log_lines(server, "journal.log")).size() >= 8; }, 10s));
    int matched = 0;
    for (const std::string &line : lines) {
        const std::string after_date = line.substr(24); // fail2ban matches after the date
        for (const std::regex &pattern : patterns) {
            std::smatch found;
            if (!std::regex_search(after_date, found, pattern)) continue;
            ++matched;
            EXPECT_EQ(found[1].str(), "127.0.0.1") << line;
            EXPECT_TRUE(line.find("WRONG_AUTH") != std::string::npos ||
                        line.find("Too many refused logins") != std::string::npos)
                << line;
        }
    }
    EXPECT_EQ(matched, 3); // two refused logins and the connection shut out after them
}

TEST(journal, after_sighup_a_rotated_log_file_gets_the_next_lines) {
    test_server server(one_section({"LogConnection", "LogDisconnect", "LogGetdir"}));
    {
        connection before = logged_in(server);
        EXPECT_EQ(exchange(before, getdir_request("/")).status(), OK);
    }
    ASSERT_TRUE(wait_until([&] { return log_lines(server, "journal.log").size() == 3; }, 10s));
    // Rotation: the file is renamed, then the master is told to reopen.
    std::filesystem::rename(server.root().file("log/journal.log"), server.root().file("log/journal.log.1"));
    ASSERT_EQ(kill(server.pid(), SIGHUP), 0);
    ASSERT_TRUE(wait_until([&] { return server.root().exists("log/journal.log"); }, 10s));
    // Every worker forked before the signal reopens too: several sessions in a row reach more
    // than one of them.
    for (int i = 0; i < 7; ++i) {
        connection after = logged_in(server);
        EXPECT_EQ(exchange(after, getdir_request("/")).status(), OK);
    }
    EXPECT_TRUE(wait_until([&] { return log_lines(server, "journal.log").size() == 21; }, 10s))
        << log_lines(server, "journal.log").size();
    EXPECT_EQ(log_lines(server, "journal.log.1").size(), 3u);
    EXPECT_EQ(kill(server.pid(), 0), 0); // the master goes on
}

TEST(journal, configuration_errors_stop_the_module) {
    const std::string valid = section("@ROOT@log/journal.log", {"LogGetdir"});
    const struct {
        std::string sections;
        std::string reason;
    } cases[] = {
        {"<module mod_log>\n" + section("@ROOT@log/journal.log", {"LogEverything yes"}) +
             "</module>\n",
         "Unknown field LogEverything\n"},
        {"<module mod_log>\n" + valid + section("@ROOT@log/other.log", {"Logging yes"}) +
             "</module>\n",
         "Unknown field Logging\n"},
        {"<module mod_log>\n    LoggingFile @ROOT@log/journal.log\n</module>\n", ""},
        {"<module mod_other>\n" + valid + "</module>\n",
         "I can't find <module mod_log> section, I can't go on\n"},
    };
    for (const auto &c : cases) {
        server_options options = journal_options("", false);
        options.module_sections = c.sections;
        test_server laid_out(options); // root, libraries and configuration, not started
        launched_server daemon(laid_out.root());
        daemon.start();
        EXPECT_EQ(daemon.wait_exit(), 1) << c.sections;
        const std::string output = laid_out.output();
        EXPECT_NE(output.find(c.reason), std::string::npos) << output;
        EXPECT_NE(output.find("Can't read config file for mod_log module\n"), std::string::npos)
            << output;
    }
    // The same server with a valid section starts: the failures above are the sections' own.
    test_server server(journal_options(valid));
    EXPECT_TRUE(server.running()) << server.output();
}

} // namespace
