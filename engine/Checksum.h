#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "engine/Result.h"

// SHA-256 of pieces and the checksum file "NAME.splt.sha256" beside a manifest, in
// the format of `sha256sum`: one line per file, 64 hexadecimal digits, two blanks,
// the file's name, LF. A name holding a backslash, CR or LF is written escaped and
// the line starts with a backslash, as `sha256sum` does.
namespace Checksum {

using Digest = std::array<unsigned char, 32>;

inline constexpr std::string_view sidecarSuffix = ".sha256";
// The longest line a split can write (a 255-byte name with every byte escaped) and
// the largest file (32767 pieces and the source), both rounded up.
inline constexpr std::size_t maxLineBytes = 1024;
inline constexpr std::int64_t maxSidecarBytes = std::int64_t{20} * 1024 * 1024;

// A checksum that could not be computed (OpenSSL failed, no hashing thread could be
// started, a hashing thread's read failed): "The checksum could not be computed:
// REASON".
Fault failure(const std::string& reason);

// An incremental SHA-256 over OpenSSL's EVP interface. A failure of OpenSSL's fails
// the call and every one after it.
class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    Status update(const void* data, std::size_t count);
    // The digest of everything given since construction or the last finish; starts afresh.
    Result<Digest> finish();

private:
    struct Context;
    Context* m_context;
};

// A SHA-256 computed on a thread of its own, beside the caller's work: the split of
// a stream hashes each piece and the whole source from the same bytes, which pass
// through memory once, and two cores do that in about the time of one. update()
// copies the bytes and returns once the block before them was taken. Without a thread
// to be had, it hashes in the caller's. Fails as Sha256 does; a failure on its thread
// fails the next call.
class BackgroundSha256 {
public:
    BackgroundSha256();
    ~BackgroundSha256();
    BackgroundSha256(const BackgroundSha256&) = delete;
    BackgroundSha256& operator=(const BackgroundSha256&) = delete;

    Status update(const void* data, std::size_t count);
    // Waits for the bytes given so far; then as Sha256::finish.
    Result<Digest> finish();

private:
    struct Worker;
    Sha256 m_hash;
    std::unique_ptr<Worker> m_worker;
};

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

    // Queues `job`, waiting while maxQueued jobs wait. False when a turn asked to stop;
    // the job is not queued then.
    Result<bool> add(const Job& job);
    // The copy has come to `offset`: the bytes before it may be read. Waits while more
    // than `window` bytes before it wait for their hash. False when a turn asked to
    // stop.
    Result<bool> advance(std::int64_t offset);
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

std::string toHex(const Digest& digest);

// The checksum file's path: the manifest path followed by ".sha256".
std::string sidecarPath(const std::string& manifestPath);

// One line of the checksum file, LF included.
std::string sidecarLine(const Digest& digest, std::string_view name);

// The digests a checksum file lists, by file name, in either form `sha256sum -c`
// reads: "DIGEST  NAME" (or " *NAME") and the tag form "SHA256 (NAME) = DIGEST", each
// escaped when it starts with a backslash. Lines in neither form are skipped, as
// `sha256sum -c` skips them.
class Sidecar {
public:
    // Reads the file `path`, relative to the folder open at `folderFd`: absent when
    // nothing stands there. Fails when it cannot be opened or read, is not a regular file
    // or is larger than maxSidecarBytes (EFBIG).
    static Result<Sidecar> load(const std::string& path, int folderFd);

    // A checksum file stood there and was read.
    bool present() const { return m_present; }
    // A name is listed twice with different digests: no digest can be trusted.
    bool conflicting() const { return m_conflicting; }

    // The digest listed for `name`, or nothing.
    std::optional<Digest> find(const std::string& name) const;

private:
    void addLine(std::string_view line);

    bool m_present = false;
    bool m_conflicting = false;
    std::unordered_map<std::string, Digest> m_digests;
};

} // namespace Checksum
