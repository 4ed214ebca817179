// Waiting, in short steps, for what no one tells tvnctl about: a server's start or its end.
#pragma once

#include <chrono>
#include <thread>

namespace tvnctl {

class deadline {
public:
    explicit deadline(int seconds)
            : end_(std::chrono::steady_clock::now() + std::chrono::seconds(seconds)) {}
    bool passed() const { return std::chrono::steady_clock::now() >= end_; }
    // Milliseconds left, at least 0.
    long long left_ms() const {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end_ - std::chrono::steady_clock::now());
        return left.count() > 0 ? left.count() : 0;
    }

private:
    std::chrono::steady_clock::time_point end_;
};

inline void pause_a_moment() { std::this_thread::sleep_for(std::chrono::milliseconds(50)); }

} // namespace tvnctl
