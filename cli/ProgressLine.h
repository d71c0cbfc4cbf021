#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

// The progress line on a terminal. The speed is taken over the last few seconds, so that a disk that slows down shows
// at once; what does not fit the width goes, the time left first.
class ProgressLine {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds speedWindow{5};

    void record(std::int64_t done, Clock::time_point now);
    // `total` 0: unknown.
    std::string text(std::int64_t total, std::size_t width) const;
    // TIOCGWINSZ, else COLUMNS, else 80.
    static std::size_t terminalWidth(int fd);

private:
    // 0 while less than a tenth of a second has been seen.
    double speed() const;

    struct Sample {
        Clock::time_point time;
        std::int64_t done;
    };
    std::deque<Sample> m_samples;
};
