// Requests on open files: OPEN, READ, WRITE (also the zero-length WRITE that truncates) and
// CLOSE on the file's home session. A handle lost with its session (the server ended it, or
// restarted) is opened again by the file's present path and the request repeated once. The
// caller holds the file's lock. Each answers 0 or an errno.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "open_files.h"
#include "session_pool.h"

namespace tvnmount {

// Positions are signed 32-bit on the wire: no byte at or past this offset can be named.
inline constexpr std::uint64_t position_limit = 0x80000000u;
// The most one READ or WRITE carries.
inline constexpr std::size_t chunk_size = 500000;

// Opens `path` with the OPEN mode bits on the free session with the fewest open files, which
// becomes the file's home; `size` is the file's size as OPEN answered it.
int open_on_new_home(session_pool &pool, const std::string &path, std::uint32_t mode,
                     std::size_t write_back_size, std::shared_ptr<open_file> &opened,
                     std::uint32_t &size);

int read_file(session_pool &pool, const open_file_registry &registry, open_file &file,
              std::uint64_t offset, std::span<std::uint8_t> into, std::size_t &got);
// READs pipelined from `start` up to `limit` (or the end of the file) into `into`, replacing
// what it held; `reached_end` tells whether the file ended before `limit`.
int read_ahead(session_pool &pool, const open_file_registry &registry, open_file &file,
               std::uint64_t start, std::uint64_t limit, std::vector<std::uint8_t> &into,
               bool &reached_end);
// Writes every byte, in requests of at most chunk_size.
int write_file(session_pool &pool, const open_file_registry &registry, open_file &file,
               std::uint64_t offset, std::span<const std::uint8_t> data);
// The gathered small writes, if any, as one WRITE.
int write_pending(session_pool &pool, const open_file_registry &registry, open_file &file);
int truncate_file(session_pool &pool, const open_file_registry &registry, open_file &file,
                  std::uint64_t size);
// CLOSE, when the handle is still the server's.
int close_file(session_pool &pool, open_file &file);

// On a file that is not open: cuts it to `size`; without a size, cuts it at its own size,
// which changes nothing but its modification time (the server's time now).
int cut_path(session_pool &pool, const std::string &path, std::optional<std::uint64_t> size);

} // namespace tvnmount
