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

// The area a resolved path lies in, spelt as the server lists it ("Private", "Public",
// "Web"), whatever the case of the path; empty when its first component names none.
std::string_view area_of(std::string_view resolved);
// True for "/" and the three areas themselves ("/Private", "/Public", "/Web"; resolved, any
// case, as the server compares them): nothing may remove them.
bool is_area_root(std::string_view resolved);
// True when the first component of a resolved path names none of the three areas (the
// server refuses such paths as it refuses a forbidden one). "/" itself lies in no area.
bool outside_areas(std::string_view resolved);

} // namespace tvnclient
