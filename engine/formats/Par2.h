#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "engine/Result.h"

// PAR 2.0 packets: what a writer needs to make them and a reader that gathers the
// packets of one recovery set from any number of files. All integers are little-endian;
// every packet starts with a 64-byte header whose MD5 covers the rest of the packet.
namespace Par2 {

using Hash = std::array<unsigned char, 16>;

constexpr std::size_t headerSize = 64;
// What precedes the data in a recovery slice packet: the header and the exponent.
constexpr std::size_t recoveryPrefix = headerSize + 4;

// The checks of one slice of an input file (the last one padded with zeros).
struct SliceCheck {
    Hash md5{};
    std::uint32_t crc = 0;
};

// One input file, from its file description and slice checksum packets.
struct File {
    Hash id{};
    Hash md5{};
    Hash md5First16k{};
    std::uint64_t length = 0;
    std::string name;
    std::vector<SliceCheck> slices;
    bool described = false;
    bool checked = false; // its slice checksums were read
};

// Where a recovery slice packet lies; its MD5 is checked only when its data is needed.
struct RecoverySlice {
    std::string file;         // the PAR file holding it, by name in its folder
    std::uint64_t offset = 0; // of the packet
    std::uint32_t exponent = 0;
    Hash packetMd5{};
};

// What is known of one recovery set.
struct Set {
    Hash id{};
    std::uint64_t sliceSize = 0;
    std::vector<Hash> fileIds; // the recovery set, in the order its slices are numbered
    std::vector<Hash> nonRecoveryIds;
    std::map<Hash, File> files;
    std::vector<RecoverySlice> recovery;
    std::string creator;
    bool hasMain = false;

    // Slices in file `id`: its length over the slice size, rounded up.
    std::uint64_t sliceCount(const File& file) const;
    // Whether every file of the recovery set is described and has its checksums.
    bool complete() const;
};

// --- Writing ---

// The file ID: MD5 of the first 16 KiB's MD5, the length and the name.
Hash fileId(const Hash& md5First16k, std::uint64_t length, const std::string& name);
// Orders file IDs as the format numbers the files: as 128-bit little-endian integers.
bool idLess(const Hash& a, const Hash& b);

// The body of the main packet; its MD5 is the recovery set ID.
std::vector<unsigned char> mainBody(std::uint64_t sliceSize, const std::vector<Hash>& sortedIds);
std::vector<unsigned char> fileDescriptionBody(const File& file);
std::vector<unsigned char> sliceChecksumBody(const File& file);
std::vector<unsigned char> creatorBody(const std::string& creator);

enum class Type { Main, FileDescription, SliceChecksums, RecoverySlice, Creator, Unknown };

// A whole packet: header and `body`.
std::vector<unsigned char> packet(const Hash& setId, Type type, const std::vector<unsigned char>& body);

// The header of a recovery slice packet whose data (sliceSize bytes, after the exponent)
// hashed with `packetMd5`, an Md5 fed with recoveryMd5Start's bytes first, then the data.
std::vector<unsigned char> recoveryMd5Start(const Hash& setId, std::uint32_t exponent);
std::vector<unsigned char> recoveryHeader(const Hash& setId, std::uint64_t sliceSize, const Hash& packetMd5);

// --- Reading ---

// Reads every packet of the PAR file open at `fd` (named `name` in its folder) into
// `sets`, keyed by recovery set ID. A packet whose MD5 does not match is skipped and the
// next packet searched for; unknown packet types are skipped. Fails only when the file
// cannot be read.
Status readFile(int fd, const std::string& name, std::map<Hash, Set>& sets);

// Whether the recovery slice packet at `slice` (in the file open at `fd`) is intact.
Result<bool> checkRecoverySlice(int fd, const RecoverySlice& slice, std::uint64_t sliceSize);

} // namespace Par2
