// Local files: a descriptor that closes itself, and whole reads and writes.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdint>

namespace tvnclient {

class unique_fd {
public:
    unique_fd() = default;
    explicit unique_fd(int fd) : fd_(fd) {}
    ~unique_fd() { reset(); }
    unique_fd(unique_fd &&other) noexcept : fd_(other.release()) {}
    unique_fd &operator=(unique_fd &&other) noexcept {
        if (this != &other) {
            reset();
            fd_ = other.release();
        }
        return *this;
    }
    unique_fd(const unique_fd &) = delete;
    unique_fd &operator=(const unique_fd &) = delete;

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    // Closes and reports the result: a write-back error may only show here.
    bool close_checked() {
        const int fd = release();
        return fd < 0 || ::close(fd) == 0;
    }

private:
    int fd_ = -1;
};

// Writes every byte; false with errno set on an error.
bool write_all(int fd, const std::uint8_t *data, std::size_t size);
// Reads until `size` bytes or the end of the input: their count, or -1 with errno set. A
// read that Ctrl-C interrupts fails with EINTR.
long read_full(int fd, std::uint8_t *into, std::size_t size);

} // namespace tvnclient
