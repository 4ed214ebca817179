// tvnclient's pipelined transfers end to end: large files both ways, the window's bound as a
// relay between client and server counts it, a download whose file shrinks on the way, and
// uploads that stop on the way (Ctrl-C, a killed client, a cut connection) keeping their part
// for put --continue.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>

#include "counting_relay.h"
#include "tolvane/protocol.h"
#include "tolvane/transfer.h"
#include "tvnclient_fixture.h"

namespace fs = std::filesystem;

namespace {

using namespace tvn_test;
using namespace tvn_test::cli;

constexpr std::size_t chunk = 500000;
constexpr std::size_t fifty_mb = 50'000'000;

class tvnclient_pipeline_test : public tvnclient_fixture {
protected:
    // Arguments that send tvnclient through the relay instead of straight to the server.
    static std::vector<std::string> through(const counting_relay &relay,
                                            std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), {"-p", std::to_string(relay.port())});
        return arguments;
    }

    std::uint64_t remote_size(const std::string &relative) {
        std::error_code error;
        const auto size = fs::file_size(area(relative), error);
        return error ? 0 : size;
    }
};

TEST_F(tvnclient_pipeline_test, fifty_megabytes_go_up_and_come_back_with_the_same_checksum) {
    const std::string original = random_bytes(fifty_mb, 11);
    write_file(local("big.bin"), original);
    const std::size_t before_put = journal_size();
    client_result put = run({"put", "big.bin", "/Private/"});
    ASSERT_EQ(put.status, 0) << put.err;
    EXPECT_EQ(checksum(read_file(area("Private/big.bin"))), checksum(original));
    EXPECT_FALSE(fs::exists(area("Private/big.bin.tvnpart")));
    EXPECT_EQ(count_of(journal_methods(before_put), WRITE), fifty_mb / chunk);

    const std::size_t before_get = journal_size();
    client_result get = run({"get", "/Private/big.bin", "back.bin"});
    ASSERT_EQ(get.status, 0) << get.err;
    EXPECT_EQ(checksum(read_file(local("back.bin"))), checksum(original));
    EXPECT_FALSE(fs::exists(local("back.bin.tvnpart")));
    // A whole number of chunks: one READ more finds the end.
    EXPECT_EQ(count_of(journal_methods(before_get), READ), fifty_mb / chunk + 1);

    client_result cat = run({"cat", "/Private/big.bin"});
    ASSERT_EQ(cat.status, 0) << cat.err;
    EXPECT_EQ(checksum(cat.out), checksum(original));
}

TEST_F(tvnclient_pipeline_test, the_requests_in_flight_never_exceed_the_window) {
    const std::string original = random_bytes(20'000'000, 12);
    write_file(local("data.bin"), original);
    write_file(area("Private/data.bin"), original);
    struct row {
        std::vector<std::string> window; // the option, if any
        std::uint64_t bound;             // window / chunk
        std::uint64_t at_least;
    };
    const std::vector<row> rows{
        {{}, tvn_client::default_window / chunk, 2},
        {{"--window", "2000000"}, 4, 2},
        {{"--window=1200K"}, 2, 2},
        // One chunk: every request waits for the answer of the one before.
        {{"--window", "500000"}, 1, 1},
        // Smaller than a chunk: requests of the window's size, one at a time.
        {{"--window", "64K"}, 1, 1},
    };
    for (const row &one : rows) {
        const std::string name = one.window.empty() ? "default" : one.window.back();
        for (const char *command : {"get", "put"}) {
            counting_relay relay(server.port());
            std::vector<std::string> arguments = one.window;
            if (std::string(command) == "get")
                arguments.insert(arguments.end(), {"get", "/Private/data.bin", "copy.bin"});
            else
                arguments.insert(arguments.end(), {"put", "data.bin", "/Private/up.bin"});
            client_result result = run(through(relay, arguments));
            ASSERT_EQ(result.status, 0) << name << " " << command << ": " << result.err;
            EXPECT_LE(relay.max_in_flight(), one.bound) << name << " " << command;
            EXPECT_GE(relay.max_in_flight(), one.at_least) << name << " " << command;
        }
        EXPECT_EQ(checksum(read_file(local("copy.bin"))), checksum(original)) << name;
        EXPECT_EQ(checksum(read_file(area("Private/up.bin"))), checksum(original)) << name;
    }
}

TEST_F(tvnclient_pipeline_test, a_window_that_is_no_size_is_a_usage_error) {
    for (const char *value : {"0", "4095", "2G", "12X", "-1", ""}) {
        client_result result = run({"--window", value, "ls", "/"});
        EXPECT_EQ(result.status, 2) << value;
        EXPECT_EQ(result.err.rfind("tvnclient: --window: not a size from 4K to 1G: ", 0), 0u)
            << result.err;
    }
    EXPECT_EQ(run({"--window"}).status, 2);
}

TEST_F(tvnclient_pipeline_test, a_file_that_shrinks_during_the_download_fails_and_leaves_nothing) {
    write_file(area("Private/log.bin"), random_bytes(20'000'000, 13));
    const std::string path = area("Private/log.bin");
    // Cut short on the server while the tenth answer is on its way: the READs behind it
    // come back empty.
    counting_relay relay(server.port(), [&](std::uint8_t method, std::uint64_t number) {
        if (method == READ && number == 10) fs::resize_file(path, 1'000'000);
    });
    client_result get = run(through(relay, {"--window", "2M", "get", "/Private/log.bin", "log.bin"}));
    EXPECT_EQ(get.status, 1);
    EXPECT_EQ(get.err.rfind("tvnclient: /Private/log.bin: the file shrank on the server during "
                            "the transfer (it ended at byte ",
                            0),
              0u)
        << get.err;
    EXPECT_NE(get.err.find(" of 20000000)\n"), std::string::npos) << get.err;
    EXPECT_FALSE(fs::exists(local("log.bin")));
    EXPECT_FALSE(fs::exists(local("log.bin.tvnpart")));
}

TEST_F(tvnclient_pipeline_test, ctrl_c_during_a_put_keeps_the_part_and_put_continue_finishes_it) {
    const std::string original = random_bytes(fifty_mb, 14);
    write_file(local("big.bin"), original);
    std::atomic<pid_t> client{0};
    counting_relay relay(server.port(), [&](std::uint8_t method, std::uint64_t number) {
        if (method == WRITE && number == 20 && client > 0) kill(client, SIGINT);
    });
    client_process put(settings(through(relay, {"put", "big.bin", "/Private/big.bin"})));
    client = put.pid();
    EXPECT_EQ(put.wait_exit(), 130);
    EXPECT_EQ(put.err(), "tvnclient: /Private/big.bin: interrupted; partial upload kept as "
                         "/Private/big.bin.tvnpart; resume with: tvnclient put --continue big.bin "
                         "/Private/big.bin\n");
    EXPECT_FALSE(fs::exists(area("Private/big.bin")));
    // What the server confirmed, whole chunks of the file's head.
    const std::uint64_t kept = remote_size("Private/big.bin.tvnpart");
    EXPECT_GE(kept, 21 * chunk);
    EXPECT_LT(kept, fifty_mb);
    EXPECT_EQ(kept % chunk, 0u);
    EXPECT_EQ(read_file(area("Private/big.bin.tvnpart")), original.substr(0, kept));

    const std::size_t before = journal_size();
    client_result resumed = run({"put", "--continue", "big.bin", "/Private/big.bin"});
    ASSERT_EQ(resumed.status, 0) << resumed.err;
    EXPECT_EQ(checksum(read_file(area("Private/big.bin"))), checksum(original));
    EXPECT_FALSE(fs::exists(area("Private/big.bin.tvnpart")));
    EXPECT_EQ(count_of(journal_methods(before), WRITE), (fifty_mb - kept) / chunk);

    // Now whole on the server: --continue leaves it alone.
    const std::size_t again = journal_size();
    ASSERT_EQ(run({"put", "-c", "big.bin", "/Private/big.bin"}).status, 0);
    EXPECT_EQ(count_of(journal_methods(again), WRITE), 0u);
}

TEST_F(tvnclient_pipeline_test, a_put_killed_halfway_resumes_to_the_same_checksum) {
    const std::string original = random_bytes(fifty_mb, 15);
    write_file(local("film.bin"), original);
    std::atomic<pid_t> client{0};
    counting_relay relay(server.port(), [&](std::uint8_t method, std::uint64_t number) {
        if (method == WRITE && number == 40 && client > 0) kill(client, SIGKILL);
    });
    {
        client_process put(settings(through(relay, {"put", "film.bin", "/Private/"})));
        client = put.pid();
        EXPECT_EQ(put.wait_exit(), 128 + SIGKILL);
    }
    EXPECT_FALSE(fs::exists(area("Private/film.bin")));
    // The server wrote every WRITE it read whole.
    ASSERT_TRUE(wait_until([&] { return remote_size("Private/film.bin.tvnpart") >= 41 * chunk; }, 10s));
    const std::uint64_t kept = remote_size("Private/film.bin.tvnpart");
    EXPECT_LT(kept, fifty_mb);

    client_result resumed = run({"put", "--continue", "film.bin", "/Private/"});
    ASSERT_EQ(resumed.status, 0) << resumed.err;
    EXPECT_EQ(checksum(read_file(area("Private/film.bin"))), checksum(original));
    EXPECT_FALSE(fs::exists(area("Private/film.bin.tvnpart")));
}

TEST_F(tvnclient_pipeline_test, a_connection_lost_during_a_put_keeps_the_part_for_a_resume) {
    const std::string original = random_bytes(20'000'000, 16);
    write_file(local("a b.bin"), original);
    counting_relay *cutter = nullptr;
    counting_relay relay(server.port(), [&](std::uint8_t method, std::uint64_t number) {
        if (method == WRITE && number == 10) cutter->cut();
    });
    cutter = &relay;
    client_result put = run(through(relay, {"put", "a b.bin", "/Private/"}));
    EXPECT_EQ(put.status, 6);
    EXPECT_EQ(put.err, "tvnclient: /Private/a b.bin: server closed the connection; partial upload "
                       "kept as /Private/a b.bin.tvnpart; resume with: tvnclient put --continue "
                       "'a b.bin' '/Private/a b.bin'\n");
    EXPECT_TRUE(fs::exists(area("Private/a b.bin.tvnpart")));
    EXPECT_FALSE(fs::exists(area("Private/a b.bin")));
    client_result resumed = run({"put", "--continue", "a b.bin", "/Private/a b.bin"});
    ASSERT_EQ(resumed.status, 0) << resumed.err;
    EXPECT_EQ(checksum(read_file(area("Private/a b.bin"))), checksum(original));
}

TEST_F(tvnclient_pipeline_test, a_tree_put_names_the_tree_in_its_resume_command) {
    fs::create_directories(local("site/img"));
    write_file(local("site/index.html"), "<p>hello</p>\n");
    const std::string picture = random_bytes(20'000'000, 17);
    write_file(local("site/img/big.png"), picture);
    counting_relay *cutter = nullptr;
    counting_relay relay(server.port(), [&](std::uint8_t method, std::uint64_t number) {
        if (method == WRITE && number == 10) cutter->cut();
    });
    cutter = &relay;
    client_result put = run(through(relay, {"put", "-r", "site", "/Web"}));
    EXPECT_EQ(put.status, 6);
    EXPECT_NE(put.err.find("partial upload kept as /Web/site/img/big.png.tvnpart; resume with: "
                           "tvnclient put -r --continue site /Web\n"),
              std::string::npos)
        << put.err;
    client_result resumed = run({"put", "-r", "--continue", "site", "/Web"});
    ASSERT_EQ(resumed.status, 0) << resumed.err;
    EXPECT_EQ(checksum(read_file(area("Web/site/img/big.png"))), checksum(picture));
    EXPECT_EQ(read_file(area("Web/site/index.html")), "<p>hello</p>\n");
    EXPECT_FALSE(fs::exists(area("Web/site/img/big.png.tvnpart")));
}

} // namespace
