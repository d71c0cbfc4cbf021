#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "engine/hash/Md5.h"

// MD5 of several independent streams at once, one stream to a SIMD lane where the
// processor has them (one stream's MD5 is a chain of dependent steps, so a core hashes
// more when it runs several chains side by side). The digests are libcrypto's.
namespace Md5Lanes {

// One stream's running hash. A plain value: a copy goes on from where the original is.
struct Stream {
    std::array<std::uint32_t, 4> state{0x67452301u, 0xefcdab89u, 0x98badcfeu, 0x10325476u};
    std::uint64_t length = 0;                // bytes given so far
    std::array<unsigned char, 64> pending{}; // the last length % 64 of them
};

struct Update {
    Stream* stream;
    const unsigned char* data;
    std::size_t size;
};

// How many streams the processor hashes at once (1 where it has no lanes).
std::size_t width();
// Each update's bytes into its stream, the streams all different, side by side.
void update(std::span<const Update> updates);
void update(Stream& stream, const void* data, std::size_t size);
// The digest of everything given to `stream`.
Md5::Digest finish(Stream stream);
// Which code hashes from now on, where the processor has it (tests and benches pick).
enum class Code { plain, avx2, best };
void use(Code code);

} // namespace Md5Lanes
