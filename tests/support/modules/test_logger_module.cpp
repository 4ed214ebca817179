// A logging module for the tests: one line per call of its logging hook, appended with one
// write to ROOT/log/test_journal:
//   METHOD RESPONSE USER|-  [LOG MESSAGE]
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "tolvane/module.h"

namespace {

char journal_path[1024];

int logging(tvn_request *request) {
    std::string line = std::to_string(request->method) + " " + std::to_string(request->response) +
                       " " + (request->username ? request->username : "-") + " [" +
                       (request->log_message ? request->log_message : "") + "]\n";
    int fd = open(journal_path, O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd < 0) return NOT_HANDLED;
    ssize_t written = write(fd, line.data(), line.size());
    close(fd);
    return written == ssize_t(line.size()) ? OK : NOT_HANDLED;
}

} // namespace

extern "C" int init_module(tvn_module *module, const char *server_root) {
    std::snprintf(journal_path, sizeof journal_path, "%slog/test_journal", server_root);
    module->module_name = const_cast<char *>("test_logger");
    module->logging = logging;
    return 1;
}
