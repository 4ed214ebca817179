// Test support: the list-account module initialised in this process from a configuration of
// the test's own, in a temporary server root that is also the working directory.
#pragma once

#include "account_module_fixture.h"
#include "listacct.h"

namespace tvn_test {

class listacct_fixture : public account_module_fixture<listacct_module> {
protected:
    listacct::list_settings *settings() const {
        return static_cast<listacct::list_settings *>(module.init_module_data);
    }
};

} // namespace tvn_test
