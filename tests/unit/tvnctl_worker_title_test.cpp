// Reading a worker's process title: the connection it serves, or none.
#include <gtest/gtest.h>

#include "worker_title.h"

namespace {

using tvnctl::connection_title;
using tvnctl::describe_login;
using tvnctl::parse_connection_title;

TEST(worker_title, an_owner_session_gives_client_since_method_and_login) {
    const auto connection =
        parse_connection_title("tvn: 127.0.0.1 since 2026-05-01 10:11:12 GETDIR owner tester@test");
    ASSERT_TRUE(connection);
    EXPECT_EQ(connection->client, "127.0.0.1");
    EXPECT_EQ(connection->since, "2026-05-01 10:11:12");
    EXPECT_EQ(connection->method, "GETDIR");
    EXPECT_EQ(connection->kind, "owner");
    EXPECT_EQ(connection->login, "tester@test");
    EXPECT_EQ(describe_login(*connection), "tester@test (owner)");
}

TEST(worker_title, a_connection_before_its_session_is_logging_in) {
    const auto connection = parse_connection_title("tvn: ::1 since 2026-05-01 10:11:12 login - ");
    ASSERT_TRUE(connection);
    EXPECT_EQ(connection->client, "::1");
    EXPECT_EQ(connection->method, "login");
    EXPECT_EQ(describe_login(*connection), "(logging in)");
}

TEST(worker_title, a_login_with_blanks_is_kept_whole_and_control_bytes_are_shown_as_marks) {
    const auto connection =
        parse_connection_title("tvn: 10.0.0.2 since 2026-05-01 10:11:12 READ guest a b@c d");
    ASSERT_TRUE(connection);
    EXPECT_EQ(describe_login(*connection), "a b@c d (guest)");
    EXPECT_EQ(tvnctl::printable("x\x1b[2Jy\x7f"), "x?[2Jy?");
}

TEST(worker_title, titles_of_idle_workers_and_the_master_name_no_connection) {
    for (const char *title : {"tvn: waiting", "tvn: master /srv/tvn/", "", "sshd: root",
                              "tvn: 1.2.3.4 since yesterday GETDIR owner x@y",
                              "tvn: 1.2.3.4 since 2026-05-01 10:11:12"})
        EXPECT_FALSE(parse_connection_title(title)) << title;
}

} // namespace
