// Test support: the host-account module initialised in this process from a configuration of
// the test's own, in a temporary server root that is also the working directory.
#pragma once

#include "account_module_fixture.h"
#include "hostacct.h"

namespace tvn_test {

class hostacct_fixture : public account_module_fixture<hostacct_module> {
protected:
    hostacct::host_domain *domains() const {
        return static_cast<hostacct::host_domain *>(module.init_module_data);
    }
};

} // namespace tvn_test
