#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>

#include "engine/Result.h"
#include "engine/hash/Sha256.h"

namespace Checksum {

// SHA-256 of ranges of files, on threads of their own beside the caller's copy: each
// job is a range read with pread, from the page cache where the copy has just put it.
// Memory stays bounded: one buffer per thread and at most maxQueued jobs waiting.
// Paced (an `available` below `unlimited`), ranges are read only as far as the caller
// says its copy has come, and the copy is held back while more than `window` of the
// bytes it made available wait for their hash, so that they are still in the page
// cache when they are read and the progress shown is that of the hashes too.
class Hashers {
public:
    struct Job {
        int fd;
        std::int64_t offset; // where the range starts, counted as `available` counts
        std::int64_t length;
        std::size_t index;    // the caller's number for it
        bool closeFd = false; // the descriptor is closed once the job is done or dropped
    };
    // Called as each job is done, in no set order: on a hashing thread, or on the
    // caller's inside add or advance, where it hashes a short job itself rather than
    // wait; with the failing read's fault or the digest of the range (of its bytes up
    // to the file's end where the file is shorter). A fault it returns fails the whole.
    using Done = std::function<Status(const Job& job, const Result<Digest>& digest)>;
    // Given a turn about every 50 ms while the caller waits; false asks to stop.
    using Turn = std::function<bool()>;
    // How a call that waits ended: it went on, or a turn asked to stop.
    enum class Going { On, Stopped };

    static constexpr std::int64_t unlimited = std::numeric_limits<std::int64_t>::max();
    static constexpr std::int64_t window = std::int64_t{32} << 20;
    static constexpr std::size_t maxQueued = 64;
    static constexpr std::size_t blockBytes = std::size_t{256} << 10;

    // Starts `threads` hashing threads; when not one can be started, the first call
    // fails. Bytes before `available` may be read from the start. Once a job failed,
    // every call fails with its fault, a failure of the checksum's.
    Hashers(unsigned threads, Done done, Turn turn = {}, std::int64_t available = unlimited);
    // Drops the jobs not done and ends the threads.
    ~Hashers();
    Hashers(const Hashers&) = delete;
    Hashers& operator=(const Hashers&) = delete;

    // Queues `job`, waiting while maxQueued jobs wait. Stopped when a turn asked to
    // stop; the job is not queued then.
    Result<Going> add(const Job& job);
    // The copy has come to `offset`: the bytes before it may be read. Waits while more
    // than `window` bytes before it wait for their hash. Stopped when a turn asked to
    // stop.
    Result<Going> advance(std::int64_t offset);
    // Waits until every job is done, dropping those (or their rest) beyond what was
    // made available; turns are given, but cannot end the wait.
    Status drain();

    // The cores this process may run on, between 1 and 16.
    static unsigned cores();

private:
    struct State;
    static void* start(void* thread);
    void work(std::size_t slot);
    std::unique_ptr<State> m_state;
};

} // namespace Checksum
