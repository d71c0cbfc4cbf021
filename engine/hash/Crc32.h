#pragma once

#include <cstddef>
#include <cstdint>

// CRC-32 as zip, PAR 2.0 and the .crc files of file managers compute it (zlib's).
namespace Crc32 {

// The CRC of `size` bytes at `data` following bytes whose CRC was `crc` (0 to start).
// Folds by carry-less multiplication where the processor can (x86-64 with PCLMULQDQ),
// else zlib's.
std::uint32_t update(std::uint32_t crc, const void* data, std::size_t size);

// The same by zlib alone: the reference, and the speed to compare with.
std::uint32_t zlibUpdate(std::uint32_t crc, const void* data, std::size_t size);

// The CRC of two ranges one after the other, from the CRC of each and the second's
// length, so that ranges hashed apart (on other threads) make the CRC of the whole.
std::uint32_t combine(std::uint32_t first, std::uint32_t second, std::int64_t secondLength);

} // namespace Crc32
