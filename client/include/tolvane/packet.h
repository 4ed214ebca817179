// Request packets: a raw builder that can set every header field (also to values that lie
// about the bytes it produces, for malformed-packet tests), and one helper per method that
// always produces a well-formed request.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "tolvane/protocol.h"

namespace tvn_client {

using bytes = std::vector<std::uint8_t>;

// Builds one packet: the 16-byte fixed header, the parameter block, then the body. Header
// fields default to a valid request ("SISP", version 1.0, status 0, header_length 16 + the
// parameter bytes, body_length the body bytes); each setter overrides one field without
// changing which bytes follow the header. Setters return the builder for chaining.
class packet_builder {
public:
    explicit packet_builder(std::uint8_t method) : method_(method) {}

    // The first four bytes of `text`, NUL-padded when it is shorter.
    packet_builder &magic(std::string_view text);
    packet_builder &major_version(std::uint8_t value) {
        major_ = value;
        return *this;
    }
    packet_builder &minor_version(std::uint8_t value) {
        minor_ = value;
        return *this;
    }
    packet_builder &method(std::uint8_t value) {
        method_ = value;
        return *this;
    }
    packet_builder &status(std::uint8_t value) {
        status_ = value;
        return *this;
    }
    packet_builder &header_length(std::uint32_t value) {
        header_length_ = value;
        return *this;
    }
    packet_builder &body_length(std::uint32_t value) {
        body_length_ = value;
        return *this;
    }

    // Parameter block, appended in call order.
    packet_builder &put_u16(std::uint16_t value);
    packet_builder &put_u32(std::uint32_t value);
    packet_builder &put_i32(std::int32_t value) {
        return put_u32(static_cast<std::uint32_t>(value));
    }
    packet_builder &put_bytes(std::span<const std::uint8_t> data);
    // The text's bytes, then a NUL unless `terminate` is false.
    packet_builder &put_text(std::string_view text, bool terminate = true);
    // A field of exactly `width` bytes: the text cut to `width`, NUL-padded. A text of
    // `width` bytes or more leaves no NUL in the field.
    packet_builder &put_field(std::string_view text, std::size_t width);

    // Body, appended in call order.
    packet_builder &append_body(std::span<const std::uint8_t> data);
    packet_builder &append_body(std::string_view text);

    std::size_t params_size() const { return params_.size(); }
    std::size_t body_size() const { return body_.size(); }

    bytes build() const;
    // Builds into `out`, replacing its contents and keeping its capacity (for loops that
    // send many packets).
    void build_into(bytes &out) const;

private:
    std::array<std::uint8_t, TVN_MAGIC_LEN> magic_ = {'S', 'I', 'S', 'P'};
    std::uint8_t major_ = TVN_PROTOCOL_MAJOR;
    std::uint8_t minor_ = TVN_PROTOCOL_MINOR;
    std::uint8_t method_;
    std::uint8_t status_ = 0;
    std::optional<std::uint32_t> header_length_;
    std::optional<std::uint32_t> body_length_;
    bytes params_;
    bytes body_;
};

// OPEN options: an access bit (read wins over write, write over read-write; none means
// read), combined with create, exclusive and truncate.
namespace open_mode {
// Named so that a using-directive does not collide with read, write and truncate.
inline constexpr std::uint32_t read_only = TVN_OPEN_READ;
inline constexpr std::uint32_t write_only = TVN_OPEN_WRITE;
inline constexpr std::uint32_t read_write = TVN_OPEN_READ_WRITE;
inline constexpr std::uint32_t create = TVN_OPEN_CREATE;
inline constexpr std::uint32_t exclusive = TVN_OPEN_EXCLUSIVE;
inline constexpr std::uint32_t truncate_file = TVN_OPEN_TRUNCATE;
} // namespace open_mode

// One helper per method. Each returns a builder holding a well-formed request, so a test can
// still override a header field before building it. Building never fails; what can fail is
// the request, and each comment says what its answer carries on success (status OK) and
// which statuses a refusal commonly has. Paths are the client's: "/" holds "/Private",
// "/Public" and "/Web"; a path outside them is refused ACCESS_DENIED, as are "." and ".."
// components.

// Opens the session; must be the first request. `options` bit 3
// (TVN_OPTION_EXTENDED_LISTING) asks for extended listings (sizes in GETDIR answers). The
// password is cut to 16 bytes; at 16 bytes the field has no NUL. The login ("user@domain")
// runs to the end of the block and ends with a NUL, so the header is 41 bytes plus the
// login's length. Answer: the keep-alive interval in seconds at parameter offset 12
// (TVN_CONNECT_OFF_KEEPALIVE), 0 for none. Refused: WRONG_AUTH, and the server closes.
packet_builder connect_request(std::string_view login, std::string_view password,
                               std::uint32_t options = 0,
                               std::uint16_t client_major = TVN_PROTOCOL_MAJOR,
                               std::uint16_t client_minor = TVN_PROTOCOL_MINOR);
// Changes the owner password (`owner`), else the guest password; the current owner password
// authorises both, and no session is needed. Each password is cut to 127 bytes so its
// 128-byte field always holds a NUL; taking fewer is the server's business. The server ends
// the connection after the answer, whatever it is. Refused: WRONG_AUTH.
packet_builder changepwd_request(std::string_view login, std::string_view current_password,
                                 std::string_view new_password, bool owner);
// GETDIR, OPEN, DELETE, MKDIR: the options word then the path and a NUL.
packet_builder path_request(std::uint8_t method, std::string_view path, std::uint32_t options = 0);
// Lists a directory. Answer: the entries as the body, for parse_listing (listing.h).
// Refused: NOT_FOUND (missing, or not a directory), ACCESS_DENIED.
packet_builder getdir_request(std::string_view path);
// Opens a file with an open_mode combination. Answer: the handle (u32 at parameter offset
// 4) and the file's size (u32 at offset 8; 0 when unknown). Refused: NOT_FOUND,
// ACCESS_DENIED (also a guest asking to write), NO_MORE_FILEHANDLES.
packet_builder open_request(std::string_view path, std::uint32_t mode);
// Removes a file or an empty directory. Refused: NOT_FOUND, DIR_NOT_EMPTY, ACCESS_DENIED.
packet_builder delete_request(std::string_view path);
// Creates a directory; its parent must exist. Refused: BAD_REQUEST (it exists), NOT_FOUND.
packet_builder mkdir_request(std::string_view path);
// Renames or moves; an existing file at the new path is replaced. Refused: NOT_FOUND,
// BAD_REQUEST (for instance across file systems), ACCESS_DENIED.
packet_builder rename_request(std::string_view old_path, std::string_view new_path);
// Sets the access and modification times (seconds since 1970) of a file or directory;
// `options` may ask for the server's clock (TVN_SETTIME_*_NOW) or leave a time as it is
// (TVN_SETTIME_*_KEEP). Only a server whose CONNECT answer carried
// TVN_CONNECT_FLAG_SETS_TIMES (offered to a client that set TVN_OPTION_TIME_SETTING) serves
// it; any other closes the connection. Refused: NOT_FOUND, ACCESS_DENIED (a guest, a link,
// a file of another owner).
packet_builder settime_request(std::string_view path, std::uint32_t access_time,
                               std::uint32_t modification_time, std::uint32_t options = 0);
// Reads up to `length` bytes (at most 500000) at `position`. Answer: the bytes as the body,
// fewer than asked at the end of the file. Refused: INVALID_HANDLE, ACCESS_DENIED.
packet_builder read_request(std::uint32_t handle, std::int32_t position, std::int32_t length);
// Writes `data` (at most 500000 bytes) at `position`; the length parameter is the data's
// size and the data travel as the body. Answer: the count written (u32 at parameter offset
// 4). Refused: INVALID_HANDLE, DISK_FULL, ACCESS_DENIED.
packet_builder write_request(std::uint32_t handle, std::int32_t position,
                             std::span<const std::uint8_t> data);
// Closes a handle. Refused: INVALID_HANDLE.
packet_builder close_request(std::uint32_t handle);
// Copies `length` bytes at `position` of the source file into the destination handle at
// the same position, on the server. Answer: the count written (u32 at parameter offset 4);
// length 0 cuts the destination at `position`. Refused: NOT_FOUND, INVALID_HANDLE.
packet_builder copyfile_request(std::uint32_t handle, std::int32_t position, std::int32_t length,
                                std::string_view source_path);
// Tells the server the client is still there; it has no answer.
packet_builder keepalive_request();
// Ends the session; the server closes the connection without an answer.
packet_builder disconnect_request();

} // namespace tvn_client
