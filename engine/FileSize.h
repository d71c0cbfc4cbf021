#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <string_view>

namespace FileSize {

// The size in bytes of the regular file at `path` (symbolic links followed), as a
// 64-bit number. Returns 0 when the file cannot be opened or is not a regular file;
// never fails otherwise.
std::int64_t FileSize2(const std::string& path);

// The state of a run of copies: a page-aligned buffer for copies that do not go
// through copy_file_range, allocated on first use and reused, so a run of many small
// pieces allocates once; whether copy_file_range proved unusable between the two
// files' file systems, so that it is not tried again for every piece; and the size
// of the next block, which shrinks on a slow disk (see nextBlockSize).
class CopyBuffer {
public:
    // Writes of 1 MiB and more from it into new page-cache pages were now and then ten
    // times slower than writes of 256 KiB on the machines this was measured on.
    static constexpr std::size_t size = std::size_t{256} << 10;
    CopyBuffer() = default;
    ~CopyBuffer();
    CopyBuffer(const CopyBuffer&) = delete;
    CopyBuffer& operator=(const CopyBuffer&) = delete;
    char* data();

    bool copyRangeUsable = true;
    std::int64_t blockBytes = maxBlockBytes;

    static constexpr std::int64_t maxBlockBytes = std::int64_t{8} << 20;
    static constexpr std::int64_t minBlockBytes = std::int64_t{256} << 10;

private:
    char* m_data = nullptr;
};

// The block to copy after one of `blockBytes` took `took`: blocks are meant to take
// about a tenth of a second at most, so that a slow disk (a USB stick writing 10 MB/s)
// still lets the host take its turn, and a stop request its effect, several times a
// second. Halves (or more) after a slow block, doubles after a quick one, always
// between minBlockBytes and maxBlockBytes.
std::int64_t nextBlockSize(std::int64_t blockBytes, std::chrono::nanoseconds took);

// How a chunked copy ended.
struct CopyResult {
    enum class Status { Copied, ReadFailed, WriteFailed, Stopped };
    Status status = Status::Copied;
    // errno of the failing call; 0 when the source ended early (ReadFailed) or a
    // write accepted no byte at all (WriteFailed)
    int error = 0;
};

// Writes all `count` bytes of `data` to `fd`. On failure returns false with `error`
// set to the write's errno, or to 0 when a write accepted no byte.
bool writeAll(int fd, const char* data, std::size_t count, int& error);

// Reads `fd` from its position to its end in blocks of at most `size` bytes into
// `buffer` and hands each block to `take`, which returns false to stop there. Returns
// 0 at the end or when `take` stopped, else the failing read's errno.
int readBlocks(int fd, char* buffer, std::size_t size, const std::function<bool(std::string_view block)>& take);

// Sees every byte of a copy, in order, before it is written.
using CopyObserver = std::function<void(const char* data, std::size_t count)>;

// Copies `length` bytes of `sourceFd`, starting at `sourceOffset`, to the current
// position of `destFd`, in blocks of at most 8 MiB (less on a slow disk). Uses
// copy_file_range, or read/write through `buffer` where the two files' file systems
// cannot serve it; an `observe` function makes it use read/write, since the bytes
// must pass through memory. Calls `turn` between blocks (not before the
// first one) with the bytes copied so far; when it returns false the copy ends with
// Stopped. A source that ends early is ReadFailed with error 0, a write that accepts
// no byte WriteFailed with error 0. A failing copy_file_range cannot tell reading from
// writing; it counts as WriteFailed.
CopyResult ReadFileChunks(int sourceFd, std::int64_t sourceOffset, int destFd, std::int64_t length, CopyBuffer& buffer,
                          const std::function<bool(std::int64_t copied)>& turn, const CopyObserver& observe = {});

// Asks the kernel to start reading the pieces a join will copy next, so that a piece
// set that is not in the page cache (just copied from a stick, say) is read with many
// requests in flight instead of one piece at a time. It stays idle while the pieces
// it samples (one in probeEvery) are in the page cache, as asking costs a few system
// calls a piece; after the first sample that is not, it stays at work for the rest
// of the join. Purely a hint: it never fails and never changes what is copied.
// `open(index)` opens piece `index` for reading and returns its descriptor, or -1;
// it must not block (O_NONBLOCK) and should open nothing but regular files.
// Descriptors are closed at once.
class ReadAhead {
public:
    static constexpr std::int64_t windowBytes = std::int64_t{32} << 20;
    static constexpr std::size_t windowPieces = 256;
    static constexpr std::size_t probeEvery = 32;

    ReadAhead(std::size_t count, std::function<int(std::size_t)> open);

    // Before piece `index` is copied: at work, asks for the pieces after it until
    // windowBytes or windowPieces lie ahead of it.
    void before(std::size_t index);

    bool atWork() const { return m_atWork; }

private:
    bool cached(std::size_t index);

    std::size_t m_count;
    std::function<int(std::size_t)> m_open;
    bool m_atWork = false;
    std::size_t m_next = 0;           // the first piece not asked for yet
    std::deque<std::int64_t> m_ahead; // bytes asked for of pieces m_next - size() .. m_next - 1
    std::int64_t m_aheadBytes = 0;
};

} // namespace FileSize
