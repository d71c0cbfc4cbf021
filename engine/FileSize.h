#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace FileSize {

// The size in bytes of the regular file at `path` (symbolic links followed), as a
// 64-bit number. Returns 0 when the file cannot be opened or is not a regular file;
// never fails otherwise.
std::int64_t FileSize2(const std::string& path);

// A page-aligned block buffer for copies that cannot go through copy_file_range.
// Allocated on first use and reused, so a run of many small pieces allocates once.
// Also remembers when copy_file_range proved unusable between the two files' file
// systems, so that a run of many pieces does not try it again for each one.
class CopyBuffer {
public:
    static constexpr std::size_t size = std::size_t{1} << 20;
    CopyBuffer() = default;
    ~CopyBuffer();
    CopyBuffer(const CopyBuffer&) = delete;
    CopyBuffer& operator=(const CopyBuffer&) = delete;
    char* data();

    bool copyRangeUsable = true;

private:
    char* m_data = nullptr;
};

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

// Sees every byte of a copy, in order, before it is written.
using CopyObserver = std::function<void(const char* data, std::size_t count)>;

// Copies `length` bytes of `sourceFd`, starting at `sourceOffset`, to the current
// position of `destFd`, in blocks of 8 MiB. Prefers copy_file_range and
// falls back to read/write through `buffer`; an `observe` function makes it use
// read/write, since the bytes must pass through memory. Calls `turn` between blocks
// (not before the first one) with the bytes copied so far; when it returns false the
// copy ends with Stopped. A source that ends early is ReadFailed with error 0, a
// write that accepts no byte WriteFailed with error 0. A failing copy_file_range
// cannot tell reading from writing; it counts as WriteFailed.
CopyResult ReadFileChunks(int sourceFd, std::int64_t sourceOffset, int destFd, std::int64_t length, CopyBuffer& buffer,
                          const std::function<bool(std::int64_t copied)>& turn, const CopyObserver& observe = {});

} // namespace FileSize
