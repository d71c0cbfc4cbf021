#include "cli/ProgressLine.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iterator>

#include <sys/ioctl.h>

namespace {

std::string formatBytes(std::int64_t bytes) {
    static constexpr const char* units[] = {"KiB", "MiB", "GiB", "TiB"};
    if (bytes < 1024) {
        return std::to_string(bytes) + " B";
    }
    double value = static_cast<double>(bytes) / 1024;
    std::size_t unit = 0;
    while (value >= 1024 && unit + 1 < std::size(units)) {
        value /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
    return text;
}

std::string formatDuration(double seconds) {
    const long long total = static_cast<long long>(seconds + 0.5);
    char text[32];
    if (total >= 3600) {
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", total / 3600, total / 60 % 60, total % 60);
    } else {
        std::snprintf(text, sizeof text, "%lld:%02lld", total / 60, total % 60);
    }
    return text;
}

} // namespace

void ProgressLine::record(std::int64_t done, Clock::time_point now) {
    m_samples.push_back({now, done});
    // One sample older than the window stays, as where the window's bytes began.
    while (m_samples.size() > 2 && now - m_samples[1].time >= speedWindow) {
        m_samples.pop_front();
    }
}

double ProgressLine::speed() const {
    if (m_samples.size() < 2) {
        return 0;
    }
    const Sample& first = m_samples.front();
    const Sample& last = m_samples.back();
    const double seconds = std::chrono::duration<double>(last.time - first.time).count();
    return seconds < 0.1 ? 0 : static_cast<double>(last.done - first.done) / seconds;
}

std::string ProgressLine::text(std::int64_t total, std::size_t width) const {
    const std::int64_t done = m_samples.empty() ? 0 : m_samples.back().done;
    std::string parts[4];
    parts[0] = formatBytes(done);
    if (total > 0) {
        parts[1] =
            " of " + formatBytes(total) + " (" + std::to_string(std::min<std::int64_t>(100, done * 100 / total)) + "%)";
    }
    if (const double rate = speed(); rate > 0) {
        parts[2] = ", " + formatBytes(static_cast<std::int64_t>(rate)) + "/s";
        if (total > done) {
            parts[3] = ", " + formatDuration(static_cast<double>(total - done) / rate) + " left";
        }
    }
    // The bytes always; what follows only as far as it fits.
    std::string line = parts[0];
    for (std::size_t i = 1; i < std::size(parts) && line.size() + parts[i].size() <= width; ++i) {
        line += parts[i];
    }
    line.resize(std::min(line.size(), width));
    return line;
}

std::size_t ProgressLine::terminalWidth(int fd) {
    winsize size{};
    if (::ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
        return size.ws_col;
    }
    if (const char* columns = std::getenv("COLUMNS")) {
        char* end = nullptr;
        const long value = std::strtol(columns, &end, 10);
        if (end != columns && *end == '\0' && value > 0 && value < 10000) {
            return static_cast<std::size_t>(value);
        }
    }
    return 80;
}
