// rm -r: a whole tree on the server, removed depth first.
#pragma once

#include <string>

#include "problem.h"
#include "session.h"

namespace tvnclient {

// Removes `path` (resolved) and everything below it: the files of each directory, then the
// directory itself, its subdirectories first. The first failure stops the removal and names
// the path that could not go; what was removed before it stays removed. The caller refuses
// the area roots.
problem remove_tree(session &remote, const std::string &path);

} // namespace tvnclient
