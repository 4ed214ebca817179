// The client library's pipelined transfers against the real server: refusals at the first
// request and on the way, each named with its request and position, after which the session
// goes on; and 50 MB both ways over TLS with tvnclient.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "client_session.h"
#include "tls_fixture.h"
#include "tolvane/transfer.h"

namespace fs = std::filesystem;

namespace {

using namespace tvn_test;
using namespace tvn_test::cli;
using namespace tvn_client;

class transfer_library_test : public tvnclient_fixture {
protected:
    // OPEN on the session; the handle, or 0 after a failed expectation.
    std::uint32_t open_file(connection &link, const std::string &path, std::uint32_t mode) {
        const answer opened = exchange(link, open_request(path, mode));
        EXPECT_EQ(opened.status(), OK) << path;
        return opened.param_u32(4).value_or(0);
    }
    // The session still answers requests as their own: nothing of a transfer is left over.
    void expect_usable(connection &link, std::uint32_t handle) {
        const answer closed = exchange(link, close_request(handle));
        EXPECT_EQ(closed.method(), CLOSE);
        EXPECT_EQ(closed.status(), OK);
    }
};

data_source from(const std::string &data) {
    return [&data](std::uint64_t offset, std::size_t most) {
        const std::size_t count = std::min<std::size_t>(most, data.size() - offset);
        return std::optional(std::span(reinterpret_cast<const std::uint8_t *>(data.data()) + offset, count));
    };
}

TEST_F(transfer_library_test, a_write_through_a_read_only_handle_is_refused_at_its_first_request) {
    write_file(area("Private/kept.txt"), "unchanged");
    connection link = logged_in(server);
    const std::uint32_t handle = open_file(link, "/Private/kept.txt", open_mode::read_only);
    const std::string data = random_bytes(3'000'000, 21);
    const transfer_report report = write_file(link, handle, 0, from(data));
    EXPECT_EQ(report.outcome, transfer_outcome::refused);
    EXPECT_EQ(report.failed_request, 0u);
    EXPECT_EQ(report.failed_offset, 0u);
    EXPECT_EQ(report.status, INVALID_HANDLE);
    EXPECT_EQ(report.end, 0u);
    expect_usable(link, handle);
    EXPECT_EQ(read_file(area("Private/kept.txt")), "unchanged");
}

TEST_F(transfer_library_test, a_read_of_a_directory_is_refused_and_the_session_goes_on) {
    fs::create_directories(area("Private/dir"));
    connection link = logged_in(server);
    const std::uint32_t handle = open_file(link, "/Private/dir", open_mode::read_only);
    std::size_t delivered = 0;
    const transfer_report report = read_file(
        link, handle, {0, 4096, std::nullopt},
        [&](std::span<const std::uint8_t> data) {
            delivered += data.size();
            return true;
        });
    EXPECT_EQ(report.outcome, transfer_outcome::refused);
    EXPECT_EQ(report.status, ACCESS_DENIED);
    EXPECT_EQ(report.failed_request, 0u);
    EXPECT_EQ(delivered, 0u);
    expect_usable(link, handle);
}

TEST_F(transfer_library_test, a_file_removed_while_its_handle_waits_is_refused_and_the_rest_drained) {
    // Of a connection's handles only the 20 used last keep a descriptor; the others are
    // opened again by name when used, and a file removed meanwhile is gone.
    const std::string content = random_bytes(4'000'000, 22);
    write_file(area("Private/gone.bin"), content);
    connection link = logged_in(server);
    const std::uint32_t handle = open_file(link, "/Private/gone.bin", open_mode::read_only);
    std::vector<std::uint32_t> others;
    for (int i = 0; i < 20; ++i) {
        write_file(area("Private/other" + std::to_string(i)), "x");
        others.push_back(open_file(link, "/Private/other" + std::to_string(i), open_mode::read_only));
    }
    fs::remove(area("Private/gone.bin"));
    const transfer_report report = read_file(
        link, handle, {0, content.size(), std::nullopt},
        [](std::span<const std::uint8_t>) { return true; });
    EXPECT_EQ(report.outcome, transfer_outcome::refused);
    EXPECT_EQ(report.status, NOT_FOUND);
    EXPECT_EQ(report.failed_request, 0u);
    EXPECT_EQ(report.requests, 8u); // all asked at once; the seven behind it were drained
    expect_usable(link, others.back());
}

TEST_F(transfer_library_test, a_resumed_read_and_a_write_at_an_offset_move_only_their_range) {
    const std::string content = random_bytes(3'300'000, 23);
    write_file(area("Private/range.bin"), content);
    connection link = logged_in(server);
    const std::uint32_t reading = open_file(link, "/Private/range.bin", open_mode::read_only);
    std::string got;
    const transfer_report read = read_file(
        link, reading, {1'234'567, content.size(), 3'000'000},
        [&](std::span<const std::uint8_t> data) {
            got.append(reinterpret_cast<const char *>(data.data()), data.size());
            return true;
        });
    EXPECT_EQ(read.outcome, transfer_outcome::complete);
    EXPECT_EQ(read.end, 3'000'000u);
    EXPECT_EQ(got, content.substr(1'234'567, 3'000'000 - 1'234'567));
    expect_usable(link, reading);

    const std::uint32_t writing = open_file(link, "/Private/range.bin", open_mode::write_only);
    const std::string tail = random_bytes(1'700'000, 24);
    const transfer_report written = write_file(
        link, writing, 2'000'000,
        [&](std::uint64_t offset, std::size_t most) {
            const std::size_t from = std::size_t(offset - 2'000'000);
            return std::optional(std::span(reinterpret_cast<const std::uint8_t *>(tail.data()) + from,
                                           std::min(most, tail.size() - from)));
        });
    EXPECT_EQ(written.outcome, transfer_outcome::complete);
    EXPECT_EQ(written.end, 3'700'000u);
    expect_usable(link, writing);
    EXPECT_EQ(read_file(area("Private/range.bin")), content.substr(0, 2'000'000) + tail);
}

class transfer_tls_test : public tls::tls_fixture {};

TEST_F(transfer_tls_test, fifty_megabytes_go_up_and_come_back_over_tls_with_the_same_checksum) {
    const std::string original = random_bytes(50'000'000, 25);
    write_file(local("big.bin"), original);
    client_result put = run_tls({"--ca", certificate(), "put", "big.bin", "/Private/"});
    ASSERT_EQ(put.status, 0) << put.err;
    EXPECT_EQ(checksum(read_file(area("Private/big.bin"))), checksum(original));
    client_result get = run_tls({"--ca", certificate(), "get", "/Private/big.bin", "back.bin"});
    ASSERT_EQ(get.status, 0) << get.err;
    EXPECT_EQ(checksum(read_file(local("back.bin"))), checksum(original));
    EXPECT_FALSE(fs::exists(local("back.bin.tvnpart")));
    EXPECT_FALSE(fs::exists(area("Private/big.bin.tvnpart")));
}

TEST_F(transfer_tls_test, a_refused_write_drains_the_tls_stream_and_the_session_goes_on) {
    write_file(area("Private/kept.txt"), "unchanged");
    connection link = tls::tls_connection(tls_port, "127.0.0.1", certificate());
    ASSERT_EQ(exchange(link, connect_request("tester@test", "secret")).status(), OK);
    const answer opened = exchange(link, open_request("/Private/kept.txt", open_mode::read_only));
    const std::uint32_t handle = opened.param_u32(4).value_or(0);
    const std::string data = random_bytes(5'000'000, 26);
    const transfer_report report = write_file(link, handle, 0, from(data));
    EXPECT_EQ(report.outcome, transfer_outcome::refused);
    EXPECT_EQ(report.status, INVALID_HANDLE);
    const answer closed = exchange(link, close_request(handle));
    EXPECT_EQ(closed.method(), CLOSE);
    EXPECT_EQ(closed.status(), OK);
}

} // namespace
