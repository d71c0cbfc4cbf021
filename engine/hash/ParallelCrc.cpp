#include "engine/hash/ParallelCrc.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

#include <unistd.h>

#include "engine/hash/Crc32.h"

namespace ParallelCrc {

namespace {

struct Work {
    const std::vector<Range>& ranges;
    std::vector<std::size_t> firstJob; // per range, the number of its first chunk
    std::vector<Crc> chunks;
    std::atomic<std::size_t> next{0};
    std::atomic<bool> stop{false};
    std::mutex mutex;
    std::optional<Fault> fault;
    std::size_t failedRange = 0;

    explicit Work(const std::vector<Range>& all) : ranges(all) {
        std::size_t jobs = 0;
        for (const Range& range : ranges) {
            firstJob.push_back(jobs);
            // An empty range is still one (empty) chunk, so it has a result.
            jobs += static_cast<std::size_t>(std::max<std::int64_t>(1, (range.length + chunkBytes - 1) / chunkBytes));
        }
        chunks.resize(jobs);
    }

    void fail(Fault why, std::size_t range) {
        const std::lock_guard lock(mutex);
        if (!fault) {
            fault = std::move(why);
            failedRange = range;
        }
        stop = true;
    }

    // Hashes chunks until none is left; `turn`, when given, between blocks.
    void run(const std::function<bool()>* turn) {
        const std::unique_ptr<char[]> buffer(new char[blockBytes]);
        std::chrono::steady_clock::time_point lastTurn; // the first turn after the first block
        for (std::size_t job = next++; job < chunks.size() && !stop; job = next++) {
            const auto after = std::upper_bound(firstJob.begin(), firstJob.end(), job);
            const std::size_t index = static_cast<std::size_t>(after - firstJob.begin()) - 1;
            const Range& range = ranges[index];
            const std::int64_t start = static_cast<std::int64_t>(job - firstJob[index]) * chunkBytes;
            const std::int64_t length = std::min(chunkBytes, range.length - start);
            Crc& chunk = chunks[job];
            while (chunk.length < length && !stop) {
                const std::size_t want = static_cast<std::size_t>(
                    std::min<std::int64_t>(length - chunk.length, static_cast<std::int64_t>(blockBytes)));
                const ssize_t got = ::pread(range.fd, buffer.get(), want, range.offset + start + chunk.length);
                if (got < 0 && errno == EINTR) {
                    continue;
                }
                if (got < 0) {
                    fail(Fault::ofErrno(), index);
                    return;
                }
                if (got == 0) {
                    break; // the file ends here
                }
                chunk.crc = Crc32::update(chunk.crc, buffer.get(), static_cast<std::size_t>(got));
                chunk.length += got;
                if (turn != nullptr && std::chrono::steady_clock::now() - lastTurn >= std::chrono::milliseconds(50)) {
                    lastTurn = std::chrono::steady_clock::now();
                    if (!(*turn)()) {
                        fail(Fault{ECANCELED}, index);
                        return;
                    }
                }
            }
        }
    }
};

} // namespace

Result<std::vector<Crc>> ofRanges(const std::vector<Range>& ranges, unsigned threads, const std::function<bool()>& turn,
                                  std::size_t* failed) {
    Work work(ranges);
    // Plain standard threads: the engine has no event loop or pool of its own, and these
    // live only for the call.
    std::vector<std::thread> helpers;
    // Threads beside the caller's, no more than there are chunks for.
    const std::size_t wanted =
        work.chunks.empty() ? 0 : std::min<std::size_t>(std::max(threads, 1u), work.chunks.size()) - 1;
    for (std::size_t i = 0; i < wanted; ++i) {
        try {
            helpers.emplace_back([&work] { work.run(nullptr); });
        } catch (const std::system_error&) {
            break; // fewer threads, the same result
        }
    }
    work.run(turn ? &turn : nullptr);
    for (std::thread& helper : helpers) {
        helper.join();
    }
    if (work.fault) {
        if (failed != nullptr) {
            *failed = work.failedRange;
        }
        return *work.fault;
    }
    std::vector<Crc> crcs(ranges.size());
    for (std::size_t index = 0; index < ranges.size(); ++index) {
        const std::size_t end = index + 1 < ranges.size() ? work.firstJob[index + 1] : work.chunks.size();
        bool ended = false;
        for (std::size_t job = work.firstJob[index]; job < end && !ended; ++job) {
            const Crc& chunk = work.chunks[job];
            crcs[index].crc = Crc32::combine(crcs[index].crc, chunk.crc, chunk.length);
            crcs[index].length += chunk.length;
            // Past a short chunk the file has ended; a later chunk may have found bytes
            // that were added meanwhile, which are not the range's.
            const std::int64_t start = static_cast<std::int64_t>(job - work.firstJob[index]) * chunkBytes;
            ended = chunk.length < std::min(chunkBytes, ranges[index].length - start);
        }
    }
    return crcs;
}

Crc concatenated(const std::vector<Crc>& crcs) {
    Crc whole;
    for (const Crc& part : crcs) {
        whole.crc = Crc32::combine(whole.crc, part.crc, part.length);
        whole.length += part.length;
    }
    return whole;
}

} // namespace ParallelCrc
