// The configuration-file reader of the utility library: lines, words, tags and sections.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "utils.h"

namespace {

struct stream_closer {
    void operator()(FILE *file) const { std::fclose(file); }
};
using stream = std::unique_ptr<FILE, stream_closer>;

// A stream holding text, positioned at its start.
stream stream_of(const std::string &text) {
    stream file(std::tmpfile());
    std::fwrite(text.data(), 1, text.size(), file.get());
    std::rewind(file.get());
    return file;
}

// ---- readline ------------------------------------------------------------------------------

TEST(readline_test, reads_lines_of_a_file_and_the_last_one_without_a_line_feed) {
    stream file = stream_of("first\n\nlast");
    line_buffer line(100);
    EXPECT_EQ(readline(file.get(), '\n', line.size, &line.text, 1), 100);
    EXPECT_STREQ(line.text, "first");
    line.clear();
    EXPECT_EQ(readline(file.get(), '\n', line.size, &line.text, 1), 100);
    EXPECT_STREQ(line.text, "");
    line.clear();
    EXPECT_EQ(readline(file.get(), '\n', line.size, &line.text, 1), 100);
    EXPECT_STREQ(line.text, "last");
    line.clear();
    EXPECT_EQ(readline(file.get(), '\n', line.size, &line.text, 1), -1);
}

TEST(readline_test, an_empty_file_gives_minus_one_at_once) {
    stream file = stream_of("");
    line_buffer line(100);
    EXPECT_EQ(readline(file.get(), '\n', line.size, &line.text, 1), -1);
}

TEST(readline_test, a_carriage_return_stays_part_of_the_line) {
    stream file = stream_of("key value\r\n");
    line_buffer line(100);
    ASSERT_EQ(readline(file.get(), '\n', line.size, &line.text, 1), 100);
    EXPECT_STREQ(line.text, "key value\r");
}

TEST(readline_test, a_long_line_doubles_the_buffer_and_the_size_says_so) {
    struct case_row {
        std::size_t length;
        long size;
    };
    for (const case_row row : {case_row{99, 100}, case_row{100, 200}, case_row{199, 200},
                               case_row{200, 400}, case_row{250, 400}, case_row{1000, 1600}}) {
        std::string text;
        for (std::size_t i = 0; i < row.length; ++i) text += char('a' + i % 26);
        stream file = stream_of(text + "\nnext\n");
        line_buffer line(100);
        const long size = readline(file.get(), '\n', line.size, &line.text, 1);
        ASSERT_EQ(size, row.size) << row.length;
        line.size = size;
        EXPECT_EQ(std::string(line.text), text);
        // The rest of the grown block is zero: the line stays terminated.
        for (long i = long(row.length); i < size; ++i) ASSERT_EQ(line.text[i], '\0') << i;
        line.clear();
        EXPECT_EQ(readline(file.get(), '\n', line.size, &line.text, 1), line.size);
        EXPECT_STREQ(line.text, "next");
    }
}

TEST(readline_test, a_zero_byte_in_a_file_never_lets_the_line_run_past_the_block) {
    const std::string text = std::string("ab\0", 3) + std::string(300, 'x');
    stream file = stream_of(text + "\n");
    line_buffer line(8);
    const long size = readline(file.get(), '\n', line.size, &line.text, 1);
    ASSERT_EQ(size, 512);
    EXPECT_EQ(std::memcmp(line.text, text.data(), text.size()), 0);
    EXPECT_EQ(line.text[text.size()], '\0');
}

TEST(readline_test, reading_fields_of_a_string) {
    struct case_row {
        const char *text;
        char term;
        long result; // 35 (the size) or -1
        const char *field;
    };
    const case_row rows[] = {
        {"first!second!", '!', 35, "first"},
        {"!rest!", '!', 35, ""},
        {"no terminator", '!', -1, nullptr},
        {"line\nfeed!", '!', -1, nullptr},
        {"", '!', -1, nullptr},
        {"up to a line feed\nrest", '\n', 35, "up to a line feed"},
    };
    for (const case_row &row : rows) {
        line_buffer field(35);
        EXPECT_EQ(readline(row.text, row.term, field.size, &field.text, 0), row.result) << row.text;
        if (row.field != nullptr) {
            EXPECT_STREQ(field.text, row.field) << row.text;
        }
    }
    line_buffer field(35);
    EXPECT_EQ(readline(nullptr, '!', field.size, &field.text, 0), -1);
}

TEST(readline_test, a_long_field_of_a_string_grows_the_buffer_too) {
    const std::string text = std::string(120, 'h') + "!next!";
    line_buffer field(50);
    EXPECT_EQ(readline(text.c_str(), '!', field.size, &field.text, 0), 200);
    EXPECT_EQ(std::string(field.text), std::string(120, 'h'));
}

// ---- read_word -----------------------------------------------------------------------------

TEST(read_word_test, splits_a_line_into_key_and_value) {
    struct case_row {
        const char *line;
        const char *key;
        const char *value;
    };
    const case_row rows[] = {
        {"LogFile   /var/log/x further words", "LogFile", "/var/log/x"},
        {"\t  Key\tValue", "Key", "Value"},
        {"PasswdFile \"/path with blanks/db\" ignored", "PasswdFile", "/path with blanks/db"},
        {"PasswdFile \"/no closing quote at all", "PasswdFile", "/no closing quote at all"},
        {"OnlyKey", "OnlyKey", ""},
        {"OnlyKey   ", "OnlyKey", ""},
        {"   \t ", "", ""},
        {"", "", ""},
        {"Key \"quoted\"", "Key", "quoted"},
        {"Key value\r", "Key", "value\r"},
        // The character right after a closing quote is stepped over unseen.
        {"\"quoted key\"Xvalue", "quoted key", "value"},
        {"\"quoted key\" value", "quoted key", "value"},
        {"\"\" value", "", "value"},
    };
    for (const case_row &sample : rows) {
        std::string line = sample.line;
        row words{};
        read_word(line.data(), &words);
        EXPECT_STREQ(words.text[0], sample.key) << '"' << sample.line << '"';
        EXPECT_STREQ(words.text[1], sample.value) << '"' << sample.line << '"';
    }
}

TEST(read_word_test, the_words_point_into_the_line) {
    char line[] = "Key Value";
    row words{};
    read_word(line, &words);
    EXPECT_EQ(words.text[0], line);
    EXPECT_EQ(words.text[1], line + 4);
}

// ---- find_tag ------------------------------------------------------------------------------

TEST(find_tag_test, recognises_tags_blank_lines_and_comments) {
    struct case_row {
        const char *line;
        const char *target;
        int result;
    };
    const case_row rows[] = {
        {"", "/module", -1},
        {" \t  ", "VirtualDomain", -1},
        {"   # <VirtualDomain x>", "VirtualDomain", -1},
        {"#", "/module", -1},
        {"</module>", "/module", 1},
        {"  </module>  trailing text", "/module", 1},
        {"</ module >", "/module", 1},
        {"<module mod_virtual_users>", "/module", 0},
        {"</VirtualDomain>", "VirtualDomain", 0},
        {"<VirtualDomain example with more words>", "VirtualDomain", 1},
        {"<VirtualDomain example", "VirtualDomain", 0},
        {"<VirtualDomain>", "VirtualDomain", 1},
        {"<VirtualDomainX example>", "VirtualDomain", 0},
        // The first letter of an opening tag's word is not compared.
        {"<XirtualDomain example>", "VirtualDomain", 1},
        {"< VirtualDomain example>", "VirtualDomain", 0},
        {"Key value", "VirtualDomain", 0},
        {"</VirtualDomain>", "/VirtualDomain", 1},
        {"</module>", "/VirtualDomain", 0},
        // A line that ends inside a tag names none.
        {"<", "VirtualDomain", 0},
        {"<", "/module", 0},
        {"<V", "VirtualDomain", 0},
        {"</", "/module", 0},
    };
    for (const case_row &row : rows)
        EXPECT_EQ(find_tag(row.line, row.target), row.result)
            << '"' << row.line << "\" against " << row.target;
}

// ---- scan_line -----------------------------------------------------------------------------

TEST(scan_line_test, finds_the_opening_tag_of_a_section) {
    struct case_row {
        const char *line;
        int result;
    };
    const case_row rows[] = {
        {"<module mod_log>", 0},
        {"<   module   mod_log   >", 0},
        {"\t< module\tmod_log >  text after the tag", 0},
        {"   <module mod_log>", 0},
        {"<modules mod_log>", -1},
        {"<module mod_logs>", -1},
        {"<module mod_lo>", -1},
        {"<module mod_log", -1},
        {"<module mod_log x>", -1},
        {"module mod_log>", -1},
        {"<module>", -1},
        {"", -1},
    };
    for (const case_row &row : rows)
        EXPECT_EQ(scan_line(row.line, "module", "mod_log"), row.result) << row.line;
}

TEST(scan_line_test, words_are_cut_after_twenty_characters) {
    const std::string twenty = "abcdefghijklmnopqrst";
    EXPECT_EQ(scan_line(("<module " + twenty + ">").c_str(), "module", twenty.c_str()), 0);
    const std::string twenty_one = twenty + "u";
    EXPECT_EQ(scan_line(("<module " + twenty_one + ">").c_str(), "module", twenty_one.c_str()), -1);
    // A longer word whose first twenty characters match is no match either.
    EXPECT_EQ(scan_line(("<module " + twenty_one + ">").c_str(), "module", twenty.c_str()), -1);
}

// ---- search_module -------------------------------------------------------------------------

std::string next_line(FILE *file) {
    line_buffer line(100);
    if (readline(file, '\n', line.size, &line.text, 1) == -1) return "<end>";
    return line.text;
}

TEST(search_module_test, skips_everything_before_the_section_and_stands_on_its_first_line) {
    stream file = stream_of(
        "<Server>\n  LoadModule journal.so\n</Server>\n"
        "<module mod_other>\nLogFile other\n</module>\n"
        "<\n<module\n"
        "  <  module   mod_log  > trailing\n"
        "LogFile first\n</module>\n"
        "<module mod_log>\nLogFile second\n");
    testing::internal::CaptureStdout();
    EXPECT_EQ(search_module(file.get(), "mod_log"), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(next_line(file.get()), "LogFile first");
}

TEST(search_module_test, a_missing_section_is_reported) {
    struct case_row {
        const char *text;
        const char *name;
    };
    const case_row rows[] = {
        {"<Server>\n</Server>\n<module mod_other>\n</module>\n", "mod_log"},
        {"", "mod_log"},
        {"<module mod_log\nLogFile x\n", "mod_log"},
        {"<moduleX mod_log>\n", "mod_log"},
        // A name of 21 characters can never be found, even where its tag stands.
        {"<module abcdefghijklmnopqrstu>\nkey value\n", "abcdefghijklmnopqrstu"},
    };
    for (const case_row &row : rows) {
        stream file = stream_of(row.text);
        testing::internal::CaptureStdout();
        EXPECT_EQ(search_module(file.get(), row.name), -1) << row.text;
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  std::string("I can't find <module ") + row.name + "> section, I can't go on\n");
        EXPECT_EQ(next_line(file.get()), "<end>");
    }
}

} // namespace
