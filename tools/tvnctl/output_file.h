// Reading the server's output file: where it listens, what it warned about, why it stopped.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tvnctl {

// The lines "listening on ADDRESS:PORT", one per socket, in order.
std::vector<std::string> listening_lines(std::string_view output);

// The lines that begin with "warning: ".
std::vector<std::string> warning_lines(std::string_view output);

// What a failed start left in the file: every line after the banner that is not empty, less
// the progress lines (configuring, modules that loaded) and the closing lines of the shutdown.
// Without a banner (the launcher failed before the server began), every line that is not empty.
std::vector<std::string> reason_lines(std::string_view output);

// The text split at line feeds, without them.
std::vector<std::string_view> split_lines(std::string_view text);

} // namespace tvnctl
