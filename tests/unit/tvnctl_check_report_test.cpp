// tvnctl check's report: each message the server or a module printed about the configuration,
// with the line of conf/tolvane.conf it is about.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "check_report.h"

namespace {

using tvnctl::check_report;

const std::string ROOT = "/srv/tvn/";

// Lines 1 to 6: a comment, the Server section with three modules, its closing tag.
const std::string SERVER =
    "# tolvane\n"
    "<Server>\n"
    "    ServerPort 7070\n"
    "    LoadModule listacct.so\n"
    "    LoadModule journal.so\n"
    "</Server>\n";

// Lines 7 to 16.
const std::string LIST_SECTION =
    "<module mod_virtual_users>\n"
    "    TvnUser nobody\n"
    "    <VirtualDomain first>\n"
    "        PasswdFile /srv/first.db\n"
    "        EnableDomain 1\n"
    "    </VirtualDomain>\n"
    "    <VirtualDomain second>\n"
    "        EnableDomain maybe\n"
    "    </VirtualDomain>\n"
    "</module>\n";

// Lines 17 to 22 (after LIST_SECTION).
const std::string LOG_SECTION =
    "<module mod_log>\n"
    "    <VirtualDomain all>\n"
    "        LoggingFile log/journal.log\n"
    "        LogGetdir 1\n"
    "    </VirtualDomain>\n"
    "</module>\n";

const std::string LOADING_LIST = "Loading module library /srv/tvn/lib/listacct.so ...";
const std::string LOADING_LOG = "Loading module library /srv/tvn/lib/journal.so ...";
const std::string MODULES_FAILED = "\nError loading modules. I can't go on!\n\n";
const std::string CONFIG_FAILED = "\nError configuring the server. I can't go on!\n\n";

struct report_case {
    const char *name;
    std::string config;
    std::string output;
    std::vector<std::string> report;
};

std::string with_server_line(const std::string &line) {
    return "<Server>\n    ServerPort 7070\n" + line + "\n</Server>\n";
}

const std::vector<report_case> &cases() {
    static const std::vector<report_case> rows{
        {"an_unknown_server_key",
         with_server_line("    Bogus 1"),
         "\nUnknown field Bogus, control your server configuration file\n" + CONFIG_FAILED,
         {"conf/tolvane.conf:3: Unknown field Bogus, control your server configuration file",
          "Error configuring the server. I can't go on!"}},
        {"an_invalid_address_by_its_value",
         "<Server>\nAddIpAddress 127.0.0.1\nAddIpAddress 300.1.2.3\n</Server>\n",
         "\nip address 300.1.2.3 not valid\n" + CONFIG_FAILED,
         {"conf/tolvane.conf:3: ip address 300.1.2.3 not valid",
          "Error configuring the server. I can't go on!"}},
        {"a_proxy_protocol_entry_that_is_no_address",
         with_server_line("    ProxyProtocol \"10.0.0.5, 10.0.0.0/33\""),
         "\nProxyProtocol 10.0.0.0/33 is not an address or a network (such as 10.0.0.5, "
         "10.0.0.0/24 or fd00::/64)\n" +
             CONFIG_FAILED,
         {"conf/tolvane.conf:3: ProxyProtocol 10.0.0.0/33 is not an address or a network "
          "(such as 10.0.0.5, 10.0.0.0/24 or fd00::/64)",
          "Error configuring the server. I can't go on!"}},
        {"a_port_out_of_range",
         with_server_line("ServerPort 70000"),
         "\nServerPort 70000 is not a port number (1 to 65535)\n" + CONFIG_FAILED,
         {"conf/tolvane.conf:3: ServerPort 70000 is not a port number (1 to 65535)",
          "Error configuring the server. I can't go on!"}},
        {"a_missing_run_as_user",
         with_server_line("RestrictedUser nosuchuser"),
         "\nTolvaneServer configuration: user nosuchuser does't exist, please create it\n" +
             CONFIG_FAILED,
         {"conf/tolvane.conf:3: TolvaneServer configuration: user nosuchuser does't exist, "
          "please create it",
          "Error configuring the server. I can't go on!"}},
        {"a_badly_closed_server_section",
         "<Server>\nServerPort 7070\n<Other thing>\n",
         "\n<Server> section is badly closed\n" + CONFIG_FAILED,
         {"conf/tolvane.conf:3: <Server> section is badly closed",
          "Error configuring the server. I can't go on!"}},
        {"restricted_without_user",
         with_server_line("Restricted Enabled"),
         "\nYou have to specify a group or an user for restricted version\n" + CONFIG_FAILED,
         {"conf/tolvane.conf:3: You have to specify a group or an user for restricted version",
          "Error configuring the server. I can't go on!"}},
        {"a_listening_switch_by_its_value",
         with_server_line("PlainListening Disabled"),
         "\nPlainListening Disabled needs a TlsPort: the server would listen nowhere\n" +
             CONFIG_FAILED,
         {"conf/tolvane.conf:3: PlainListening Disabled needs a TlsPort: the server would listen "
          "nowhere",
          "Error configuring the server. I can't go on!"}},
        {"an_unusable_key_file_by_its_name",
         "<Server>\nTlsCertificateFile /etc/c.pem\nTlsKeyFile /etc/k.pem\n</Server>\n",
         "\nCan't use the private key (it does not match the certificate) /etc/k.pem: error:1: "
         "x\n" +
             CONFIG_FAILED,
         {"conf/tolvane.conf:3: Can't use the private key (it does not match the certificate) "
          "/etc/k.pem: error:1: x",
          "Error configuring the server. I can't go on!"}},
        {"a_cache_level_out_of_range_said_by_tvnctl",
         with_server_line("SuggestedCacheLevel 9"),
         CONFIG_FAILED,
         {"conf/tolvane.conf:3: SuggestedCacheLevel 9 is not a level from 0 to 4",
          "Error configuring the server. I can't go on!"}},
        {"no_server_section_has_no_line",
         "# nothing\n",
         "\nI can't find <Server> section, I can't go on\n" + CONFIG_FAILED,
         {"I can't find <Server> section, I can't go on",
          "Error configuring the server. I can't go on!"}},
        {"a_missing_module_library_on_its_loadmodule_line",
         SERVER,
         LOADING_LIST +
             "/srv/tvn/lib/listacct.so: cannot open shared object file: No such "
             "file or directory\n\nCan't load congiguration lib /srv/tvn/lib/"
             "listacct.so\n\n" +
             MODULES_FAILED,
         {"conf/tolvane.conf:4: /srv/tvn/lib/listacct.so: cannot open shared object file: No "
          "such file or directory",
          "conf/tolvane.conf:4: Can't load congiguration lib /srv/tvn/lib/listacct.so",
          "Error loading modules. I can't go on!"}},
        {"an_invalid_value_in_a_module_section",
         SERVER + LIST_SECTION,
         LOADING_LIST +
             "Invalid value maybe  for EnableDomain\nCan't read config file for "
             "mod_virtual_users module\n" +
             MODULES_FAILED,
         {"conf/tolvane.conf:14: Invalid value maybe  for EnableDomain",
          "Can't read config file for mod_virtual_users module",
          "Error loading modules. I can't go on!"}},
        {"a_domain_without_database_at_its_opening_line",
         SERVER + LIST_SECTION,
         LOADING_LIST +
             "Module mod_virtual_users: can't read PasswdFile field, please insert "
             "one\nCan't read config file for mod_virtual_users module\n" +
             MODULES_FAILED,
         {"conf/tolvane.conf:13: Module mod_virtual_users: can't read PasswdFile field, please "
          "insert one",
          "Can't read config file for mod_virtual_users module",
          "Error loading modules. I can't go on!"}},
        {"an_unknown_key_of_the_second_module_in_its_own_section",
         SERVER + LIST_SECTION + LOG_SECTION,
         LOADING_LIST + "ok\n" + LOADING_LOG +
             "Unknown field LogGetdir\nCan't read config file "
             "for mod_log module\n" +
             MODULES_FAILED,
         {"conf/tolvane.conf:20: Unknown field LogGetdir",
          "Can't read config file for mod_log module", "Error loading modules. I can't go on!"}},
        {"a_missing_module_section_on_the_loadmodule_line",
         SERVER + LIST_SECTION,
         LOADING_LIST + "ok\n" + LOADING_LOG +
             "I can't find <module mod_log> section, I can't "
             "go on\nCan't read config file for mod_log "
             "module\n" +
             MODULES_FAILED,
         {"conf/tolvane.conf:5: I can't find <module mod_log> section, I can't go on",
          "Can't read config file for mod_log module", "Error loading modules. I can't go on!"}},
        {"a_warning_on_the_database_line_and_the_start_goes_on",
         SERVER + LIST_SECTION + LOG_SECTION,
         LOADING_LIST +
             "warning: mod_virtual_users: the account database /srv/first.db cannot "
             "be read: No such file or directory: nobody of this domain can log "
             "in\nok\n" +
             LOADING_LOG +
             "ok\nwarning: no path-mapping module is "
             "loaded (LoadModule pathmap.so): no file can "
             "be reached\n",
         {"conf/tolvane.conf:10: warning: mod_virtual_users: the account database /srv/first.db "
          "cannot be read: No such file or directory: nobody of this domain can log in",
          "warning: no path-mapping module is loaded (LoadModule pathmap.so): no file can be "
          "reached"}},
        {"a_stray_line_of_a_host_account_section",
         "<Server>\nLoadModule hostacct.so\n</Server>\n<module mod_system_users>\n"
         "    # fine\n    Extra 1\n</module>\n",
         "Loading module library /srv/tvn/lib/hostacct.so ...Module mod_system_users: section "
         "not complete\nModule mod_system_users: unknown filed Extra\nCan't read config file "
         "for mod_system_users module\n" +
             MODULES_FAILED,
         {"conf/tolvane.conf:6: Module mod_system_users: section not complete",
          "conf/tolvane.conf:6: Module mod_system_users: unknown filed Extra",
          "Can't read config file for mod_system_users module",
          "Error loading modules. I can't go on!"}},
        {"a_repeated_database_at_the_second_one",
         "<Server>\nLoadModule listacct.so\n</Server>\n<module mod_virtual_users>\n"
         "<VirtualDomain a>\nPasswdFile /a\nPasswdFile /b\n</VirtualDomain>\n</module>\n",
         LOADING_LIST +
             "You have already inserted field 'PasswdFile' \nCan't read config file "
             "for mod_virtual_users module\n" +
             MODULES_FAILED,
         {"conf/tolvane.conf:7: You have already inserted field 'PasswdFile' ",
          "Can't read config file for mod_virtual_users module",
          "Error loading modules. I can't go on!"}},
        {"a_badly_closed_domain",
         "<Server>\nLoadModule listacct.so\n</Server>\n<module mod_virtual_users>\n"
         "<VirtualDomain a>\nPasswdFile /a\n<VirtualDomain b>\n</module>\n",
         LOADING_LIST +
             "Domain section badly closed\nCan't read config file for "
             "mod_virtual_users module\n" +
             MODULES_FAILED,
         {"conf/tolvane.conf:7: Domain section badly closed",
          "Can't read config file for mod_virtual_users module",
          "Error loading modules. I can't go on!"}},
        {"a_message_no_rule_knows_stays_as_it_is",
         SERVER,
         LOADING_LIST + "something else went wrong\n" + MODULES_FAILED,
         {"something else went wrong", "Error loading modules. I can't go on!"}},
        {"a_quoted_value_is_found_without_its_quotes",
         "<Server>\nLoadModule listacct.so\n</Server>\n<module mod_virtual_users>\n"
         "TvnUser \"no such\"\n</module>\n",
         LOADING_LIST +
             "Module mod_virtual_users: user no such does't exist, please create "
             "it\nCan't read config file for mod_virtual_users module\n" +
             MODULES_FAILED,
         {"conf/tolvane.conf:5: Module mod_virtual_users: user no such does't exist, please "
          "create it",
          "Can't read config file for mod_virtual_users module",
          "Error loading modules. I can't go on!"}},
    };
    return rows;
}

// The row's name, in the test's name and its messages.
void PrintTo(const report_case &row, std::ostream *out) { *out << row.name; }

class check_report_test : public testing::TestWithParam<report_case> {};

TEST_P(check_report_test, points_at_the_line_the_message_names) {
    const report_case &row = GetParam();
    EXPECT_EQ(check_report(ROOT, row.config, row.output), row.report);
}

INSTANTIATE_TEST_SUITE_P(messages, check_report_test, testing::ValuesIn(cases()),
                         [](const testing::TestParamInfo<report_case> &info) {
                             return std::string(info.param.name);
                         });

TEST(check_report, a_key_outside_the_named_section_is_not_taken_for_it) {
    // The same key stands in the Server section first; the module's message is about its own.
    const std::string config =
        "<Server>\nLoadModule journal.so\nLogGetdir 1\n</Server>\n"
        "<module mod_log>\n<VirtualDomain x>\nLogGetdir 1\n"
        "</VirtualDomain>\n</module>\n";
    const std::string output = LOADING_LOG + "Unknown field LogGetdir\n" + MODULES_FAILED;
    const auto report = check_report(ROOT, config, output);
    ASSERT_FALSE(report.empty());
    EXPECT_EQ(report.front(), "conf/tolvane.conf:7: Unknown field LogGetdir");
}

TEST(check_report, a_module_the_file_does_not_name_keeps_its_messages_as_they_are) {
    const std::string config = "<Server>\n</Server>\n<module mod_log>\nLogX\n</module>\n";
    const std::string output = "Loading module library /srv/tvn/lib/odd.so ...Unknown field LogX\n";
    EXPECT_EQ(check_report(ROOT, config, output), std::vector<std::string>{"Unknown field LogX"});
}

TEST(check_report, modules_that_loaded_leave_no_line) {
    EXPECT_TRUE(check_report(ROOT, SERVER, LOADING_LIST + "ok\n" + LOADING_LOG + "ok\n").empty());
}

} // namespace
