// Test support: a change of working directory for one scope. The account code works with
// "./tvn_aux_file" and the modules read "conf/tolvane.conf", both relative to it.
#pragma once

#include <unistd.h>

#include <climits>
#include <string>

namespace tvn_test {

class working_directory {
public:
    explicit working_directory(const std::string &path) {
        char buffer[PATH_MAX];
        if (getcwd(buffer, sizeof buffer) != nullptr) saved_ = buffer;
        entered_ = chdir(path.c_str()) == 0;
    }
    ~working_directory() {
        if (!saved_.empty()) (void)chdir(saved_.c_str());
    }
    working_directory(const working_directory &) = delete;
    working_directory &operator=(const working_directory &) = delete;

    bool entered() const { return entered_; }

private:
    std::string saved_;
    bool entered_ = false;
};

} // namespace tvn_test
