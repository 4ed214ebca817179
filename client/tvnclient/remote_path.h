// Paths on the server as the user types them. The server refuses "." and ".." components,
// so they are resolved here, against the shell's working directory.
#pragma once

#include <string>
#include <string_view>

namespace tvnclient {

// The absolute path `typed` names from `cwd` (itself absolute and resolved): "//" and "."
// vanish, ".." climbs one level and never above "/". The result has no trailing "/" except
// for "/" itself.
std::string resolve_remote(std::string_view cwd, std::string_view typed);
// `dir` (resolved) followed by one name.
std::string remote_join(std::string_view dir, std::string_view name);
// The last component of a resolved path; empty for "/".
std::string remote_base_name(std::string_view path);
// True when the typed path asks for a directory ("x/", ".", "..").
bool names_a_directory(std::string_view typed);

} // namespace tvnclient
