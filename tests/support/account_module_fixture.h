// Test support: an account module initialised in this process from a configuration of
// the test's own, in a temporary server root that is also the working directory.
#pragma once

#include <crypt.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "pool.h"
#include "server_root.h"
#include "working_directory.h"

namespace tvn_test {

// init is the module's initialisation (listacct::init, hostacct::init).
template <int (*init)(tvn_module *)>
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
        const int result = init(&module);
        std::fflush(stdout);
        printed = ::testing::internal::GetCapturedStdout();
        return result;
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

}  // namespace tvn_test
