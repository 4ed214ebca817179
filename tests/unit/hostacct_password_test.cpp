// Changing a host account's passwords: the refusals of its own that leave every file as it
// was (those it shares with the list-account module are in account_password_test.cpp). Only
// guest changes of users whose host password nobody knows are tried here, so that nothing
// can reach the host's own shadow file; the changes themselves are shown end to end over a
// private copy of the host's files.
#include <gtest/gtest.h>
#include <shadow.h>
#include <unistd.h>

#include <string>

#include "hostacct_fixture.h"
#include "pooled_request.h"

namespace {

using tvn_test::pooled_request;

constexpr uint32_t guest_password = 2;

class hostacct_password_test : public tvn_test::hostacct_fixture {
protected:
    void SetUp() override {
        hostacct_fixture::SetUp();
        if (HasFatalFailure()) return;
        database = "daemon!" + hash("daemon-guest", "$1$dddddddd") + "!/home/daemon!!!!\n";
        root.write_file("hosts.db", database);
        ASSERT_EQ(load("<module mod_system_users>\n"
                       "  <VirtualDomain hosts>\n"
                       "    PasswdFile @ROOT@hosts.db\n    EnableDomain 1\n    Alias hosts\n"
                       "    OwnerChangePassword Enabled\n    GuestChangePassword Enabled\n"
                       "  </VirtualDomain>\n"
                       "</module>\n"),
                  1)
            << printed;
    }

    struct change_result {
        int status = -1;
        bool new_hash = false;
        int disconnect = -1;
    };

    change_result change(const char *user, const char *domain, const char *current) {
        pooled_request request;
        request->username = request.text(user);
        request->domain = request.text(domain);
        request->password = request.text(current);
        request->remote_path1 = request.text("fresh-pw");
        request->method_options = guest_password;
        request->init_module_data = domains();
        change_result result;
        result.status = hostacct::change_password(request.get());
        result.new_hash = request->local_path1 != nullptr;
        result.disconnect = request->disconnect;
        return result;
    }

    std::string database;
};

TEST_F(hostacct_password_test, refused_changes_are_passed_on_and_change_nothing) {
    if (geteuid() != 0) GTEST_SKIP() << "reading the shadow database needs root";
    const spwd *shadow = getspnam("daemon");
    if (shadow == nullptr || (shadow->sp_pwdp[0] != '*' && shadow->sp_pwdp[0] != '!'))
        GTEST_SKIP() << "the host's daemon user is not locked";
    struct case_row {
        const char *user;
        const char *domain;
        const char *current;
    };
    const case_row rows[] = {
        {"daemon", "hosts", "daemon-guest"}, // the guest password is never the current one
        {"daemon", "hosts", "*"},            // a locked host password matches nothing
        {"daemon", "hosts", ""},
    };
    for (const case_row &row : rows) {
        const change_result result = change(row.user, row.domain, row.current);
        EXPECT_EQ(result.status, NOT_HANDLED) << row.user << "@" << row.domain;
        EXPECT_FALSE(result.new_hash) << row.user << "@" << row.domain;
        EXPECT_EQ(result.disconnect, 0) << row.user << "@" << row.domain;
        EXPECT_EQ(root.read_file("hosts.db"), database);
        EXPECT_FALSE(root.exists("tvn_aux_file"));
    }
}

} // namespace
