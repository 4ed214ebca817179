// The shell's completion without a terminal or a server: the word at the cursor, the kind of
// name it wants, matching and quoting, the listing cache and what a command makes stale.
#include <gtest/gtest.h>

#include <map>

#include "tvnclient/completion.h"

namespace {

using namespace tvnclient;

// ---- the word at the cursor -----------------------------------------------------------------

struct word_row {
    std::string typed;
    std::vector<std::string> before;
    std::string text;
    char quote;
};

TEST(client_completion, the_word_at_the_cursor_is_read_as_the_shell_reads_words) {
    const std::vector<word_row> rows = {
        {"", {}, "", 0},
        {"ls", {}, "ls", 0},
        {"ls ", {"ls"}, "", 0},
        {"ls /Pu", {"ls"}, "/Pu", 0},
        {"get  -r   /Public/do", {"get", "-r"}, "/Public/do", 0},
        {"cd two\\ wo", {"cd"}, "two wo", 0},
        {"cd 'two wo", {"cd"}, "two wo", '\''},
        {"cd \"two \\\"q", {"cd"}, "two \"q", '"'},
        {"cd 'a b'/c", {"cd"}, "a b/c", 0},
        {"put 'my file' /Pub", {"put", "my file"}, "/Pub", 0},
        {"ls a\\", {"ls"}, "a", 0},
    };
    for (const word_row &row : rows) {
        const auto word = word_before_cursor(row.typed);
        ASSERT_TRUE(word.has_value()) << row.typed;
        EXPECT_EQ(word->before, row.before) << row.typed;
        EXPECT_EQ(word->text, row.text) << row.typed;
        EXPECT_EQ(word->open_quote, row.quote) << row.typed;
    }
}

TEST(client_completion, nothing_is_completed_inside_a_comment) {
    EXPECT_FALSE(word_before_cursor("# ls /Pu").has_value());
    EXPECT_FALSE(word_before_cursor("ls #/Pu").has_value());
    EXPECT_TRUE(word_before_cursor("ls a#b").has_value());
}

// ---- the kind of name -----------------------------------------------------------------------

struct kind_row {
    std::vector<std::string> before;
    std::string word;
    name_kind kind;
};

TEST(client_completion, each_command_completes_its_operands_as_local_or_remote_paths) {
    const std::vector<kind_row> rows = {
        {{}, "l", name_kind::command},
        {{"ls"}, "", name_kind::remote},
        {{"ls", "-l", "/Public"}, "", name_kind::remote},
        {{"cd"}, "/P", name_kind::remote_directory},
        {{"rmdir", "a"}, "", name_kind::remote_directory},
        {{"cd", "/Public"}, "", name_kind::none},
        {{"get"}, "", name_kind::remote},
        {{"get", "-r", "/Public/docs"}, "", name_kind::local},
        {{"get", "/Public/a", "b"}, "", name_kind::none},
        {{"put"}, "", name_kind::local},
        {{"put", "--", "-odd"}, "", name_kind::remote},
        {{"put", "-r", "site"}, "/W", name_kind::remote},
        {{"lcd"}, "", name_kind::local_directory},
        {{"help"}, "g", name_kind::command},
        {{"rm", "-r", "/a", "/b"}, "/c", name_kind::remote},
        {{"mv", "a", "b"}, "", name_kind::none},
        {{"ls"}, "-l", name_kind::none},
        {{"pwd"}, "", name_kind::none},
        {{"frobnicate"}, "", name_kind::none},
    };
    for (const kind_row &row : rows)
        EXPECT_EQ(kind_of_word(row.before, row.word), row.kind)
            << testing::PrintToString(row.before) << " " << row.word;
}

// ---- matching and quoting -------------------------------------------------------------------

const std::vector<name_entry> public_names = {
    {"hello.txt", false}, {"help", true}, {".hidden", false}, {"docs", true}, {"zeta", false}};

std::vector<std::string> names_of(const std::vector<name_entry> &entries) {
    std::vector<std::string> names;
    for (const auto &entry : entries) names.push_back(entry.name);
    return names;
}

TEST(client_completion, names_match_their_prefix_sorted_and_dot_names_only_when_asked) {
    EXPECT_EQ(names_of(matching_names(public_names, "he", false)),
              (std::vector<std::string>{"hello.txt", "help"}));
    EXPECT_EQ(names_of(matching_names(public_names, "", false)),
              (std::vector<std::string>{"docs", "hello.txt", "help", "zeta"}));
    EXPECT_EQ(names_of(matching_names(public_names, ".", false)),
              (std::vector<std::string>{".hidden"}));
    EXPECT_EQ(names_of(matching_names(public_names, "", true)),
              (std::vector<std::string>{"docs", "help"}));
    const std::vector<name_entry> odd = {{"bell\a", false}, {"bel", false}};
    EXPECT_EQ(names_of(matching_names(odd, "be", false)), (std::vector<std::string>{"bel"}));
}

struct quoting_row {
    std::vector<name_entry> matches;
    std::string prefix;
    char quote;
    std::string insert;
};

TEST(client_completion, one_name_is_completed_whole_and_quoted_as_the_word_needs) {
    const std::vector<quoting_row> rows = {
        {{{"hello.txt", false}}, "he", 0, "llo.txt "},
        {{{"docs", true}}, "d", 0, "ocs/"},
        {{{"two words", true}}, "t", 0, "wo\\ words/"},
        {{{"it's", false}}, "i", 0, "t\\'s "},
        {{{"a#b\\c\"d", false}}, "", 0, "a\\#b\\\\c\\\"d "},
        {{{"two words", false}}, "t", '\'', "wo words' "},
        {{{"it's", false}}, "", '\'', "it'\\''s' "},
        {{{"say \"hi\"", true}}, "s", '"', "ay \\\"hi\\\"/"},
        {{{"back\\slash", false}}, "b", '"', "ack\\\\slash\" "},
    };
    for (const quoting_row &row : rows) {
        const completion made = complete_among(row.matches, row.prefix, row.quote);
        EXPECT_EQ(made.insert, row.insert) << row.matches.front().name;
        EXPECT_TRUE(made.choices.empty());
    }
}

TEST(client_completion, several_names_complete_as_far_as_they_agree_then_show_the_choices) {
    const std::vector<name_entry> two = {{"report-2023.pdf", false}, {"report-2024.pdf", false}};
    EXPECT_EQ(complete_among(two, "r", 0).insert, "eport-202");
    const completion stuck = complete_among(two, "report-202", 0);
    EXPECT_EQ(stuck.insert, "");
    EXPECT_EQ(stuck.choices, (std::vector<std::string>{"report-2023.pdf", "report-2024.pdf"}));
    const std::vector<name_entry> mixed = {{"help", true}, {"hello.txt", false}};
    EXPECT_EQ(complete_among(mixed, "hel", 0).choices,
              (std::vector<std::string>{"help/", "hello.txt"}));
    const completion nothing = complete_among({}, "x", 0);
    EXPECT_TRUE(nothing.insert.empty());
    EXPECT_TRUE(nothing.choices.empty());
}

// ---- the listing cache ----------------------------------------------------------------------

// A server's directories for the cache, counting the listings asked for.
struct fake_server {
    std::map<std::string, std::vector<name_entry>> directories;
    std::map<std::string, int> asked;
    bool reachable = true;

    name_source source() {
        return [this](const std::string &directory, std::vector<name_entry> &names) {
            ++asked[directory];
            if (!reachable) return false;
            const auto found = directories.find(directory);
            names = found == directories.end() ? std::vector<name_entry>{} : found->second;
            return true;
        };
    }
};

TEST(client_completion, each_directory_is_listed_once_and_the_root_never) {
    fake_server server;
    server.directories["/Public"] = public_names;
    listing_cache cache;
    std::vector<name_entry> names;
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(cache.names("/Public", server.source(), names));
        EXPECT_EQ(names.size(), public_names.size());
    }
    // The server spells areas its way whatever the case: one directory.
    ASSERT_TRUE(cache.names("/public", server.source(), names));
    EXPECT_EQ(server.asked["/Public"], 1);
    EXPECT_EQ(server.asked["/public"], 0);
    ASSERT_TRUE(cache.names("/", server.source(), names));
    EXPECT_EQ(names_of(names), (std::vector<std::string>{"Private", "Public", "Web"}));
    EXPECT_EQ(server.asked.count("/"), 0u);
    // A refused listing is kept as empty; one that had no answer is not kept.
    ASSERT_TRUE(cache.names("/Web/secret", server.source(), names));
    EXPECT_TRUE(names.empty());
    EXPECT_TRUE(cache.holds("/Web/secret"));
    server.reachable = false;
    EXPECT_FALSE(cache.names("/Private", server.source(), names));
    EXPECT_FALSE(cache.holds("/Private"));
}

TEST(client_completion, a_change_forgets_its_directory_those_below_and_those_above) {
    fake_server server;
    listing_cache cache;
    std::vector<name_entry> names;
    for (const char *directory : {"/Public", "/Public/docs", "/Public/docs/old", "/Public/docsX",
                                  "/Private", "/Private/docs"})
        ASSERT_TRUE(cache.names(directory, server.source(), names));
    cache.forget("/public/docs");
    EXPECT_FALSE(cache.holds("/Public"));
    EXPECT_FALSE(cache.holds("/Public/docs"));
    EXPECT_FALSE(cache.holds("/Public/docs/old"));
    EXPECT_TRUE(cache.holds("/Public/docsX"));
    EXPECT_TRUE(cache.holds("/Private"));
    EXPECT_TRUE(cache.holds("/Private/docs"));
}

struct change_row {
    std::vector<std::string> words;
    std::vector<std::string> changed;
};

TEST(client_completion, the_commands_that_change_the_tree_name_the_paths_they_touch) {
    const std::vector<change_row> rows = {
        {{"mkdir", "-p", "a/b", "/Private/c"}, {"/Public/a/b", "/Private/c"}},
        {{"rm", "-r", "../Web/x"}, {"/Web/x"}},
        {{"rmdir", "d"}, {"/Public/d"}},
        {{"mv", "a", "/Private/"}, {"/Public/a", "/Private"}},
        {{"cp", "a", "b"}, {"/Public/a", "/Public/b"}},
        {{"put", "local.txt"}, {"/Public"}},
        {{"put", "-r", "site", "/Web/site"}, {"/Web/site"}},
        {{"get", "a", "b"}, {}},
        {{"ls", "a"}, {}},
        {{"cd", "a"}, {}},
        {{}, {}},
    };
    for (const change_row &row : rows)
        EXPECT_EQ(paths_changed_by(row.words, "/Public"), row.changed)
            << testing::PrintToString(row.words);
}

// ---- a whole line ---------------------------------------------------------------------------

class client_completion_line : public testing::Test {
protected:
    client_completion_line() {
        remote.directories["/Public"] = public_names;
        remote.directories["/Public/docs"] = {{"manual.pdf", false}};
        local_entries["."] = {{"notes.txt", false}, {"site", true}, {"sites.txt", false}};
        local_entries["site/"] = {{"index.html", false}};
    }

    completion at(std::string_view typed, std::string_view cwd = "/") {
        completion_sources sources;
        sources.cwd = cwd;
        sources.remote_cache = &cache;
        sources.remote = remote.source();
        sources.local = [this](const std::string &directory, std::vector<name_entry> &names) {
            ++local_asked[directory];
            const auto found = local_entries.find(directory);
            if (found == local_entries.end()) return false;
            names = found->second;
            return true;
        };
        sources.commands = commands;
        return complete_line(typed, sources);
    }

    fake_server remote;
    std::map<std::string, std::vector<name_entry>> local_entries;
    std::map<std::string, int> local_asked;
    listing_cache cache;
    const std::vector<std::string_view> commands = {"ls", "lcd", "lpwd", "get", "put", "help"};
};

TEST_F(client_completion_line, remote_operands_complete_from_the_working_directory_or_a_path) {
    EXPECT_EQ(at("ls /Pu").insert, "blic/");
    EXPECT_EQ(at("ls /Public/he").choices.size(), 0u);
    EXPECT_EQ(at("ls /Public/he").insert, "l");
    EXPECT_EQ(at("get hel", "/Public").choices, (std::vector<std::string>{"hello.txt", "help/"}));
    EXPECT_EQ(at("get hello", "/Public").insert, ".txt ");
    EXPECT_EQ(at("cat docs/m", "/Public").insert, "anual.pdf ");
    EXPECT_EQ(at("cat ../Public/docs/", "/Web").insert, "manual.pdf ");
    EXPECT_EQ(at("cd 'do", "/Public").insert, "cs/");
    EXPECT_EQ(at("cd hel", "/Public").insert, "p/"); // cd wants a directory: help, not hello.txt
    EXPECT_EQ(remote.asked["/Public"], 1);
    EXPECT_EQ(remote.asked["/Public/docs"], 1);
}

TEST_F(client_completion_line, local_operands_complete_from_the_local_directory) {
    EXPECT_EQ(at("put no").insert, "tes.txt ");
    EXPECT_EQ(at("put site/").insert, "index.html ");
    EXPECT_EQ(at("put si").insert, "te");
    EXPECT_EQ(at("lcd si").insert, "te/"); // only directories
    EXPECT_EQ(at("get /Public/hello.txt no").insert, "tes.txt ");
    EXPECT_TRUE(remote.asked.empty());
}

TEST_F(client_completion_line, the_first_word_and_helps_operand_complete_command_names) {
    EXPECT_EQ(at("l").insert, "");
    EXPECT_EQ(at("l").choices, (std::vector<std::string>{"lcd", "lpwd", "ls"}));
    EXPECT_EQ(at("he").insert, "lp ");
    EXPECT_EQ(at("help ge").insert, "t ");
    EXPECT_TRUE(remote.asked.empty());
}

TEST_F(client_completion_line, flags_comments_and_operands_past_the_last_complete_nothing) {
    for (const char *typed : {"ls -", "# ls /Pu", "mv a b c", "pwd ", "frobnicate /P"}) {
        const completion nothing = at(typed);
        EXPECT_TRUE(nothing.insert.empty()) << typed;
        EXPECT_TRUE(nothing.choices.empty()) << typed;
    }
    EXPECT_TRUE(remote.asked.empty());
    EXPECT_TRUE(local_asked.empty());
}

} // namespace
