#pragma once

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <poll.h>
#include <unistd.h>

#include "engine/Copy.h"
#include "engine/EngineHost.h"
#include "engine/PieceSet.h"
#include "engine/RunFolder.h"
#include "engine/TemporaryFile.h"
#include "engine/formats/ChecksumFile.h"
#include "engine/hash/Crc32.h"
#include "engine/hash/HashingPool.h"
#include "engine/hash/ParallelCrc.h"
#include "engine/runs/Steps.h"

// The splitter's parts besides its loop.
namespace SplitMergeFile::Steps {

// The list, written to a temporary file as the pieces are, so that a long one is never held in memory. Created with
// the first line, so that a folder that takes no new file fails at the first piece.
class ManifestWriter {
public:
    ManifestWriter(const RunFolder& folder, const std::string& path) : m_folder(folder), m_path(path) {}

    void add(const std::string& piecePath) {
        create();
        m_buffer += piecePath;
        m_buffer += PieceSet::lineEnd;
        if (m_buffer.size() >= bufferSize) {
            write();
        }
    }

    void publish(const std::string& name) {
        create();
        write();
        orFail(m_file.publish(name, true), 138, m_path);
    }

private:
    void create() {
        if (!m_file.isOpen()) {
            orFail(m_file.create(m_folder.fd()), 134, m_path);
        }
    }

    void write() {
        orFail(Copy::writeAll(m_file.fd(), m_buffer.data(), m_buffer.size()), 136, m_path);
        m_buffer.clear();
    }

    static constexpr std::size_t bufferSize = 64 * 1024;
    const RunFolder& m_folder;
    const std::string& m_path;
    TemporaryFile m_file;
    std::string m_buffer;
};

// A source that cannot seek (a pipe). Polled a tenth of a second at a time, so that a stop is seen while the writer
// is quiet.
class StreamSource {
public:
    StreamSource(int fd, const std::string& name, EngineHost& host) : m_fd(fd), m_name(name), m_host(host) {}

    // Up to `most` bytes and a buffer, fewer only at the end. False when the host asked to stop.
    bool next(std::int64_t most) {
        const auto wanted = static_cast<std::size_t>(std::min<std::int64_t>(most, Copy::Buffer::size));
        m_filled = 0;
        while (m_filled < wanted && !m_ended) {
            if (!m_host.keepGoing()) {
                return false;
            }
            pollfd ready = {m_fd, POLLIN, 0};
            const int polled = ::poll(&ready, 1, 100);
            if (polled < 0 && errno != EINTR) {
                fail(120, m_name, Fault::ofErrno());
            }
            if (polled <= 0) {
                continue;
            }
            const ssize_t n = ::read(m_fd, m_buffer.data() + m_filled, wanted - m_filled);
            if (n > 0) {
                m_filled += static_cast<std::size_t>(n);
            } else if (n == 0) {
                m_ended = true;
            } else if (errno != EINTR && errno != EAGAIN) {
                fail(120, m_name, Fault::ofErrno());
            }
        }
        return true;
    }

    const char* data() { return m_buffer.data(); }
    std::size_t size() const { return m_filled; }
    bool ended() const { return m_ended; }

private:
    int m_fd;
    const std::string& m_name;
    EngineHost& m_host;
    Copy::Buffer m_buffer;
    std::size_t m_filled = 0;
    bool m_ended = false;
};

// The source hashed on a thread of its own, the pieces on the other cores, each reading what the copy has just put in
// the page cache, so that the copy itself can clone or stay in the kernel.
class SplitHashes {
public:
    using Job = Checksum::Hashers::Job;

    SplitHashes(int source, std::int64_t size, std::size_t pieces, const std::string& sourcePath,
                const Checksum::Hashers::Turn& turn)
        : m_sourceFd(source), m_sourcePath(sourcePath), m_pieces(pieces) {
        m_sourceHash.emplace(
            1, [this](const Job&, const Result<Checksum::Digest>& digest) { return keep(digest, m_source); }, turn, 0);
        m_pieceHashes.emplace(
            std::max(Checksum::Hashers::cores(), 2U) - 1,
            [this](const Job& job, const Result<Checksum::Digest>& digest) {
                return keep(digest, m_pieces[job.index]);
            },
            turn, 0);
        // An empty queue takes a job at once.
        checked(m_sourceHash->add({m_sourceFd, 0, size, 0}));
    }

    bool add(std::int64_t offset, std::int64_t length, std::size_t index) {
        return checked(m_pieceHashes->add({m_sourceFd, offset, length, index}));
    }

    bool advance(std::int64_t offset) {
        return checked(m_sourceHash->advance(offset)) && checked(m_pieceHashes->advance(offset));
    }

    void finish() {
        orFail(m_sourceHash->drain(), 120, m_sourcePath);
        orFail(m_pieceHashes->drain(), 120, m_sourcePath);
    }

    const std::vector<Checksum::Digest>& pieces() const { return m_pieces; }
    const Checksum::Digest& source() const { return m_source; }

private:
    // A range that cannot be read cannot be hashed.
    static Status keep(const Result<Checksum::Digest>& digest, Checksum::Digest& into) {
        if (!digest) {
            return Checksum::failure(digest.fault().why());
        }
        into = *digest;
        return {};
    }

    bool checked(Result<Checksum::Hashers::Going>&& result) const {
        return orFail(std::move(result), 120, m_sourcePath) == Checksum::Hashers::Going::On;
    }

    const int m_sourceFd;
    const std::string& m_sourcePath;
    std::vector<Checksum::Digest> m_pieces;
    Checksum::Digest m_source{};
    // Declared last, so that their threads end before what they write to goes.
    std::optional<Checksum::Hashers> m_sourceHash;
    std::optional<Checksum::Hashers> m_pieceHashes;
};

// The CRC-32 for a numbered set's .crc: pieces already copied, still in the page cache, are hashed in batches on
// threads of their own while the next ones are copied.
class SourceCrc {
public:
    SourceCrc(int fd, const std::string& sourcePath, EngineHost& host)
        : m_fd(fd), m_sourcePath(sourcePath), m_host(host) {}
    ~SourceCrc() {
        m_stop = true;
        if (m_worker.joinable()) {
            m_worker.join();
        }
    }
    SourceCrc(const SourceCrc&) = delete;
    SourceCrc& operator=(const SourceCrc&) = delete;

    bool add(std::int64_t offset, std::int64_t length) {
        m_pending.push_back({m_fd, offset, length});
        m_pendingBytes += length;
        // Small batches would cost a thread each for little.
        if (m_pendingBytes >= ParallelCrc::chunkBytes && (!m_worker.joinable() || m_done)) {
            if (!collect()) {
                return false;
            }
            launch();
        }
        return true;
    }

    // Nothing when the host asked to stop.
    std::optional<std::uint32_t> finish() {
        if (!collect()) {
            return std::nullopt;
        }
        launch();
        if (!collect()) {
            return std::nullopt;
        }
        return m_crc;
    }

private:
    // On the caller's thread where none can be started.
    void launch() {
        if (m_pending.empty()) {
            return;
        }
        m_batch = std::move(m_pending);
        m_pending.clear();
        m_pendingBytes = 0;
        m_done = false;
        const auto work = [this] {
            m_result = ParallelCrc::ofRanges(m_batch, Checksum::Hashers::cores(), [this] { return !m_stop.load(); });
            const std::lock_guard<std::mutex> lock(m_mutex);
            m_done = true;
            m_finished.notify_all();
        };
        try {
            m_worker = std::thread(work);
        } catch (const std::system_error&) {
            work();
        }
    }

    bool collect() {
        if (m_batch.empty()) {
            return true;
        }
        for (std::unique_lock<std::mutex> lock(m_mutex);
             !m_finished.wait_for(lock, std::chrono::milliseconds(50), [this] { return m_done.load(); });) {
            lock.unlock();
            if (!m_host.keepGoing()) {
                m_stop = true;
            }
            lock.lock();
        }
        if (m_worker.joinable()) {
            m_worker.join();
        }
        if (m_stop) {
            return false;
        }
        const std::vector<ParallelCrc::Crc>& crcs = orFail(std::move(m_result), 120, m_sourcePath);
        for (std::size_t i = 0; i < crcs.size(); ++i) {
            if (crcs[i].length != m_batch[i].length) {
                fail(120, m_sourcePath, "the file changed while it was split");
            }
        }
        const ParallelCrc::Crc batch = ParallelCrc::concatenated(crcs);
        m_crc = Crc32::combine(m_crc, batch.crc, batch.length);
        m_batch.clear();
        return true;
    }

    const int m_fd;
    const std::string& m_sourcePath;
    EngineHost& m_host;
    std::vector<ParallelCrc::Range> m_pending;
    std::int64_t m_pendingBytes = 0;
    std::vector<ParallelCrc::Range> m_batch; // in work
    Result<std::vector<ParallelCrc::Crc>> m_result{std::vector<ParallelCrc::Crc>{}};
    std::uint32_t m_crc = 0;
    std::atomic<bool> m_done{true};
    std::atomic<bool> m_stop{false};
    std::mutex m_mutex;
    std::condition_variable m_finished;
    std::thread m_worker;
};

} // namespace SplitMergeFile::Steps
