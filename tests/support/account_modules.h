// Test support: the two account modules side by side, for the typed tests of what they share
// and for the fixtures of each. A module's traits name its section, its hooks and its domains.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "hostacct.h"
#include "listacct.h"

namespace tvn_test {

struct listacct_module {
    using domain_type = listacct::list_domain;
    static constexpr const char *label = "listacct";
    static constexpr const char *section = "mod_virtual_users";
    static constexpr const char *other_section = "mod_system_users";
    static constexpr const char *library = "listacct.so";
    // What the tests' configurations hold before the module's section.
    static constexpr const char *preamble = "<Server>\n  LoadModule listacct.so\n</Server>\n";

    static constexpr auto init = listacct::init;
    static constexpr tvn_hook auth = listacct::auth;
    static constexpr tvn_hook access_check = listacct::access_check;
    static constexpr tvn_hook connection_closing = listacct::connection_closing;
    static constexpr tvn_hook change_password = listacct::change_password;

    // The first domain of the record init filled (NULL: none).
    static const domain_type *first_domain(const tvn_module &module) {
        return static_cast<const listacct::list_settings *>(module.init_module_data)->domains;
    }
    static const domain_type *check_address(const tvn_module &module, const char *name) {
        return listacct::check_address(
            static_cast<const listacct::list_settings *>(module.init_module_data), name);
    }
    // A database record of name with the given guest hash and the home directory home; the
    // owner hash of a list account matches no password.
    static std::string record(const std::string &name, const std::string &guest_hash,
                              const std::string &home) {
        return name + "!*!" + guest_hash + "!" + home + "!!!!\n";
    }
};

struct hostacct_module {
    using domain_type = hostacct::host_domain;
    static constexpr const char *label = "hostacct";
    static constexpr const char *section = "mod_system_users";
    static constexpr const char *other_section = "mod_virtual_users";
    static constexpr const char *library = "hostacct.so";
    static constexpr const char *preamble =
        "<Server>\n  LoadModule hostacct.so\n</Server>\n"
        "<module mod_virtual_users>\n  TvnUser nobody\n</module>\n";

    static constexpr auto init = hostacct::init;
    static constexpr tvn_hook auth = hostacct::auth;
    static constexpr tvn_hook access_check = hostacct::access_check;
    static constexpr tvn_hook connection_closing = hostacct::connection_closing;
    static constexpr tvn_hook change_password = hostacct::change_password;

    static const domain_type *first_domain(const tvn_module &module) {
        return static_cast<const domain_type *>(module.init_module_data);
    }
    static const domain_type *check_address(const tvn_module &module, const char *name) {
        return hostacct::check_address(first_domain(module), name);
    }
    static std::string record(const std::string &name, const std::string &guest_hash,
                              const std::string &home) {
        return name + "!" + guest_hash + "!" + home + "!!!!\n";
    }
};

using account_modules = ::testing::Types<listacct_module, hostacct_module>;

// Names the typed tests after the module.
struct account_module_label {
    template <typename Module>
    static std::string GetName(int) {
        return Module::label;
    }
};

} // namespace tvn_test
