// The progress bar of a transfer: drawn on standard error only when that is a terminal, and
// only once the transfer has taken more than a second, so quick and scripted transfers
// print nothing.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace tvnclient {

class progress_meter {
public:
    // Draws nothing unless `enabled` (no -q) and standard error is a terminal.
    explicit progress_meter(bool enabled);
    ~progress_meter() { finish(false); }
    progress_meter(const progress_meter &) = delete;
    progress_meter &operator=(const progress_meter &) = delete;

    // A new transfer of `total` bytes (0 when unknown), `done` of them already in place.
    void start(std::string_view name, std::uint64_t total, std::uint64_t done);
    void update(std::uint64_t done);
    // Ends the line when one was drawn: with the final numbers when the transfer
    // `completed`, else just a line feed, so that the error message stands on its own line.
    void finish(bool completed = true);

private:
    using clock = std::chrono::steady_clock;
    void draw(bool final);

    bool enabled_;
    bool running_ = false;
    bool drawn_ = false;
    std::string name_;
    std::uint64_t total_ = 0;
    std::uint64_t first_ = 0;
    std::uint64_t done_ = 0;
    clock::time_point started_;
    clock::time_point last_drawn_;
};

// One line of the meter in at most `width` columns: name, percentage, bar, amount, rate and
// time left (or the time taken, once `final`).
std::string progress_line(std::string_view name, std::uint64_t done, std::uint64_t total,
                          std::uint64_t moved, double seconds, bool final, std::size_t width);
// "512 B", "1.5 KiB", "20.0 MiB".
std::string human_size(double bytes);

} // namespace tvnclient
