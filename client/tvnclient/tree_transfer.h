// Whole directory trees, both ways (get -r, put -r). A failure on one entry is reported and
// the walk goes on with the next; a lost connection or Ctrl-C stops it.
#pragma once

#include <string>

#include "file_transfer.h"
#include "problem.h"
#include "progress.h"
#include "session.h"

namespace tvnclient {

// Copies the remote directory to `local`, which is created when missing; files go through
// download_file, so each appears only when whole. The result is the first problem, already
// reported.
problem download_tree(session &remote, const std::string &remote_path, const std::string &local,
                      bool resume, progress_meter &meter);
// Copies the local directory to `remote_path`, created when missing. Symbolic links to files
// are sent as the files; links to directories and special files are skipped with a warning.
// Each file goes through upload_file with the plan (--continue resumes each one).
problem upload_tree(session &remote, const std::string &local, const std::string &remote_path,
                    const upload_plan &plan, progress_meter &meter);

} // namespace tvnclient
