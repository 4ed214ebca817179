// Drawing the progress bar.
#include "progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "problem.h"

namespace tvnclient {

namespace {

using namespace std::chrono_literals;

constexpr auto quiet_start = 1s; // transfers quicker than this show nothing
constexpr auto redraw_every = 200ms;

std::size_t terminal_width() {
    winsize size{};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col >= 20) return size.ws_col;
    return 80;
}

std::string clock_text(double seconds) {
    const long total = static_cast<long>(seconds + 0.5);
    char text[32];
    if (total >= 3600)
        std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", total / 3600, total / 60 % 60,
                      total % 60);
    else
        std::snprintf(text, sizeof text, "%ld:%02ld", total / 60, total % 60);
    return text;
}

} // namespace

std::string human_size(double bytes) {
    static const char *const units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    std::size_t unit = 0;
    while (bytes >= 1024 && unit + 1 < std::size(units)) {
        bytes /= 1024;
        ++unit;
    }
    char text[32];
    if (unit == 0)
        std::snprintf(text, sizeof text, "%.0f B", bytes);
    else
        std::snprintf(text, sizeof text, "%.1f %s", bytes, units[unit]);
    return text;
}

std::string progress_line(std::string_view name, std::uint64_t done, std::uint64_t total,
                          std::uint64_t moved, double seconds, bool final, std::size_t width) {
    const double rate = seconds > 0 ? static_cast<double>(moved) / seconds : 0;
    std::string tail =
        "  " + human_size(static_cast<double>(done)) + "  " + human_size(rate) + "/s";
    if (final) {
        tail += "  in " + clock_text(seconds);
    } else if (total > done && rate > 0) {
        tail += "  " + clock_text(static_cast<double>(total - done) / rate) + " left";
    }
    std::string percent;
    if (total > 0) {
        char text[8];
        std::snprintf(text, sizeof text, " %3d%%",
                      static_cast<int>(std::min(done, total) * 100 / total));
        percent = text;
    }
    // The name takes at most a third of the line; the bar what remains.
    std::string shown(name.substr(0, std::max<std::size_t>(width / 3, 8)));
    if (shown.size() < name.size()) shown.replace(shown.size() - 3, 3, "...");
    std::string line = shown + percent;
    const std::size_t used = line.size() + tail.size() + 3;
    if (total > 0 && width > used + 10) {
        const std::size_t bar = width - used - 1;
        const std::size_t filled = static_cast<std::size_t>(std::min(done, total) * bar / total);
        line += " [" + std::string(filled, '#') + std::string(bar - filled, ' ') + "]";
    }
    line += tail;
    if (line.size() > width - 1) line.resize(width - 1);
    return line;
}

progress_meter::progress_meter(bool enabled) : enabled_(enabled && isatty(STDERR_FILENO) == 1) {}

void progress_meter::start(std::string_view name, std::uint64_t total, std::uint64_t done) {
    finish(false);
    running_ = true;
    drawn_ = false;
    name_ = printable(name);
    total_ = total;
    first_ = done_ = done;
    started_ = clock::now();
}

void progress_meter::update(std::uint64_t done) {
    done_ = done;
    if (!enabled_ || !running_) return;
    const auto now = clock::now();
    if (now - started_ < quiet_start || (drawn_ && now - last_drawn_ < redraw_every)) return;
    draw(false);
}

void progress_meter::finish(bool completed) {
    if (!running_) return;
    running_ = false;
    if (!enabled_) return;
    // A transfer that ran long enough to need a bar gets its final state, even when the
    // last update came before the first second was over.
    if (completed && (drawn_ || clock::now() - started_ >= quiet_start)) draw(true);
    if (drawn_) std::fputc('\n', stderr);
    drawn_ = false;
}

void progress_meter::draw(bool final) {
    const std::chrono::duration<double> elapsed = clock::now() - started_;
    const std::string line = progress_line(name_, done_, total_, done_ - first_, elapsed.count(),
                                           final, terminal_width());
    std::fprintf(stderr, "\r%s\x1b[K", line.c_str());
    std::fflush(stderr);
    drawn_ = true;
    last_drawn_ = clock::now();
}

} // namespace tvnclient
