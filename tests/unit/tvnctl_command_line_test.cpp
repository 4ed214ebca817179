// tvnctl's command line: the commands, their options, and what is refused.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "command_line.h"
#include "root_layout.h"

namespace {

using tvnctl::command;
using tvnctl::invocation;

// The words of one command line, kept for as long as what was parsed points into them.
class command_words {
public:
    explicit command_words(std::vector<std::string> words) : words_(std::move(words)) {
        words_.insert(words_.begin(), "tvnctl");
        for (std::string &word : words_) argv_.push_back(word.data());
        argv_.push_back(nullptr);
    }
    bool parse(invocation *parsed, std::string *error) {
        return tvnctl::parse_command_line(int(words_.size()), argv_.data(), parsed, error);
    }

private:
    std::vector<std::string> words_;
    std::vector<char *> argv_;
};

TEST(tvnctl_command_line, options_and_root_in_any_order) {
    invocation parsed;
    std::string error;
    command_words words({"stop", "/srv/tvn", "--drain", "--timeout=12"});
    ASSERT_TRUE(words.parse(&parsed, &error)) << error;
    EXPECT_EQ(parsed.what, command::stop);
    EXPECT_TRUE(parsed.drain);
    EXPECT_EQ(parsed.timeout_seconds, 12);
    EXPECT_STREQ(parsed.root, "/srv/tvn");

    invocation started;
    command_words start_words({"start", "--tvn", "/opt/tvn", "--timeout", "5"});
    ASSERT_TRUE(start_words.parse(&started, &error));
    EXPECT_EQ(started.tvn, "/opt/tvn");
    EXPECT_EQ(started.timeout_seconds, 5);
    EXPECT_EQ(started.root, nullptr);
}

TEST(tvnctl_command_line, wrong_commands_and_options_are_refused) {
    const std::vector<std::vector<std::string>> refused{
        {},
        {"restart"},
        {"start", "--drain"},
        {"status", "--timeout", "3"},
        {"run", "--tvn", "/x"},
        {"stop", "--timeout", "0"},
        {"stop", "--timeout", "ten"},
        {"stop", "--timeout"},
        {"check", "-x"},
        {"status", "/a", "/b"},
    };
    for (const auto &words : refused) {
        invocation parsed;
        std::string error;
        EXPECT_FALSE(command_words(words).parse(&parsed, &error))
            << (words.empty() ? "" : words[0]);
        EXPECT_FALSE(error.empty());
    }
}

TEST(tvnctl_command_line, a_root_after_a_double_dash_may_begin_with_a_dash) {
    invocation parsed;
    std::string error;
    command_words words({"status", "--", "-odd"});
    ASSERT_TRUE(words.parse(&parsed, &error)) << error;
    EXPECT_STREQ(parsed.root, "-odd");
}

TEST(tvnctl_server_root, roots_end_in_a_slash_and_default_to_the_installed_one) {
    EXPECT_EQ(tvnctl::server_root(nullptr), "/usr/local/tolvane/");
    EXPECT_EQ(tvnctl::server_root("/srv/tvn"), "/srv/tvn/");
    EXPECT_EQ(tvnctl::server_root("/srv/tvn/"), "/srv/tvn/");
    EXPECT_EQ(tvnctl::server_root("/"), "/");
}

} // namespace
