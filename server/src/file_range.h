// A range of a file at an explicit offset: what READ, WRITE and COPYFILE do to a descriptor.
// The server keeps no file position between requests.
#pragma once

#include <cstdint>

#include "tolvane/protocol.h"

// A count of bytes moved, or the status of the failure (OK when the count holds).
struct range_result {
    uint32_t count = 0;
    uint8_t status = OK;
};

// Reads up to length bytes at position into buffer (fewer at the end of the file).
range_result read_range(int fd, uint8_t *buffer, uint32_t length, int32_t position);

// What a WRITE or a COPYFILE does to its destination: a request for 0 bytes cuts the file at
// position (extending a shorter file with zeros) and counts 0; otherwise the available bytes
// of data are written at position (none available: nothing is written).
range_result put_range(int fd, int32_t position, uint32_t requested, const uint8_t *data,
                       uint32_t available);
