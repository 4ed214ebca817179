// The "PasswordHash" key of both account modules' VirtualDomain subsections: its values, its
// default, and the message for anything else.
#include <gtest/gtest.h>

#include <string>

#include "hostacct_fixture.h"
#include "listacct_fixture.h"

namespace {

// What differs between the two modules for this key: their section and their first domain.
struct list_module : tvn_test::listacct_fixture {
    static constexpr const char *name = "listacct";
    static constexpr const char *section = "mod_virtual_users";
    salt_form first_form() const { return settings()->domains->password_hash; }
    salt_form second_form() const { return settings()->domains->next->password_hash; }
};

struct host_module : tvn_test::hostacct_fixture {
    static constexpr const char *name = "hostacct";
    static constexpr const char *section = "mod_system_users";
    salt_form first_form() const { return domains()->password_hash; }
    salt_form second_form() const { return domains()->next->password_hash; }
};

template <typename Module>
class password_hash_setting_test : public Module {
protected:
    // Two domains: the first with the given PasswordHash line (none when empty), the second
    // without one.
    int load_with(const std::string &line) {
        return this->load(std::string("<module ") + Module::section + ">\n"
                          "  <VirtualDomain first>\n    PasswdFile /db\n    EnableDomain 1\n" +
                          line +
                          "  </VirtualDomain>\n"
                          "  <VirtualDomain second>\n    PasswdFile /db\n  </VirtualDomain>\n"
                          "</module>\n");
    }
    std::string cant_read() const {
        return std::string("Can't read config file for ") + Module::section + " module\n";
    }
};

using both_modules = ::testing::Types<list_module, host_module>;
struct module_name {
    template <typename Module>
    static std::string GetName(int) {
        return Module::name;
    }
};
TYPED_TEST_SUITE(password_hash_setting_test, both_modules, module_name);

TYPED_TEST(password_hash_setting_test, md5_is_the_default_and_each_method_is_taken_per_domain) {
    struct case_row {
        const char *line;
        salt_form form;
    };
    const case_row rows[] = {
        {"", salt_form::md5},
        {"    PasswordHash md5\n", salt_form::md5},
        {"    PasswordHash sha512\n", salt_form::sha512},
        {"    PasswordHash yescrypt\n", salt_form::yescrypt},
        {"    PasswordHash \"yescrypt\"\n", salt_form::yescrypt},
    };
    for (const case_row &row : rows) {
        ASSERT_EQ(this->load_with(row.line), 1) << row.line << this->printed;
        EXPECT_EQ(this->printed, "");
        EXPECT_EQ(this->first_form(), row.form) << row.line;
        EXPECT_EQ(this->second_form(), salt_form::md5) << row.line;
        this->module.server_exit(&this->module);
        this->module = tvn_module{};
        this->module.mpool = this->mpool;
    }
}

TYPED_TEST(password_hash_setting_test, any_other_value_is_invalid) {
    for (const char *value : {"MD5", "des", "sha256", "bcrypt", "md5x"}) {
        EXPECT_EQ(this->load_with(std::string("    PasswordHash ") + value + "\n"),
                  INTERNAL_SERVER_ERR)
            << value;
        EXPECT_EQ(this->printed,
                  std::string("Invalid value ") + value + "  for PasswordHash\n" + this->cant_read());
        EXPECT_EQ(this->module.init_module_data, nullptr);
    }
    EXPECT_EQ(this->load_with("    PasswordHash\n"), INTERNAL_SERVER_ERR);
    EXPECT_EQ(this->printed, "Invalid value   for PasswordHash\n" + this->cant_read());
}

}  // namespace
