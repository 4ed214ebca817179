// What tvnctl reads in the server's output file: the listening lines, the warnings, and the
// reasons of a failed start.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "output_file.h"

namespace {

using strings = std::vector<std::string>;

const std::string BANNER =
    "***********************************************************\n\n"
    "                   TOLVANE SERVER\n\n"
    "***********************************************************\n\n"
    "Configuring TOLVANE SERVER...";

TEST(output_file, a_started_server_shows_its_listening_lines_and_warnings) {
    const std::string output = BANNER +
                               "..OK\nLoading module library /r/lib/pathmap.so ...ok\n"
                               "warning: no account module is loaded\n"
                               "listening on 127.0.0.1:7070\nlistening on [::1]:7070\n\n";
    EXPECT_EQ(tvnctl::listening_lines(output),
              (strings{"listening on 127.0.0.1:7070", "listening on [::1]:7070"}));
    EXPECT_EQ(tvnctl::warning_lines(output), strings{"warning: no account module is loaded"});
}

TEST(output_file, the_reasons_of_a_failed_start_leave_out_banner_and_progress) {
    const std::string output = BANNER +
                               "..OK\nLoading module library /r/lib/pathmap.so ...ok\n"
                               "listening on 127.0.0.1:7070\n"
                               "\nKeep Attention: the address is already in use, I can't go on.\n\n"
                               "Can't listen on [::1]:7070: Address already in use\n\n\n"
                               "Shutting down 'tolvane server'...\n\n... done\n\n";
    EXPECT_EQ(tvnctl::reason_lines(output),
              (strings{"listening on 127.0.0.1:7070",
                       "Keep Attention: the address is already in use, I can't go on.",
                       "Can't listen on [::1]:7070: Address already in use"}));
}

TEST(output_file, a_configuration_error_is_its_own_reason) {
    const std::string output = BANNER +
                               "\nUnknown field Bogus, control your server configuration file\n"
                               "\nError configuring the server. I can't go on!\n\n";
    EXPECT_EQ(tvnctl::reason_lines(output),
              (strings{"Unknown field Bogus, control your server configuration file",
                       "Error configuring the server. I can't go on!"}));
}

TEST(output_file, without_a_banner_every_line_is_a_reason) {
    EXPECT_EQ(tvnctl::reason_lines("Can't load /r/lib/tolvane.so\n\n"),
              strings{"Can't load /r/lib/tolvane.so"});
}

} // namespace
