// Messages on standard error or in the system log.
#include "mount_log.h"

#include <syslog.h>

#include <atomic>
#include <cstdio>

#include "tvnclient/problem.h"

namespace tvnmount {

namespace {

std::atomic<bool> to_syslog{false};

} // namespace

void log_to_syslog() {
    openlog("tvnmount", LOG_PID, LOG_USER);
    to_syslog = true;
}

void log_line(const std::string &text) {
    const std::string shown = tvnclient::printable(text);
    if (to_syslog) {
        syslog(LOG_NOTICE, "%s", shown.c_str());
        return;
    }
    std::fprintf(stderr, "tvnmount: %s\n", shown.c_str());
}

} // namespace tvnmount
