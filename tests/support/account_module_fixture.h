// Test support: an account module initialised in this process from a configuration of
// the test's own, in a temporary server root that is also the working directory.
#pragma once

#include <crypt.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "account_modules.h"
#include "pool.h"
#include "server_root.h"
#include "working_directory.h"

namespace tvn_test {

// Module: listacct_module or hostacct_module (account_modules.h).
template <typename Module>
class account_module_fixture : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(cwd.entered());
        mpool = create_init_pool();
        module.major_version = 1;
        module.minor_version = 1;
        module.mpool = mpool;
    }
    void TearDown() override {
        if (module.server_exit != nullptr) module.server_exit(&module);
        release_init_pool(mpool);
    }

    // Writes conf/tolvane.conf, with @ROOT@ standing for the root, and initialises the module.
    // Returns init_module's result and keeps what it printed.
    int load(std::string config) {
        for (size_t at = config.find("@ROOT@"); at != std::string::npos; at = config.find("@ROOT@"))
            config.replace(at, 6, root.path());
        root.write_config(config);
        ::testing::internal::CaptureStdout();
        const int result = Module::init(&module);
        std::fflush(stdout);
        printed = ::testing::internal::GetCapturedStdout();
        return result;
    }

    // A configuration whose module section holds lines, after the module's preamble (sections
    // that must be skipped).
    int load_section(const std::string &lines) {
        return load(std::string(Module::preamble) + "<module " + Module::section + ">\n" + lines +
                    "</module>\n");
    }

    // Lets go of a module that loaded, so that the next load starts afresh.
    void unload() {
        if (module.server_exit != nullptr) module.server_exit(&module);
        module = tvn_module{};
        module.mpool = mpool;
    }

    // What every failed reading ends with.
    static std::string cant_read() {
        return std::string("Can't read config file for ") + Module::section + " module\n";
    }

    struct refusal {
        std::string section; // the lines of the module section
        std::string message; // printed before cant_read()
    };
    // Each section fails the module with its message; no record is filled and nothing stays
    // in the start-up pool.
    void expect_refusals(const std::vector<refusal> &rows) {
        for (const refusal &row : rows) {
            EXPECT_EQ(load_section(row.section), INTERNAL_SERVER_ERR) << row.section;
            EXPECT_EQ(printed, row.message + cant_read()) << row.section;
            EXPECT_EQ(module.init_module_data, nullptr);
            EXPECT_EQ(module.auth_check, nullptr);
            EXPECT_EQ(mpool->init_pool->in_use, 0) << row.section;
        }
    }

    static std::string hash(const std::string &password, const std::string &salt) {
        const char *result = crypt(password.c_str(), salt.c_str());
        return result != nullptr ? result : "";
    }

    temp_root root;
    working_directory cwd{root.path()};
    tvn_init_mpool *mpool = nullptr;
    tvn_module module{};
    std::string printed;
};

} // namespace tvn_test
