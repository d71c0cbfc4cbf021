#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <thread>
#include <vector>

#include <sys/stat.h>

#include "engine/Descriptor.h"
#include "engine/Result.h"
#include "engine/hash/ParallelCrc.h"
#include "engine/hash/Sha256.h"

// The machinery beneath the split's and the join's copies: the buffer and state of a
// run of copies, one block copied, whole writes, block reads and the join's
// read-ahead.
namespace Copy {

class ReadAhead;
class CrcBehind;

// The state of a run of copies: a page-aligned buffer for copies that go through
// neither a clone nor copy_file_range, allocated on first use and reused, so a run of
// many small pieces allocates once; whether cloning proved unusable between the two
// files' file systems, so that it is not tried again for every piece; whether
// copy_file_range is to be used (see copyBlock); and the size of the next block,
// which shrinks on a slow disk (see nextBlockSize).
class Buffer {
public:
    // Writes of 1 MiB and more from it into new page-cache pages were now and then ten
    // times slower than writes of 256 KiB on the machines this was measured on.
    static constexpr std::size_t size = std::size_t{256} << 10;
    Buffer() = default;
    ~Buffer();
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    char* data();

    bool cloneUsable = true;
    // Unset until the first copy that cannot clone looks at the destination's file
    // system; false also once copy_file_range proved unusable between the two files.
    std::optional<bool> copyRange;
    // copy_file_range also where the destination is on this machine: the join's copy
    // from the page cache into new pages of the output, which the kernel then makes
    // without the copy out to the buffer and back in. Measured on ext4 (Linux 6.18)
    // with 100 MiB pieces in the page cache: as fast as `cat`, where read/write took up
    // to three times as long, now and then; with 1 MiB pieces, the same.
    bool copyRangeLocally = false;
    // The destination is a network file system's (see copyBlock); set with copyRange.
    bool copiesRemotely = false;
    std::int64_t blockBytes = maxBlockBytes;
    // The join's read-ahead, when it reads pieces around the page cache: copyBlock
    // takes what it read before reading a piece itself.
    ReadAhead* ahead = nullptr;
    // The CRC of the destination, when one is computed: copyBlock hashes the bytes it
    // writes from memory there, so that they need not be read back.
    CrcBehind* crc = nullptr;

    static constexpr std::int64_t maxBlockBytes = std::int64_t{8} << 20;
    static constexpr std::int64_t minBlockBytes = std::int64_t{256} << 10;
    // The block size of the file systems that clone: offsets and lengths of a clone
    // are multiples of it. Where a file system's blocks are larger, its clones fail and
    // the copy falls back.
    static constexpr std::int64_t cloneAlignment = 4096;

private:
    char* m_data = nullptr;
};

// The block to copy after one of `blockBytes` took `took`: blocks are meant to take
// about a tenth of a second at most, so that a slow disk (a USB stick writing 10 MB/s)
// still lets the host take its turn, and a stop request its effect, several times a
// second. Halves (or more) after a slow block, doubles after a quick one, always
// between minBlockBytes and maxBlockBytes.
std::int64_t nextBlockSize(std::int64_t blockBytes, std::chrono::nanoseconds took);

// How a copy that did not fail ended.
struct Copied {
    // Every byte was cloned: the destination shares the source's blocks, and neither
    // file's bytes were read.
    bool cloned = false;
    // A turn asked to stop before the last byte.
    bool stopped = false;
};

// The reasons of failures no errno names.
inline constexpr const char* endedEarly = "The file ended before all of its bytes were read.";
inline constexpr const char* acceptedNothing = "The file system accepted none of the bytes written.";

// Copies `count` bytes from `offset` of `sourceFd` to `destOffset` of `destFd` (-1:
// its current position) and advances both offsets past them. Clones (FICLONERANGE)
// where both offsets are multiples of Buffer::cloneAlignment and `count` is one too
// or runs to the source's end, and the file system can. Otherwise it copies: through
// copy_file_range where the destination lies on a network file system, which then
// copies on the server, and where `buffer` asks for it on this machine too (a join:
// see copyRangeLocally); else by read/write through `buffer`. Bytes the join's read-ahead read around the page cache
// are written from its blocks. A source that ends early fails with endedEarly, a write that accepts no byte with
// acceptedNothing at the destination. A failing copy_file_range cannot tell reading
// from writing: on a network file system it counts as the destination's, on this
// machine read/write goes on in its place and tells.
::Result<Copied> copyBlock(int sourceFd, std::int64_t& offset, int destFd, std::int64_t& destOffset, std::int64_t count,
                           Buffer& buffer);

// Writes all `count` bytes of `data` to `fd`; fails with acceptedNothing when a write
// accepts no byte.
Status writeAll(int fd, const char* data, std::size_t count);

// Reads `fd` from its position to its end in blocks of at most `size` bytes into
// `buffer` and hands each block to `take`, which returns false to stop there.
Status readBlocks(int fd, char* buffer, std::size_t size, const std::function<bool(std::string_view block)>& take);

// Reads that go around the page cache (O_DIRECT): a file that is not in the page
// cache is read straight into the reader's buffer, which saves copying every byte
// out of freshly filled cache pages, the work that competes with hashing for the
// cores. Offsets, lengths and buffers of such reads are multiples of directAlignment;
// a read at the end of the file may ask past it and returns what is there.
inline constexpr std::int64_t directAlignment = 4096;

// Ranges shorter than this are left to the kernel's read-ahead, which asks for many
// small files at once, where reads around the page cache would ask for one at a time.
inline constexpr std::int64_t directSmallest = std::int64_t{256} << 10;

// Whether most of the first bytes (at most 4 MiB) of the `length` bytes at `offset`
// of `fd`, as far as the file goes, are not in the page cache, so that reading them
// around it costs nothing it would have saved. False where fewer than directSmallest
// bytes are there, and where it cannot be told.
bool mostlyUncached(int fd, std::int64_t offset, std::int64_t length);

// Turns reads around the page cache on or off for the open file `fd`; false where its
// file system refuses (tmpfs, some FUSE).
bool setDirect(int fd, bool on);

// Asks the kernel to start reading the pieces a join will copy next, so that a piece
// set that is not in the page cache (just copied from a stick, say) is read with many
// requests in flight instead of one piece at a time. It stays idle while the pieces
// it samples (the one after its first call, then one in probeEvery) are in the page
// cache, as asking costs a few system calls a piece; after the first sample that is
// not, it stays at work for the rest of the join. Purely a hint: it never fails and
// never changes what is copied. `open(index, st)` opens piece `index` for reading,
// fills `st` and returns its descriptor (none: -1); it must not block (O_NONBLOCK) and
// should open nothing but regular files. The descriptors it opens are kept, while the
// process's limit of open files leaves ample room, until the join takes them or
// passes their pieces, so that no piece is opened twice.
// Given the `copies` buffer of the join, pieces mostly not in the page cache are read
// around it (O_DIRECT) on threads of its own into a few blocks of memory, from which
// copyBlock writes them: reading then costs the cores next to nothing and the disk
// has requests in flight while the join writes. A piece whose file system refuses
// such reads, or that cannot be opened again for them, is asked for as above.
class ReadAhead {
public:
    static constexpr std::int64_t windowBytes = std::int64_t{32} << 20;
    static constexpr std::size_t windowPieces = 256;
    static constexpr std::size_t probeEvery = 32;
    static constexpr std::size_t directBlockBytes = std::size_t{1} << 20;
    // Few: a block hashed long after it was read has left the processor's cache.
    static constexpr std::size_t directBlocks = 8;
    // Several requests in flight keep the disk busy while others wait for a hash or a copy.
    static constexpr unsigned directReaders = 4;
    // Pieces a verify hands to the readers before it waits for them.
    static constexpr std::size_t hashedPiecesAhead = 32;

    using Open = std::function<Descriptor(std::size_t index, struct stat& st)>;
    ReadAhead(std::size_t count, Open open, Buffer* copies = nullptr);
    ~ReadAhead();
    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;

    // With `leave`, pieces mostly not in the page cache are not asked for: the caller
    // reads them around it itself (verify's hashing threads).
    void leaveColdToCaller(bool leave) { m_callerReadsCold = leave; }

    // What the readers' hash found of a piece they read whole: its digest, or the
    // fault of a read (an unreadable piece) or of the hash itself (`hashFailed`).
    struct Hashed {
        Result<Checksum::Digest> digest = Fault();
        bool hashFailed = false;
    };
    // Pieces read around the page cache are hashed (SHA-256) from the readers' blocks
    // as they come in, in order, on threads of their own, so that checking them costs
    // no read of their own. Without `copies`, nothing copies them: the blocks are
    // given back once hashed (verify). Before the first call to before.
    void hashCold() { m_hashCold = true; }
    // Whether piece `index` went to the readers to be hashed: its digest is to come.
    bool hashesCold(std::size_t index) const { return index < m_coldHashed.size() && m_coldHashed[index]; }
    // Once piece `index` was copied: whether every byte copied came from the readers'
    // blocks, and as many as they hash, so that its digest is that of the bytes copied.
    bool copiedAsHashed(std::size_t index);
    // The readers' digest of piece `index`, where hashesCold(index): waits for it with
    // `wait`, else none while it is not there yet. Once per piece.
    std::optional<Hashed> digest(std::size_t index, bool wait);

    // Before piece `index` is copied: at work, asks for the pieces after it until
    // windowBytes or windowPieces lie ahead of it.
    void before(std::size_t index);

    // The descriptor of piece `index` when this opened it and kept it, with what
    // `open` filled in `st`; none otherwise. Descriptors of the pieces before it are
    // closed.
    Descriptor take(std::size_t index, struct stat& st);

    // For copyBlock: up to `count` bytes at `offset` of the piece last taken (or
    // passed to take), open as `fd`, where they were read around the page cache;
    // empty where they were not (another file, another offset, a read that failed or
    // found the piece shorter, a piece cut short since): the caller reads them
    // itself. The bytes stay valid until the next call.
    std::string_view readAt(int fd, std::int64_t offset, std::int64_t count);

private:
    struct Held {
        std::size_t index;
        int fd;
        struct stat st;
    };

    bool cached(std::size_t index);
    // Piece `index`'s descriptor, held or opened now, and its size; -1 when it cannot
    // be opened. `kept`: it stays held, else the caller closes it.
    int open(std::size_t index, std::int64_t& size, bool& kept);
    void dropBefore(std::size_t index);
    // Hands piece `index`, open as `fd`, to the threads that read around the page
    // cache; false when they cannot take it.
    bool readDirect(std::size_t index, int fd, std::int64_t size);

    struct Direct;
    std::unique_ptr<Direct> m_direct; // made for the first piece read around the page cache
    Buffer* m_copies;
    bool m_callerReadsCold = false;
    bool m_hashCold = false;
    std::vector<bool> m_coldHashed; // by piece: handed to the readers' hash
    std::size_t m_count;
    Open m_open;
    bool m_atWork = false;
    bool m_sampled = false;           // the first call has sampled
    std::size_t m_next = 0;           // the first piece not asked for yet
    std::deque<std::int64_t> m_ahead; // bytes asked for of pieces m_next - size() .. m_next - 1
    std::int64_t m_aheadBytes = 0;
    std::deque<Held> m_held; // by ascending index
    std::size_t m_heldLimit;
};

// The CRC-32 of a file as it is written, computed on a thread of its own a little
// behind the writer, from the page cache where the writer has just put the bytes, so
// that checking the whole against a .crc costs no second pass after the copy. Bytes a
// copy through `copies` writes from memory (by read and write, or from the
// read-ahead's blocks) are hashed as they are written and never read back. Without a
// thread to be had, or where the writer is faster, finish hashes what is left on
// every core.
class CrcBehind {
public:
    explicit CrcBehind(int fd, Buffer* copies = nullptr);
    ~CrcBehind();
    CrcBehind(const CrcBehind&) = delete;
    CrcBehind& operator=(const CrcBehind&) = delete;

    // The bytes before `offset` are written and may be read.
    void advance(std::int64_t offset);
    // The `size` bytes at `data` were written at `offset`.
    void written(std::int64_t offset, const char* data, std::size_t size);
    // The CRC of the file's first `length` bytes (the bytes there, fewer where it
    // ended early), hashing those not hashed yet on `threads` threads. Fails with the
    // first read's error, with ECANCELED when `turn` (as for ParallelCrc::ofRanges)
    // asks to stop. Once only.
    Result<ParallelCrc::Crc> finish(std::int64_t length, unsigned threads, const std::function<bool()>& turn);

private:
    void work();
    void stop();

    struct Written {
        std::int64_t offset;
        ParallelCrc::Crc crc;
    };

    int m_fd;
    Buffer* m_copies;
    std::mutex m_mutex;
    std::deque<Written> m_written; // hashed as written, in order, at m_done and after
    std::condition_variable m_wake;
    std::int64_t m_available = 0;
    std::int64_t m_done = 0; // hashed, into m_crc
    std::uint32_t m_crc = 0;
    bool m_stop = false;
    std::thread m_thread;
};

} // namespace Copy
