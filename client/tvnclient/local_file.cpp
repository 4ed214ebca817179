// Whole reads and writes on local descriptors.
#include "local_file.h"

#include <cerrno>

#include "interrupt.h"

namespace tvnclient {

bool write_all(int fd, const std::uint8_t *data, std::size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

long read_full(int fd, std::uint8_t *into, std::size_t size) {
    std::size_t got = 0;
    while (got < size) {
        const ssize_t n = ::read(fd, into + got, size - got);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR && !interrupted()) continue;
            return -1;
        }
        got += static_cast<std::size_t>(n);
    }
    return static_cast<long>(got);
}

} // namespace tvnclient
