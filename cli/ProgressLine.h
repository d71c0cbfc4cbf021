#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

// The text of the progress line on a terminal: bytes done, and when the total is
// known, of how many and the share; then the speed over the last few seconds, so that
// a disk that slows down shows at once, and the time left at that speed. What does
// not fit the terminal's width goes, the time left first.
class ProgressLine {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds speedWindow{5};

    // `done` bytes were reached at `now`.
    void record(std::int64_t done, Clock::time_point now);

    // The line for a total of `total` bytes (0: unknown), at most `width` bytes.
    std::string text(std::int64_t total, std::size_t width) const;

    // The terminal's width at `fd` (TIOCGWINSZ), else COLUMNS, else 80.
    static std::size_t terminalWidth(int fd);

private:
    // Bytes a second over the last speedWindow, 0 while less than a tenth of a
    // second has been seen.
    double speed() const;

    struct Sample {
        Clock::time_point time;
        std::int64_t done;
    };
    std::deque<Sample> m_samples;
};
