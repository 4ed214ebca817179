// The one mapping of host errors to protocol statuses. Each kind of host call has its table of
// errors and a status for every other error.
#pragma once

#include <cstdint>

enum class host_call : uint8_t {
    open,        // opening a file (OPEN, reopening a handle)
    name_change, // DELETE, MKDIR, RENAME, and the source of a COPYFILE
    read,        // READ, and reading a COPYFILE's source
    write,       // WRITE and COPYFILE into their handle, or cutting the file
    position,    // placing a descriptor at an offset
    time_change, // SETTIME
};

// The status that answers a host call of this kind that failed with error.
uint8_t status_of_error(host_call call, int error);

// The tables of the namespace operations and of opening, under their own names.
uint8_t errno_to_status(int error);
uint8_t open_errno_to_status(int error);
