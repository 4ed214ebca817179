// The server library of a root, loaded as the launcher loads it.
#pragma once

#include <string>

namespace tvnctl {

// Opens ROOT/lib/tolvane.so with every symbol bound at once and looks the name up; null (with
// *error set) when either fails. The library stays loaded for the life of the process.
void *server_entry_point(const std::string &root, const char *name, std::string *error);

} // namespace tvnctl
