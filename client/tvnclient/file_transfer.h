// Moving one file: download, upload, printing, and copying on the server. Data travel in
// chunks of 500000 bytes, the most one READ, WRITE or COPYFILE may carry; downloads and
// uploads keep the session's window of them in flight (remote_stream.h).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "problem.h"
#include "progress.h"
#include "session.h"
#include "tolvane/protocol.h"

namespace tvnclient {

inline constexpr std::uint32_t chunk_size = TVN_MAX_TRANSFER;
// A file being received or sent lives under its name plus this suffix until it is whole,
// so that nobody ever sees half a file under the final name.
inline constexpr std::string_view partial_suffix = ".tvnpart";

// Downloads `remote` to `local` through `local` + partial_suffix, renamed when complete.
// With `resume`, an existing partial file (or a shorter file under the final name) is
// continued from its size. After a failure the partial file is kept for a later resume.
problem download_file(session &remote, const std::string &remote_path, const std::string &local,
                      bool resume, progress_meter &meter);
struct upload_plan {
    // put --continue: continue remote_path + partial_suffix from its size; without a part, a
    // remote file as long as the local one is left alone.
    bool resume = false;
    bool in_shell = false; // the command that resumes is a shell command, not the program's
    // What resumes a failed upload, for its message; empty: put --continue of the one file.
    std::string resume_command;
};
// Uploads `local` to `remote_path` through remote_path + partial_suffix (file_upload.cpp),
// renamed on the server when complete. After a failure on the way (Ctrl-C, a lost connection,
// a refused WRITE) the part stays, holding what the server confirmed, and the message says
// how to resume; a part that holds nothing is removed.
problem upload_file(session &remote, const std::string &local, const std::string &remote_path,
                    const upload_plan &plan, progress_meter &meter);
// "tvnclient put [-r] --continue LOCAL REMOTE" (without "tvnclient " in the shell), each
// word quoted where a shell would split it.
std::string resume_command(bool in_shell, bool tree, const std::string &local,
                           const std::string &remote);
// Writes a remote file to a descriptor (cat).
problem print_remote_file(session &remote, const std::string &remote_path, int fd);
// Copies a file on the server with COPYFILE: no data cross the network.
problem copy_on_server(session &remote, const std::string &from, const std::string &to,
                       progress_meter &meter);

} // namespace tvnclient
