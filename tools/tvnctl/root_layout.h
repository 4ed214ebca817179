// The server root tvnctl works on, spelled as the launcher spells it, and the files in it.
#pragma once

#include <string>

namespace tvnctl {

inline constexpr const char *DEFAULT_ROOT = "/usr/local/tolvane/";

// The root as tvn names it: a relative directory made absolute (resolved as the launcher
// resolves it), an absolute one as given; always ending in "/". Without a directory, the
// default root.
std::string server_root(const char *directory);

inline std::string pid_file_of(const std::string &root) { return root + "log/tolvane.pid"; }
inline std::string output_file_of(const std::string &root) { return root + "log/tolvane.output"; }
inline std::string server_library_of(const std::string &root) { return root + "lib/tolvane.so"; }
inline constexpr const char *CONFIG_FILE = "conf/tolvane.conf";

// The title a master of this root shows in the process list.
inline std::string master_title_of(const std::string &root) { return "tvn: master " + root; }

} // namespace tvnctl
