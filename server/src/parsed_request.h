// What reception makes of one request: the facts of the header and the parameter block that
// the module interface's tvn_request has no field for. The texts point into the packet's
// buffer in the request pool, terminated there: they live for the request only.
#pragma once

#include <cstdint>

#include "tolvane/protocol.h"

// The login of a CONNECT or CHANGEPWD, split at its last at sign ("anonymous" and the whole
// login as the domain when it has none).
struct login_text {
    char *user = nullptr;
    char *domain = nullptr;
    char *password = nullptr;     // CONNECT: the password; CHANGEPWD: the current one
    char *new_password = nullptr; // CHANGEPWD
};

struct parsed_request {
    uint8_t method = UNKNOWN;
    uint32_t header_length = 0;
    uint32_t body_length = 0;          // WRITE only
    uint32_t options = 0;              // the options word of the parameter block
    uint32_t handle = 0;               // READ, WRITE, CLOSE, COPYFILE
    int32_t position = 0;              // READ, WRITE, COPYFILE
    int32_t length = 0;                // READ, WRITE, COPYFILE
    const uint8_t *data = nullptr;     // WRITE: the first data byte
    uint32_t access_time = 0;          // SETTIME, seconds since 1970
    uint32_t modification_time = 0;    // SETTIME
    uint16_t client_major_version = 0; // CONNECT
    uint16_t client_minor_version = 0;
    login_text login; // CONNECT, CHANGEPWD
    // A CONNECT's password may fill its 16 bytes without a NUL: it is copied out here.
    char connect_password[TVN_CONNECT_PASSWORD_LEN + 1] = {};
};
