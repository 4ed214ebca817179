/* Little-endian integers on byte buffers (C++). Every integer the server and the client put on
 * the wire or read from it goes through these, so the host's byte order and struct layout never
 * matter. */
#ifndef TOLVANE_BYTE_ORDER_H
#define TOLVANE_BYTE_ORDER_H

#include <cstdint>

namespace tvn_wire {

// The caller guarantees 2 (or 4) bytes at `at`.
inline void put_le16(std::uint8_t *at, std::uint16_t value) {
    at[0] = static_cast<std::uint8_t>(value);
    at[1] = static_cast<std::uint8_t>(value >> 8);
}

inline void put_le32(std::uint8_t *at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

inline std::uint16_t get_le16(const std::uint8_t *at) {
    return static_cast<std::uint16_t>(at[0] | at[1] << 8);
}

inline std::uint32_t get_le32(const std::uint8_t *at) {
    return static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8 |
           static_cast<std::uint32_t>(at[2]) << 16 | static_cast<std::uint32_t>(at[3]) << 24;
}

} // namespace tvn_wire

#endif
