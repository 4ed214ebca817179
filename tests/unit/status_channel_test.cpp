// The workers' report channel: the record's bytes, its checked decoding, and that the master
// learns the sender from the kernel, never from the record.
#include "status_channel.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "child_guard.h"

namespace {

using namespace tvn_test;

sockaddr_in ipv4(const char *dotted, uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    inet_pton(AF_INET, dotted, &address.sin_addr);
    return address;
}

sockaddr_in6 ipv6(const char *text) {
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    inet_pton(AF_INET6, text, &address.sin6_addr);
    return address;
}

bool same(const status_report &a, const status_report &b) {
    return a.kind == b.kind && a.family == b.family && a.address == b.address;
}

TEST(status_report, the_record_is_kind_family_and_address_bytes) {
    const sockaddr_in client = ipv4("127.0.0.1", 4242);
    const report_bytes bytes =
        encode_report(make_report(MSG_FINISHED, reinterpret_cast<const sockaddr *>(&client)));
    const report_bytes expected{2, 0, 0, 0, AF_INET, 0, 127, 0, 0, 1};
    EXPECT_EQ(bytes, expected);
}

TEST(status_report, ipv4_ipv6_and_no_address_survive_the_channel_encoding) {
    const sockaddr_in four = ipv4("192.0.2.7", 1);
    const sockaddr_in6 six = ipv6("2001:db8::1");
    sockaddr unix_address{};
    unix_address.sa_family = AF_UNIX;
    const struct {
        status_kind kind;
        const sockaddr *address;
        uint16_t family;
    } rows[] = {
        {MSG_ACCEPTED, reinterpret_cast<const sockaddr *>(&four), AF_INET},
        {MSG_FINISHED, reinterpret_cast<const sockaddr *>(&six), AF_INET6},
        {MSG_FINISHED, nullptr, AF_UNSPEC},
        {MSG_WAKE, &unix_address, AF_UNSPEC}, // a family a report cannot carry: no address
    };
    for (const auto &row : rows) {
        const status_report report = make_report(row.kind, row.address);
        EXPECT_EQ(report.family, row.family);
        const report_bytes bytes = encode_report(report);
        status_report decoded;
        ASSERT_TRUE(decode_report(bytes.data(), bytes.size(), &decoded)) << row.family;
        EXPECT_TRUE(same(decoded, report)) << row.family;
    }
    EXPECT_EQ(
        std::memcmp(
            make_report(MSG_ACCEPTED, reinterpret_cast<const sockaddr *>(&six)).address.data(),
            &six.sin6_addr, 16),
        0);
}

TEST(status_report, anything_but_one_well_formed_record_is_refused) {
    const sockaddr_in client = ipv4("10.1.2.3", 80);
    const report_bytes good =
        encode_report(make_report(MSG_ACCEPTED, reinterpret_cast<const sockaddr *>(&client)));
    struct row {
        const char *what;
        size_t at;     // byte to change, or SIZE_MAX for none
        uint8_t value; // its new value
        size_t size;
    };
    const row rows[] = {
        {"empty", SIZE_MAX, 0, 0},
        {"one byte short", SIZE_MAX, 0, STATUS_REPORT_SIZE - 1},
        {"the old eight-byte message", SIZE_MAX, 0, 8},
        {"unknown kind", 0, 4, STATUS_REPORT_SIZE},
        {"kind beyond the low byte", 3, 1, STATUS_REPORT_SIZE},
        {"unknown family", 4, 99, STATUS_REPORT_SIZE},
        {"bytes after an IPv4 address", 6 + 4, 1, STATUS_REPORT_SIZE},
        {"last byte after an IPv4 address", STATUS_REPORT_SIZE - 1, 1, STATUS_REPORT_SIZE},
    };
    for (const auto &r : rows) {
        std::array<uint8_t, STATUS_REPORT_SIZE + 1> bytes{};
        std::copy(good.begin(), good.end(), bytes.begin());
        if (r.at != SIZE_MAX) bytes[r.at] = r.value;
        status_report decoded;
        EXPECT_FALSE(decode_report(bytes.data(), r.size, &decoded)) << r.what;
    }
    std::array<uint8_t, STATUS_REPORT_SIZE + 1> longer{};
    std::copy(good.begin(), good.end(), longer.begin());
    status_report decoded;
    EXPECT_FALSE(decode_report(longer.data(), longer.size(), &decoded)) << "one byte too many";
    report_bytes no_address = encode_report(make_report(MSG_FINISHED, nullptr));
    no_address[6] = 1;
    EXPECT_FALSE(decode_report(no_address.data(), no_address.size(), &decoded))
        << "an address without a family";
}

class status_channel_test : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(open_status_channel(ends), 0) << std::strerror(errno); }
    void TearDown() override {
        for (int fd : ends)
            if (fd >= 0) close(fd);
    }
    int ends[2] = {-1, -1};
};

TEST_F(status_channel_test, the_sender_is_named_by_the_kernel_not_by_the_record) {
    const sockaddr_in client = ipv4("127.0.0.1", 9);
    const status_report sent =
        make_report(MSG_ACCEPTED, reinterpret_cast<const sockaddr *>(&client));
    auto worker = fork_child([&] { return send_report(ends[1], sent) ? 0 : 1; });
    const pid_t worker_pid = worker.pid();
    ASSERT_EQ(worker.wait_exit(10s), 0);
    received_report received;
    ASSERT_EQ(receive_report(ends[0], true, &received), receive_result::report);
    EXPECT_EQ(received.sender, worker_pid);
    EXPECT_TRUE(same(received.report, sent));
    ASSERT_TRUE(send_report(ends[1], sent));
    ASSERT_EQ(receive_report(ends[0], true, &received), receive_result::report);
    EXPECT_EQ(received.sender, getpid());
}

TEST_F(status_channel_test, a_datagram_of_the_wrong_size_is_dropped_and_the_next_one_read) {
    const char junk[] = "12345";
    ASSERT_EQ(send(ends[1], junk, 5, 0), 5);
    report_bytes longer_source = encode_report(make_report(MSG_FINISHED, nullptr));
    std::array<uint8_t, STATUS_REPORT_SIZE + 3> longer{};
    std::copy(longer_source.begin(), longer_source.end(), longer.begin());
    ASSERT_EQ(send(ends[1], longer.data(), longer.size(), 0), ssize_t(longer.size()));
    ASSERT_TRUE(post_report(ends[1], make_report(MSG_FINISHED, nullptr)));
    received_report received;
    EXPECT_EQ(receive_report(ends[0], false, &received), receive_result::dropped);
    EXPECT_EQ(receive_report(ends[0], false, &received), receive_result::dropped);
    ASSERT_EQ(receive_report(ends[0], false, &received), receive_result::report);
    EXPECT_EQ(received.report.kind, MSG_FINISHED);
    EXPECT_EQ(receive_report(ends[0], false, &received), receive_result::nothing);
}

size_t open_descriptors() {
    size_t count = 0;
    DIR *listing = opendir("/proc/self/fd");
    while (listing != nullptr && readdir(listing) != nullptr) ++count;
    if (listing != nullptr) closedir(listing);
    return count;
}

TEST_F(status_channel_test, descriptors_passed_along_are_neither_kept_nor_taken_as_a_report) {
    const report_bytes bytes = encode_report(make_report(MSG_ACCEPTED, nullptr));
    int passed = open("/dev/null", O_RDONLY);
    ASSERT_GE(passed, 0);
    iovec part{const_cast<uint8_t *>(bytes.data()), bytes.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))]{};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr *rights = CMSG_FIRSTHDR(&message);
    rights->cmsg_level = SOL_SOCKET;
    rights->cmsg_type = SCM_RIGHTS;
    rights->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(rights), &passed, sizeof passed);
    ASSERT_EQ(sendmsg(ends[1], &message, 0), ssize_t(bytes.size()));
    close(passed);
    const size_t before = open_descriptors();
    received_report received;
    EXPECT_EQ(receive_report(ends[0], false, &received), receive_result::dropped);
    EXPECT_EQ(open_descriptors(), before);
}

TEST_F(status_channel_test, both_ends_close_on_exec) {
    for (int fd : ends) EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0) << fd;
}

TEST_F(status_channel_test, an_empty_channel_is_reported_as_such_or_waited_on_until_a_signal) {
    received_report received;
    EXPECT_EQ(receive_report(ends[0], false, &received), receive_result::nothing);
    struct sigaction alarm_action {
    }, previous{};
    alarm_action.sa_handler = [](int) {};
    sigemptyset(&alarm_action.sa_mask);
    ASSERT_EQ(sigaction(SIGALRM, &alarm_action, &previous), 0); // no SA_RESTART
    itimerval soon{};
    soon.it_value.tv_usec = 50000;
    setitimer(ITIMER_REAL, &soon, nullptr);
    EXPECT_EQ(receive_report(ends[0], true, &received), receive_result::interrupted);
    sigaction(SIGALRM, &previous, nullptr);
}

TEST_F(status_channel_test, a_worker_whose_master_is_gone_cannot_report) {
    close(ends[0]);
    ends[0] = -1;
    EXPECT_FALSE(send_report(ends[1], make_report(MSG_FINISHED, nullptr)));
    EXPECT_FALSE(post_report(ends[1], status_report{}));
}

} // namespace
