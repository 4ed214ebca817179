// Turning what the server printed while it checked a configuration into the report of
// tvnctl check: each message with the line of conf/tolvane.conf it is about.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tvnctl {

// The report's lines: "conf/tolvane.conf:LINE: MESSAGE" where the line is found, the message
// as it is otherwise. Progress lines (modules that loaded) are left out. root is the root the
// server was given (its module paths begin with it), config the file's content.
std::vector<std::string> check_report(const std::string &root, std::string_view config,
                                      std::string_view output);

} // namespace tvnctl
