// journal: reading the "mod_log" section, choosing a section for a domain, and init_module.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "journal_library.h"
#include "pool.h"

namespace {

using namespace journal_test;

class journal_config_test : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(lib.error.empty()) << lib.error;
        ASSERT_TRUE(dir.ok());
        pool = create_init_pool();
    }
    void TearDown() override { release_init_pool(pool); }

    // Writes conf/tolvane.conf with the text (@DIR@ standing for the scratch directory) and
    // reads it; the module's messages land in `printed`.
    virtual_domain *read(std::string text) {
        for (auto at = text.find("@DIR@"); at != std::string::npos; at = text.find("@DIR@"))
            text.replace(at, 5, dir.file(""));
        std::filesystem::create_directories(dir.file("conf"));
        dir.write("conf/tolvane.conf", text);
        testing::internal::CaptureStdout();
        virtual_domain *list = lib.read_config(pool, dir.file("conf/tolvane.conf").c_str());
        std::fflush(stdout);
        printed = testing::internal::GetCapturedStdout();
        return list;
    }
    static std::set<std::string> aliases(const virtual_domain *record) {
        std::set<std::string> names;
        for (const name_node *a = record->aliases; a != nullptr; a = a->next) names.insert(a->name);
        return names;
    }
    static void close_all(virtual_domain *list) {
        for (; list != nullptr; list = list->next)
            if (list->log_fd >= 0) close(list->log_fd);
    }

    const journal_library &lib = library();
    scratch_dir dir;
    tvn_init_mpool *pool = nullptr;
    std::string printed;
};

constexpr uint32_t bit(unsigned method) { return uint32_t(1) << method; }

TEST_F(journal_config_test, sections_come_last_first_with_their_files_methods_and_aliases) {
    virtual_domain *list = read(
        "<Server>\n    LoadModule journal.so\n</Server>\n"
        "<module mod_virtual_users>\n  <VirtualDomain x>\n    PasswdFile p\n  </VirtualDomain>\n"
        "</module>\n"
        "<module mod_log>\n"
        "    Stray line outside any section\n"
        "\n"
        "    <VirtualDomain first>\n"
        "        LoggingFile @DIR@first.log\n"
        "        # LogDelete\n"
        "\n"
        "        LogGetdir\n"
        "        LogConnection yes\n"
        "    </VirtualDomain>\n"
        "    <VirtualDomain second>\n"
        "        Alias sales\n"
        "        Alias \"two words\"\n"
        "        LogChangePwd no\n"
        "    </VirtualDomain>\n"
        "</module>\n"
        "<module mod_other>\n  <VirtualDomain y>\n    LogEverything\n  </VirtualDomain>\n"
        "</module>\n");
    ASSERT_NE(list, nullptr) << printed;
    EXPECT_EQ(aliases(list), (std::set<std::string>{"sales", "two words"}));
    EXPECT_EQ(list->log_fd, -1); // no LoggingFile: logs nothing
    EXPECT_EQ(list->method_mask, bit(CHANGEPWD));
    const virtual_domain *first = list->next;
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->next, nullptr);
    EXPECT_EQ(first->aliases, nullptr);
    EXPECT_EQ(first->method_mask, bit(GETDIR) | bit(CONNECT));
    ASSERT_GE(first->log_fd, 0);
    // Opened for appending: what is written lands after what the file held.
    dir.write("first.log", "kept\n");
    ASSERT_EQ(write(first->log_fd, "added\n", 6), 6);
    EXPECT_EQ(dir.read("first.log"), "kept\nadded\n");
    EXPECT_TRUE(printed.empty()) << printed;
    close_all(list);
}

TEST_F(journal_config_test, each_log_key_turns_on_its_own_method_and_nothing_else) {
    const std::vector<std::pair<std::string, unsigned>> keys = {
        {"LogConnection", CONNECT}, {"LogDisconnect", DISCONNECT}, {"LogGetdir", GETDIR},
        {"LogOpenFile", OPEN},      {"LogReadFile", READ},         {"LogWriteFile", WRITE},
        {"LogCloseFile", CLOSE},    {"LogDelete", DELETE},         {"LogMakedir", MKDIR},
        {"LogRename", RENAME},      {"LogCopyfile", COPYFILE},     {"LogChangePwd", CHANGEPWD},
        {"LogSetTime", SETTIME},
    };
    for (const auto &[key, method] : keys) {
        virtual_domain record{};
        record.log_fd = -1;
        EXPECT_EQ(lib.put(&record, key.c_str(), "", pool), 0) << key;
        EXPECT_EQ(record.method_mask, bit(method)) << key;
        EXPECT_EQ(record.log_fd, -1) << key;
    }
}

TEST_F(journal_config_test, an_unknown_key_fails_everything_and_leaves_no_file_open) {
    const int before = open_descriptors();
    EXPECT_EQ(read("<module mod_log>\n"
                   "  <VirtualDomain a>\n    LoggingFile @DIR@a.log\n    LogGetdir\n"
                   "  </VirtualDomain>\n"
                   "  <VirtualDomain b>\n    LoggingFile @DIR@b.log\n    LogEverything yes\n"
                   "  </VirtualDomain>\n</module>\n"),
              nullptr);
    EXPECT_EQ(printed, "Unknown field LogEverything\n");
    EXPECT_EQ(open_descriptors(), before);
    // Keys compare with their case.
    EXPECT_EQ(read("<module mod_log>\n  <VirtualDomain a>\n    loggetdir\n  </VirtualDomain>\n"
                   "</module>\n"),
              nullptr);
    EXPECT_EQ(printed, "Unknown field loggetdir\n");
}

TEST_F(journal_config_test, a_missing_file_section_or_virtual_domain_gives_no_list) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(lib.read_config(pool, dir.file("absent.conf").c_str()), nullptr);
    std::fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    EXPECT_EQ(read("<module mod_virtual_users>\n</module>\n"), nullptr);
    EXPECT_EQ(printed, "I can't find <module mod_log> section, I can't go on\n");
    EXPECT_EQ(read("<module mod_log>\n    LoggingFile @DIR@x.log\n    LogGetdir\n</module>\n"),
              nullptr);
    EXPECT_FALSE(std::filesystem::exists(dir.file("x.log")));
    // A VirtualDomain after the end of the module section is not the module's.
    EXPECT_EQ(read("<module mod_log>\n</module>\n"
                   "<VirtualDomain a>\n  LogGetdir\n</VirtualDomain>\n"),
              nullptr);
}

TEST_F(journal_config_test, a_log_file_that_cannot_be_opened_leaves_its_section_silent) {
    virtual_domain *list = read(
        "<module mod_log>\n  <VirtualDomain a>\n"
        "    LoggingFile @DIR@no-such-dir/a.log\n    LogGetdir\n"
        "  </VirtualDomain>\n</module>\n");
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->log_fd, -1);
    EXPECT_EQ(list->method_mask, bit(GETDIR));
}

TEST_F(journal_config_test, a_repeated_logging_file_replaces_the_first_and_closes_it) {
    const int before = open_descriptors();
    virtual_domain *list = read(
        "<module mod_log>\n  <VirtualDomain a>\n"
        "    LoggingFile @DIR@one.log\n    LoggingFile @DIR@two.log\n"
        "  </VirtualDomain>\n</module>\n");
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(open_descriptors(), before + 1);
    ASSERT_EQ(write(list->log_fd, "x", 1), 1);
    EXPECT_EQ(dir.read("two.log"), "x");
    EXPECT_EQ(dir.read("one.log"), "");
    close_all(list);
}

TEST_F(journal_config_test, read_virtual_domain_pushes_its_section_before_the_list) {
    dir.write("section", "  LogDelete\n  Alias a\n</VirtualDomain>\nLogRename\n");
    FILE *fp = std::fopen(dir.file("section").c_str(), "r");
    ASSERT_NE(fp, nullptr);
    virtual_domain older{};
    virtual_domain *list = &older;
    EXPECT_EQ(lib.read_domain(fp, &list, pool), 0);
    ASSERT_NE(list, &older);
    EXPECT_EQ(list->next, &older);
    EXPECT_EQ(list->method_mask, bit(DELETE)); // the line after the closing tag is not its own
    EXPECT_EQ(list->log_fd, -1);
    EXPECT_EQ(aliases(list), std::set<std::string>{"a"});
    std::fclose(fp);
}

// ---- Choosing a section -------------------------------------------------------------------------

TEST_F(journal_config_test, check_address_takes_an_alias_or_a_section_without_alias_in_list_order) {
    char sales_name[] = "sales", other_name[] = "other";
    name_node sales{sales_name, nullptr}, other{other_name, nullptr};
    virtual_domain open_section{}, by_other{}, by_sales{};
    by_sales.aliases = &sales;
    by_other.aliases = &other;
    // List order: by_sales, open_section, by_other.
    by_sales.next = &open_section;
    open_section.next = &by_other;
    EXPECT_EQ(lib.choose(&by_sales, "sales"), &by_sales);
    EXPECT_EQ(lib.choose(&by_sales, "other"), &open_section); // met before its alias
    EXPECT_EQ(lib.choose(&by_sales, "Sales"), &open_section); // aliases compare with case
    EXPECT_EQ(lib.choose(&by_sales, nullptr), &open_section);
    EXPECT_EQ(lib.choose(&by_other, "other"), &by_other);

    // Without a section free of aliases, an unmatched domain takes the last of the list.
    open_section.aliases = &other;
    EXPECT_EQ(lib.choose(&by_sales, "elsewhere"), &by_other);
    EXPECT_EQ(lib.choose(&by_sales, nullptr), &by_other);
    EXPECT_EQ(lib.choose(nullptr, "sales"), nullptr);
    // The walk leaves the aliases as they were.
    EXPECT_STREQ(sales.name, "sales");
    EXPECT_EQ(sales.next, nullptr);
}

// ---- init_module --------------------------------------------------------------------------------

int unused_hook(tvn_request *) { return OK; }
int unused_exit(tvn_module *) { return OK; }

// Runs init_module with the scratch directory as the working directory, as the server's root.
int init_in(const journal_library &lib, const scratch_dir &dir, tvn_module &record,
            std::string &printed) {
    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(dir.file(""));
    testing::internal::CaptureStdout();
    const int result = lib.init(&record, dir.file("").c_str());
    std::fflush(stdout);
    printed = testing::internal::GetCapturedStdout();
    std::filesystem::current_path(previous);
    return result;
}

TEST_F(journal_config_test, init_module_names_the_module_and_sets_only_its_two_hooks) {
    std::filesystem::create_directories(dir.file("conf"));
    dir.write("conf/tolvane.conf",
              "<module mod_log>\n <VirtualDomain a>\n  LoggingFile a.log\n"
              " </VirtualDomain>\n</module>\n");
    tvn_module record{};
    record.mpool = pool;
    for (tvn_hook tvn_module::*hook :
         {&tvn_module::auth_check, &tvn_module::auth_check2, &tvn_module::message_lookup,
          &tvn_module::access_check, &tvn_module::path_translation, &tvn_module::logging,
          &tvn_module::connection_closing, &tvn_module::change_pwd})
        record.*hook = unused_hook;
    record.server_exit = unused_exit;

    EXPECT_EQ(init_in(lib, dir, record, printed), 1) << printed;
    EXPECT_STREQ(record.module_name, "mod_log");
    EXPECT_EQ(record.module_major_version, 1);
    EXPECT_EQ(record.module_minor_version, 1);
    EXPECT_EQ(record.logging, lib.log);
    EXPECT_EQ(record.connection_closing, lib.closing);
    for (tvn_hook tvn_module::*hook :
         {&tvn_module::auth_check, &tvn_module::auth_check2, &tvn_module::message_lookup,
          &tvn_module::access_check, &tvn_module::path_translation, &tvn_module::change_pwd})
        EXPECT_EQ(record.*hook, nullptr);
    EXPECT_EQ(record.server_exit, nullptr);
    auto *list = static_cast<virtual_domain *>(record.init_module_data);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->next, nullptr);
    EXPECT_TRUE(std::filesystem::exists(dir.file("a.log"))); // relative to the root
    EXPECT_STREQ(lib.methods[GETDIR], "GETDIR    ");
    close_all(list);
}

TEST_F(journal_config_test, init_module_without_its_section_says_so_and_answers_8) {
    std::filesystem::create_directories(dir.file("conf"));
    dir.write("conf/tolvane.conf", "<Server>\n</Server>\n");
    tvn_module record{};
    record.mpool = pool;
    EXPECT_EQ(init_in(lib, dir, record, printed), INTERNAL_SERVER_ERR);
    EXPECT_EQ(printed,
              "I can't find <module mod_log> section, I can't go on\n"
              "Can't read config file for mod_log module\n");
    EXPECT_EQ(record.logging, nullptr);
    EXPECT_EQ(record.init_module_data, nullptr);
}

} // namespace
