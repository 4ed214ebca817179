// The errno a local file system would give for each refusal of the server. The table, with
// the reasons, is in DESIGN.md ("tvnmount: errors").
#pragma once

#include <cstdint>

namespace tvnmount {

// The request a refusal answered: BAD_REQUEST stands for several host errors, and which one
// is most likely depends on the request.
enum class remote_call {
    list,
    open,
    read,
    write,
    close,
    remove,
    make_directory,
    rename,
    set_times
};

// The errno for a status other than OK answered to `call` (never 0).
int errno_of(std::uint8_t status, remote_call call);

} // namespace tvnmount
