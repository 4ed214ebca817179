/* Wire protocol of tolvane: method and status codes, header offsets and sizes.
 *
 * Every packet is a 16-byte fixed header, a parameter block that fills the header up to
 * header_length, then body_length bytes of data. Every integer on the wire is little-endian.
 * Plain C: the server, the modules and the client library all include it. */
#ifndef TOLVANE_PROTOCOL_H
#define TOLVANE_PROTOCOL_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Method codes (header byte 6). Codes 4, 10 and 17..255 are unassigned. */
enum tvn_method {
    UNKNOWN = 0,
    CONNECT = 1,
    DISCONNECT = 2,
    GETDIR = 3,
    OPEN = 5,
    READ = 6,
    WRITE = 7,
    CLOSE = 8,
    SETTIME = 9, /* sets a file's times; a session uses it only when CONNECT offered it */
    DELETE = 11,
    MKDIR = 12,
    RENAME = 13,
    KEEPALIVE = 14,
    COPYFILE = 15,
    CHANGEPWD = 16
};
#define TVN_LAST_METHOD 16

/* Status codes (header byte 7 of an answer). */
enum tvn_status {
    NOT_USED = 0,
    OK = 1,
    BAD_REQUEST = 2,
    REDIRECT = 3,
    AUTH_REQUIRED = 4,
    WRONG_AUTH = 5,
    CLIENT_VERSION_NOT_SUPP = 6,
    REQUEST_TIMED_OUT = 7,
    INTERNAL_SERVER_ERR = 8,
    NOT_FOUND = 9,
    DIR_NOT_EMPTY = 10,
    READONLY_ACCESS = 11,
    FILE_IS_A_DIR = 12,
    ACCESS_DENIED = 13,
    FILE_EXISTS = 14,
    INVALID_OPENMODE = 15,
    NO_MORE_FILEHANDLES = 16,
    INVALID_HANDLE = 17,
    QUOTA_EXCEDED = 18,
    DISK_FULL = 19
};
#define TVN_LAST_STATUS 19

/* Fixed header: offsets and sizes. */
#define TVN_MAGIC "SISP"
#define TVN_MAGIC_LEN 4
#define TVN_OFF_MAGIC 0
#define TVN_OFF_MAJOR 4
#define TVN_OFF_MINOR 5
#define TVN_OFF_METHOD 6
#define TVN_OFF_STATUS 7
#define TVN_OFF_HEADER_LENGTH 8
#define TVN_OFF_BODY_LENGTH 12
#define TVN_FIXED_HEADER 16
#define TVN_PROTOCOL_MAJOR 1
#define TVN_PROTOCOL_MINOR 0

#define TVN_MAX_HEADER_LENGTH 10000u
#define TVN_MAX_TRANSFER 500000 /* largest READ, WRITE and COPYFILE length */

/* Parameter block layouts (offsets inside the block, i.e. packet offset - 16). */
#define TVN_CONNECT_OFF_OPTIONS 0
#define TVN_CONNECT_OFF_CLIENT_MAJOR 4
#define TVN_CONNECT_OFF_CLIENT_MINOR 6
#define TVN_CONNECT_OFF_PASSWORD 8
#define TVN_CONNECT_PASSWORD_LEN 16
#define TVN_CONNECT_OFF_LOGIN 24
#define TVN_CONNECT_MIN_HEADER 41

#define TVN_CHANGEPWD_OFF_OPTIONS 0
#define TVN_CHANGEPWD_OFF_CURRENT 4
#define TVN_CHANGEPWD_OFF_NEW 132
#define TVN_CHANGEPWD_FIELD_LEN 128
#define TVN_CHANGEPWD_MAX_PASSWORD 125
#define TVN_CHANGEPWD_OFF_LOGIN 260
#define TVN_CHANGEPWD_MIN_HEADER 277

#define TVN_PATH_OFF_OPTIONS 0
#define TVN_PATH_OFF_PATH 4
#define TVN_PATH_MIN_HEADER 21
#define TVN_RENAME_MIN_HEADER 22

#define TVN_RW_OFF_OPTIONS 0
#define TVN_RW_OFF_HANDLE 4
#define TVN_RW_OFF_POSITION 8
#define TVN_RW_OFF_LENGTH 12
#define TVN_RW_HEADER 32 /* READ: at least; WRITE: exactly, the data follow */

/* SETTIME: the options word, the access time and the modification time (unsigned seconds
 * since 1970, as listings carry them), then the path to the end. */
#define TVN_SETTIME_OFF_OPTIONS 0
#define TVN_SETTIME_OFF_ACCESS 4
#define TVN_SETTIME_OFF_MODIFICATION 8
#define TVN_SETTIME_OFF_PATH 12
#define TVN_SETTIME_MIN_HEADER 29
/* SETTIME options: a time set to the server's clock instead of the one given, or left as it is. */
#define TVN_SETTIME_ACCESS_NOW 0x01
#define TVN_SETTIME_ACCESS_KEEP 0x02
#define TVN_SETTIME_MODIFICATION_NOW 0x04
#define TVN_SETTIME_MODIFICATION_KEEP 0x08

#define TVN_CLOSE_OFF_HANDLE 4
#define TVN_CLOSE_MIN_HEADER 24

#define TVN_COPY_OFF_HANDLE 4
#define TVN_COPY_OFF_POSITION 8
#define TVN_COPY_OFF_LENGTH 12
#define TVN_COPY_OFF_RESERVED 16
#define TVN_COPY_RESERVED_LEN 16
#define TVN_COPY_OFF_PATH 32
#define TVN_COPY_MIN_HEADER 48

/* OPEN mode bits of the options word. */
#define TVN_OPEN_READ 0x01
#define TVN_OPEN_WRITE 0x02
#define TVN_OPEN_READ_WRITE 0x04
#define TVN_OPEN_CREATE 0x08
#define TVN_OPEN_EXCLUSIVE 0x10
#define TVN_OPEN_TRUNCATE 0x20

/* CONNECT options word: extended directory listings; the client would set times (SETTIME). */
#define TVN_OPTION_EXTENDED_LISTING 0x08
#define TVN_OPTION_TIME_SETTING 0x10

/* Answer header lengths. */
#define TVN_ANSWER_ERROR 16
#define TVN_ANSWER_PLAIN 20   /* GETDIR, READ, CLOSE, DELETE, MKDIR, RENAME, SETTIME */
#define TVN_ANSWER_COUNT 24   /* WRITE, COPYFILE: count at parameter offset 4 */
#define TVN_ANSWER_OPEN 28    /* handle at 4, size at 8 */
#define TVN_ANSWER_SESSION 44 /* CONNECT, CHANGEPWD */
#define TVN_CONNECT_FLAGS_ALWAYS 0x2040u
#define TVN_CONNECT_FLAGS_CACHE_BASE 0x0100u
/* Added to the flags only for a client that asked with TVN_OPTION_TIME_SETTING: this server
 * serves SETTIME. A client that did not ask sees the flags unchanged. */
#define TVN_CONNECT_FLAG_SETS_TIMES 0x0001u
#define TVN_CONNECT_OFF_KEEPALIVE 12 /* parameter offset of the keep-alive interval */

#ifdef __cplusplus
}
#endif

#endif
