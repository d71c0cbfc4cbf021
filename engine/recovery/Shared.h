#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "engine/Result.h"
#include "engine/RunFolder.h"
#include "engine/hash/Md5.h"

// What the recovery files share among themselves; not for callers of Recovery.h.
namespace Recovery {

constexpr std::size_t readBlock = 1u << 20;
// Read into the cache and hashed there (MD5, CRC32) while it stays in it, for each
// file of a group hashed side by side.
constexpr std::size_t hashBlock = 128u << 10;
inline const std::string creatorText = "Created by Quarnel";

// Reads up to `size` bytes at `offset`; fewer only at the end of the file.
Result<std::size_t> readAt(int fd, void* buffer, std::size_t size, std::uint64_t offset);

Status writeAt(int fd, const void* data, std::size_t size, std::uint64_t offset);

// Runs body(0..count-1) on every core; the first fault stops the rest.
Status parallelFor(std::size_t count, const std::function<Status(std::size_t)>& body);

// How many files are hashed side by side on one core: enough to fill the MD5 lanes,
// few enough that `count` of them give every core its share.
std::size_t filesPerGroup(std::size_t count);

// `length` bytes of an open file from `offset`.
struct ByteRange {
    int fd = -1;
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
    const std::string* name = nullptr; // for a fault
};

// The MD5 of each range, the ranges read a block at a time and hashed side by side
// on every core; none for a range its file ends before. Fails with the first failing
// read, named as its range is.
Result<std::vector<std::optional<Md5::Digest>>> md5Of(const std::vector<ByteRange>& ranges);

std::uint64_t slicesOf(std::uint64_t length, std::uint64_t sliceSize);

// Reads `size` bytes of slice `slice` of a file of `length` bytes from `offset` into
// the slice, zeros past the file's recorded end.
Status readSlice(int fd, std::uint64_t length, std::uint64_t sliceSize, std::uint64_t slice, std::uint64_t offset,
                 std::size_t size, unsigned char* buffer);

// The log of an input slice's constant, so that its powers are one table lookup.
std::uint16_t constantPower(std::uint32_t slice, std::uint32_t exponent);

// Fails when the GF(2^16) arithmetic cannot be set up.
Status arithmeticReady();

// BASE of BASE.par2 (any case of the suffix); anything else as it is.
std::string baseOf(const std::string& index);

// The PAR files of `base` in the folder: BASE.par2 first, then BASE.vol*.par2.
Result<std::vector<std::string>> parFilesOf(const RunFolder& folder, const std::string& base);

} // namespace Recovery
