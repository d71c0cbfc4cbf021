#include "engine/formats/Par2.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

#include "engine/hash/Md5.h"

namespace Par2 {
namespace {

constexpr unsigned char magic[8] = {'P', 'A', 'R', '2', '\0', 'P', 'K', 'T'};
// No packet of a set we read is bigger than this except recovery slices, whose data
// is never read with the packet.
constexpr std::uint64_t largestReadPacket = 64ull << 20;

const char* typeName(Type type) {
    switch (type) {
    case Type::Main:
        return "PAR 2.0\0Main\0\0\0\0";
    case Type::FileDescription:
        return "PAR 2.0\0FileDesc";
    case Type::SliceChecksums:
        return "PAR 2.0\0IFSC\0\0\0\0";
    case Type::RecoverySlice:
        return "PAR 2.0\0RecvSlic";
    case Type::Creator:
        return "PAR 2.0\0Creator\0";
    case Type::Unknown:
        break;
    }
    return "\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0"; // 16 zeros: no type we know
}

Type typeOf(const unsigned char* field) {
    for (Type t : {Type::Main, Type::FileDescription, Type::SliceChecksums, Type::RecoverySlice, Type::Creator}) {
        if (std::memcmp(field, typeName(t), 16) == 0) {
            return t;
        }
    }
    return Type::Unknown;
}

void put64(std::vector<unsigned char>& out, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) {
        out.push_back(static_cast<unsigned char>(v >> (8 * i)));
    }
}

void put32(std::vector<unsigned char>& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<unsigned char>(v >> (8 * i)));
    }
}

void putHash(std::vector<unsigned char>& out, const Hash& h) {
    out.insert(out.end(), h.begin(), h.end());
}

std::uint64_t get64(const unsigned char* p) {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i) {
        v = (v << 8) | p[i];
    }
    return v;
}

std::uint32_t get32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

Hash getHash(const unsigned char* p) {
    Hash h;
    std::memcpy(h.data(), p, h.size());
    return h;
}

Hash md5Of(const void* data, std::size_t size) {
    auto digest = Md5::of(data, size);
    return digest ? *digest : Hash{};
}

// Reads exactly `size` bytes at `offset`; false at the end of the file.
Result<bool> readAt(int fd, void* buffer, std::size_t size, std::uint64_t offset) {
    auto* p = static_cast<char*>(buffer);
    while (size > 0) {
        const ssize_t n = ::pread(fd, p, size, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return Fault::ofErrno();
        }
        if (n == 0) {
            return false;
        }
        p += n;
        size -= static_cast<std::size_t>(n);
        offset += static_cast<std::uint64_t>(n);
    }
    return true;
}

// The next offset after `from` where the packet magic stands, or `end`.
Result<std::uint64_t> findMagic(int fd, std::uint64_t from, std::uint64_t end) {
    constexpr std::size_t block = 1 << 20;
    std::vector<char> buffer(block + sizeof magic);
    for (std::uint64_t at = from; at < end; at += block) {
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(block + sizeof magic, end - at));
        auto read = readAt(fd, buffer.data(), want, at);
        if (!read) {
            return read.fault();
        }
        if (!*read) {
            break;
        }
        auto* hit = static_cast<char*>(::memmem(buffer.data(), want, magic, sizeof magic));
        if (hit) {
            return at + static_cast<std::uint64_t>(hit - buffer.data());
        }
    }
    return end;
}

void take(Set& set, Type type, const unsigned char* body, std::size_t size) {
    switch (type) {
    case Type::Main: {
        if (size < 12 || set.hasMain) {
            return;
        }
        const std::uint64_t sliceSize = get64(body);
        const std::uint32_t count = get32(body + 8);
        if (sliceSize == 0 || sliceSize % 4 != 0 || (size - 12) % 16 != 0 || (size - 12) / 16 < count) {
            return;
        }
        set.sliceSize = sliceSize;
        for (std::size_t i = 0; i < (size - 12) / 16; ++i) {
            (i < count ? set.fileIds : set.nonRecoveryIds).push_back(getHash(body + 12 + 16 * i));
        }
        set.hasMain = true;
        return;
    }
    case Type::FileDescription: {
        if (size < 56) {
            return;
        }
        File& file = set.files[getHash(body)];
        if (file.described) {
            return;
        }
        file.id = getHash(body);
        file.md5 = getHash(body + 16);
        file.md5First16k = getHash(body + 32);
        file.length = get64(body + 48);
        std::string name(reinterpret_cast<const char*>(body + 56), size - 56);
        name.erase(std::find(name.begin(), name.end(), '\0'), name.end());
        file.name = std::move(name);
        file.described = true;
        return;
    }
    case Type::SliceChecksums: {
        if (size < 16 || (size - 16) % 20 != 0) {
            return;
        }
        File& file = set.files[getHash(body)];
        if (file.checked) {
            return;
        }
        file.id = getHash(body);
        for (std::size_t at = 16; at < size; at += 20) {
            file.slices.push_back({getHash(body + at), get32(body + at + 16)});
        }
        file.checked = true;
        return;
    }
    case Type::Creator:
        if (set.creator.empty()) {
            set.creator.assign(reinterpret_cast<const char*>(body), size);
            set.creator.erase(std::find(set.creator.begin(), set.creator.end(), '\0'), set.creator.end());
        }
        return;
    case Type::RecoverySlice:
    case Type::Unknown:
        return;
    }
}

} // namespace

std::uint64_t Set::sliceCount(const File& file) const {
    return sliceSize == 0 ? 0 : (file.length + sliceSize - 1) / sliceSize;
}

bool Set::complete() const {
    if (!hasMain) {
        return false;
    }
    for (const Hash& id : fileIds) {
        auto it = files.find(id);
        if (it == files.end() || !it->second.described || !it->second.checked ||
            it->second.slices.size() != sliceCount(it->second)) {
            return false;
        }
    }
    return true;
}

Hash fileId(const Hash& md5First16k, std::uint64_t length, const std::string& name) {
    std::vector<unsigned char> data;
    putHash(data, md5First16k);
    put64(data, length);
    data.insert(data.end(), name.begin(), name.end());
    return md5Of(data.data(), data.size());
}

bool idLess(const Hash& a, const Hash& b) {
    for (int i = 15; i >= 0; --i) {
        if (a[i] != b[i]) {
            return a[i] < b[i];
        }
    }
    return false;
}

std::vector<unsigned char> mainBody(std::uint64_t sliceSize, const std::vector<Hash>& sortedIds) {
    std::vector<unsigned char> body;
    put64(body, sliceSize);
    put32(body, static_cast<std::uint32_t>(sortedIds.size()));
    for (const Hash& id : sortedIds) {
        putHash(body, id);
    }
    return body;
}

std::vector<unsigned char> fileDescriptionBody(const File& file) {
    std::vector<unsigned char> body;
    putHash(body, file.id);
    putHash(body, file.md5);
    putHash(body, file.md5First16k);
    put64(body, file.length);
    body.insert(body.end(), file.name.begin(), file.name.end());
    body.resize((body.size() + 3) / 4 * 4, 0);
    return body;
}

std::vector<unsigned char> sliceChecksumBody(const File& file) {
    std::vector<unsigned char> body;
    putHash(body, file.id);
    for (const SliceCheck& slice : file.slices) {
        putHash(body, slice.md5);
        put32(body, slice.crc);
    }
    return body;
}

std::vector<unsigned char> creatorBody(const std::string& creator) {
    std::vector<unsigned char> body(creator.begin(), creator.end());
    body.resize((body.size() + 3) / 4 * 4, 0);
    return body;
}

std::vector<unsigned char> packet(const Hash& setId, Type type, const std::vector<unsigned char>& body) {
    std::vector<unsigned char> out(magic, magic + sizeof magic);
    put64(out, headerSize + body.size());
    out.resize(32, 0); // the packet MD5, filled in below
    putHash(out, setId);
    out.insert(out.end(), typeName(type), typeName(type) + 16);
    out.insert(out.end(), body.begin(), body.end());
    const Hash md5 = md5Of(out.data() + 32, out.size() - 32);
    std::copy(md5.begin(), md5.end(), out.begin() + 16);
    return out;
}

std::vector<unsigned char> recoveryMd5Start(const Hash& setId, std::uint32_t exponent) {
    std::vector<unsigned char> out;
    putHash(out, setId);
    out.insert(out.end(), typeName(Type::RecoverySlice), typeName(Type::RecoverySlice) + 16);
    put32(out, exponent);
    return out;
}

std::vector<unsigned char> recoveryHeader(const Hash& setId, std::uint64_t sliceSize, const Hash& packetMd5) {
    std::vector<unsigned char> out(magic, magic + sizeof magic);
    put64(out, recoveryPrefix + sliceSize);
    putHash(out, packetMd5);
    putHash(out, setId);
    out.insert(out.end(), typeName(Type::RecoverySlice), typeName(Type::RecoverySlice) + 16);
    return out;
}

Status readFile(int fd, const std::string& name, std::map<Hash, Set>& sets) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        return Fault::ofErrno();
    }
    const std::uint64_t end = static_cast<std::uint64_t>(st.st_size);
    std::vector<unsigned char> buffer;
    std::uint64_t at = 0;
    while (at + headerSize <= end) {
        unsigned char header[headerSize];
        auto read = readAt(fd, header, headerSize, at);
        if (!read) {
            return read.fault();
        }
        if (!*read) {
            break;
        }
        const std::uint64_t length = get64(header + 8);
        bool good = std::memcmp(header, magic, sizeof magic) == 0 && length >= headerSize && length % 4 == 0 &&
                    length <= end - at;
        if (good) {
            const Hash setId = getHash(header + 32);
            const Type type = typeOf(header + 48);
            if (type == Type::RecoverySlice) {
                unsigned char exponent[4];
                auto readExponent = length >= recoveryPrefix ? readAt(fd, exponent, 4, at + headerSize) : false;
                if (!readExponent) {
                    return readExponent.fault();
                }
                good = *readExponent;
                if (good) {
                    sets[setId].recovery.push_back({name, at, get32(exponent), getHash(header + 16)});
                }
            } else if (type != Type::Unknown && length <= largestReadPacket) {
                buffer.resize(static_cast<std::size_t>(length - 32));
                auto readBody = readAt(fd, buffer.data(), buffer.size(), at + 32);
                if (!readBody) {
                    return readBody.fault();
                }
                good = *readBody && md5Of(buffer.data(), buffer.size()) == getHash(header + 16);
                if (good) {
                    Set& set = sets[setId];
                    set.id = setId;
                    take(set, type, buffer.data() + 32, buffer.size() - 32);
                }
            }
        }
        if (good) {
            at += length;
            continue;
        }
        auto next = findMagic(fd, at + 1, end);
        if (!next) {
            return next.fault();
        }
        at = *next;
    }
    for (auto& [id, set] : sets) {
        set.id = id;
    }
    return {};
}

Result<bool> checkRecoverySlice(int fd, const RecoverySlice& slice, std::uint64_t sliceSize) {
    unsigned char header[headerSize];
    auto read = readAt(fd, header, headerSize, slice.offset);
    if (!read) {
        return read.fault();
    }
    if (!*read || get64(header + 8) != recoveryPrefix + sliceSize) {
        return false;
    }
    Md5 md5;
    constexpr std::size_t block = 1 << 20;
    std::vector<unsigned char> buffer(block);
    std::uint64_t left = recoveryPrefix + sliceSize - 32;
    std::uint64_t at = slice.offset + 32;
    while (left > 0) {
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(left, block));
        auto part = readAt(fd, buffer.data(), want, at);
        if (!part) {
            return part.fault();
        }
        if (!*part) {
            return false;
        }
        if (auto s = md5.update(buffer.data(), want); !s) {
            return s.fault();
        }
        at += want;
        left -= want;
    }
    auto digest = md5.finish();
    if (!digest) {
        return digest.fault();
    }
    return *digest == slice.packetMd5;
}

} // namespace Par2
