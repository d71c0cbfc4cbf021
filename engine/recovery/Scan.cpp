#include <algorithm>
#include <atomic>
#include <cerrno>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>

#include <sys/stat.h>

#include "engine/Descriptor.h"
#include "engine/hash/Crc32.h"
#include "engine/hash/Gf16.h"
#include "engine/hash/Md5Lanes.h"
#include "engine/recovery/Recovery.h"
#include "engine/recovery/Shared.h"

// Reading a set's recovery data and checking its pieces slice by slice.
namespace Recovery {
namespace {

// The slices of `file` that the `length` bytes at `offset` of `fd` do not match.
Result<std::vector<std::uint32_t>> badSlicesOf(int fd, std::uint64_t offset, std::uint64_t length,
                                               const Par2::File& file, std::uint64_t sliceSize, bool md5) {
    SliceCheck check(file, sliceSize, md5);
    // Once a thread: a join checks many pieces, and a fresh megabyte costs more to map
    // than its bytes to hash. A quarter of it stays in the cache between read and hash.
    thread_local std::vector<unsigned char> buffer(readBlock / 4);
    for (std::uint64_t at = 0; at < length; at += buffer.size()) {
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), length - at));
        auto read = readAt(fd, buffer.data(), want, offset + at);
        if (!read) {
            return read.fault();
        }
        if (Status st = check.update(buffer.data(), *read); !st) {
            return st.fault();
        }
        if (*read != want) {
            break; // it shrank meanwhile: what was read is what it holds
        }
    }
    return check.finish();
}

// A present piece checked beside others: a block of it at a time, its CRC32 taken and
// its MD5 in the piece's own lane, the last slice padded with zeros as the format pads it.
struct Checking {
    Descriptor fd;
    const Par2::File* file = nullptr;
    PieceState* piece = nullptr;
    std::uint64_t at = 0; // in the piece padded to whole slices
    std::uint64_t inSlice = 0;
    std::uint32_t crc = 0;
    Md5Lanes::Stream md5;
    bool ended = false;
    const unsigned char* data = nullptr; // this round's bytes
    std::size_t size = 0;
};

const unsigned char* zeros() {
    static const std::vector<unsigned char> bytes(hashBlock, 0);
    return bytes.data();
}

// Checks the pieces of `group` side by side, filling their bad slices. `tally` is told
// the recorded bytes done after every round; a fault from it stops the check.
Status checkGroup(std::span<Checking> group, std::uint64_t sliceSize, bool md5,
                  const std::function<Status(std::uint64_t)>& tally) {
    const std::unique_ptr<unsigned char[]> buffers(new unsigned char[hashBlock * group.size()]);
    std::vector<Md5Lanes::Update> updates;
    for (;;) {
        updates.clear();
        std::uint64_t counted = 0;
        bool reading = false;
        for (std::size_t i = 0; i < group.size(); ++i) {
            Checking& c = group[i];
            const Par2::File& file = *c.file;
            c.size = 0;
            if (c.ended || c.at == slicesOf(file.length, sliceSize) * sliceSize) {
                if (!c.ended) {
                    c.ended = true;
                    counted += file.length - std::min(c.at, file.length);
                }
                continue;
            }
            reading = true;
            std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(hashBlock, sliceSize - c.inSlice));
            c.data = zeros();
            if (c.at < file.length) {
                want = static_cast<std::size_t>(std::min<std::uint64_t>(want, file.length - c.at));
                unsigned char* buffer = buffers.get() + i * hashBlock;
                auto read = readAt(c.fd.get(), buffer, want, c.at);
                if (!read) {
                    return read.fault().named(c.piece->name);
                }
                if (*read != want) {
                    // Cut short (or it shrank meanwhile): the slice it ends in and every one
                    // after it are bad.
                    for (std::uint64_t k = c.at / sliceSize; k < slicesOf(file.length, sliceSize); ++k) {
                        c.piece->badSlices.push_back(static_cast<std::uint32_t>(k));
                    }
                    counted += file.length - c.at;
                    c.ended = true;
                    continue;
                }
                c.data = buffer;
                counted += want;
            }
            c.size = want;
            c.crc = Crc32::update(c.crc, c.data, c.size);
            if (md5) {
                updates.push_back({&c.md5, c.data, c.size});
            }
        }
        if (!reading) {
            break;
        }
        Md5Lanes::update(updates);
        for (Checking& c : group) {
            c.at += c.size;
            c.inSlice += c.size;
            if (c.size == 0 || c.inSlice < sliceSize) {
                continue;
            }
            const std::uint32_t slice = static_cast<std::uint32_t>(c.at / sliceSize - 1);
            bool good = slice < c.file->slices.size() && c.crc == c.file->slices[slice].crc;
            if (md5) {
                good = good && Md5Lanes::finish(c.md5) == c.file->slices[slice].md5;
            }
            if (!good) {
                c.piece->badSlices.push_back(slice);
            }
            c.inSlice = 0;
            c.crc = 0;
            c.md5 = {};
        }
        if (Status st = tally(counted); !st) {
            return st;
        }
    }
    return {};
}

// Opens piece `index` of `scan` for a check, or finds it missing (then every slice is
// bad and no check is needed).
Result<std::optional<Checking>> openPiece(const RunFolder& folder, Scan& scan, std::size_t index) {
    PieceState& piece = scan.pieces[index];
    piece.badSlices.clear();
    struct stat info {};
    auto fd = openRegular(folder.fd(), piece.name.c_str(), info);
    if (!fd) {
        if (fd.fault().error == ENOENT || fd.fault().error == EISDIR || fd.fault().error == EINVAL) {
            piece.present = false;
            piece.actualLength = 0;
            for (std::uint32_t k = 0; k < piece.slices; ++k) {
                piece.badSlices.push_back(k);
            }
            return std::optional<Checking>();
        }
        return fd.fault().named(piece.name);
    }
    piece.present = true;
    piece.actualLength = static_cast<std::uint64_t>(info.st_size);
    Checking c;
    c.fd = std::move(*fd);
    c.file = &scan.set.files.at(scan.set.fileIds[index]);
    c.piece = &piece;
    return std::optional<Checking>(std::move(c));
}

// Checks pieces first .. first + count - 1 of `scan` on disk, the present ones side by side.
Status checkPieces(const RunFolder& folder, Scan& scan, std::size_t first, std::size_t count, Depth depth,
                   const std::function<Status(std::uint64_t)>& tally) {
    std::vector<Checking> group;
    std::uint64_t missing = 0;
    for (std::size_t i = first; i < first + count; ++i) {
        auto opened = openPiece(folder, scan, i);
        if (!opened) {
            return opened.fault();
        }
        if (*opened) {
            group.push_back(std::move(**opened));
        } else {
            missing += scan.pieces[i].length;
        }
    }
    if (Status st = tally(missing); !st) {
        return st;
    }
    return checkGroup(group, scan.set.sliceSize, depth == Depth::Crc32AndMd5, tally);
}

// Which of `slices` have packets that are whole: the header's length as the slice
// size makes it and the packet's MD5 as recorded, the packets hashed side by side.
// A PAR file that went is no fault: its packets are not intact.
Result<std::vector<char>> intactPackets(const RunFolder& folder, const std::vector<Par2::RecoverySlice>& slices,
                                        std::uint64_t sliceSize) {
    std::map<std::string, Descriptor> files;
    std::vector<ByteRange> ranges;
    std::vector<std::size_t> hashed; // the slice of each range
    const std::uint64_t packetLength = Par2::recoveryPrefix + sliceSize;
    for (std::size_t i = 0; i < slices.size(); ++i) {
        const Par2::RecoverySlice& slice = slices[i];
        auto found = files.find(slice.file);
        if (found == files.end()) {
            struct stat info {};
            auto fd = openRegular(folder.fd(), slice.file.c_str(), info);
            found = files.emplace(slice.file, fd ? std::move(*fd) : Descriptor()).first;
        }
        if (found->second.get() < 0) {
            continue;
        }
        unsigned char header[16];
        auto read = readAt(found->second.get(), header, sizeof header, slice.offset);
        if (!read) {
            return read.fault().named(slice.file);
        }
        std::uint64_t length = 0;
        for (int b = 7; b >= 0; --b) {
            length = length << 8 | header[8 + b];
        }
        if (*read != sizeof header || length != packetLength) {
            continue;
        }
        // The MD5 covers the packet from the set's ID on.
        ranges.push_back({found->second.get(), slice.offset + 32, packetLength - 32, &slice.file});
        hashed.push_back(i);
    }
    auto digests = md5Of(ranges);
    if (!digests) {
        return digests.fault();
    }
    std::vector<char> intact(slices.size(), 0);
    for (std::size_t r = 0; r < ranges.size(); ++r) {
        intact[hashed[r]] = (*digests)[r] && *(*digests)[r] == slices[hashed[r]].packetMd5;
    }
    return intact;
}

} // namespace

std::uint32_t Scan::piecesToRebuild() const {
    return static_cast<std::uint32_t>(
        std::count_if(pieces.begin(), pieces.end(), [](const PieceState& p) { return !p.whole(); }));
}

std::uint32_t Scan::slicesMissing() const {
    return slicesToRebuild > recoveryAvailable ? slicesToRebuild - recoveryAvailable : 0;
}

std::uint32_t Scan::piecesMissing() const {
    return (slicesMissing() + largestPieceSlices - 1) / largestPieceSlices;
}

std::uint32_t Scan::recoveryPieces() const {
    return recoveryAvailable / largestPieceSlices;
}

SliceCheck::SliceCheck(const Par2::File& file, std::uint64_t sliceSize, bool md5)
    : m_file(file), m_sliceSize(sliceSize), m_useMd5(md5) {}

Status SliceCheck::update(const void* data, std::size_t size) {
    const auto* p = static_cast<const unsigned char*>(data);
    while (size > 0) {
        // Bytes past the recorded length belong to no slice: the length tells of them.
        if (m_offset >= m_file.length) {
            m_offset += size;
            return {};
        }
        const std::size_t take = static_cast<std::size_t>(
            std::min<std::uint64_t>({size, m_sliceSize - m_inSlice, m_file.length - m_offset}));
        m_crc = Crc32::update(m_crc, p, take);
        if (m_useMd5) {
            if (Status st = m_md5.update(p, take); !st) {
                return st;
            }
        }
        p += take;
        size -= take;
        m_offset += take;
        m_inSlice += take;
        if (m_inSlice == m_sliceSize || m_offset == m_file.length) {
            if (Status st = closeSlice(); !st) {
                return st;
            }
        }
    }
    return {};
}

Status SliceCheck::closeSlice() {
    const std::uint32_t slice = static_cast<std::uint32_t>((m_offset - 1) / m_sliceSize);
    // The last slice is checked as the format pads it: with zeros.
    static const std::vector<unsigned char> zeros(readBlock, 0);
    for (std::uint64_t left = m_sliceSize - m_inSlice; left > 0;) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left, zeros.size()));
        m_crc = Crc32::update(m_crc, zeros.data(), n);
        if (m_useMd5) {
            if (Status st = m_md5.update(zeros.data(), n); !st) {
                return st;
            }
        }
        left -= n;
    }
    bool good = slice < m_file.slices.size() && m_crc == m_file.slices[slice].crc;
    if (m_useMd5) {
        auto digest = m_md5.finish();
        if (!digest) {
            return digest.fault();
        }
        good = good && *digest == m_file.slices[slice].md5;
    }
    if (!good) {
        m_bad.push_back(slice);
    }
    m_crc = 0;
    m_inSlice = 0;
    return {};
}

Result<std::vector<std::uint32_t>> SliceCheck::finish() {
    // A file cut short: the slice it ends in and every one after it are bad.
    if (m_offset < m_file.length) {
        const std::uint64_t slices = slicesOf(m_file.length, m_sliceSize);
        for (std::uint64_t k = m_offset / m_sliceSize; k < slices; ++k) {
            m_bad.push_back(static_cast<std::uint32_t>(k));
        }
        if (m_useMd5) {
            (void)m_md5.finish(); // starts afresh for another use
        }
    }
    return m_bad;
}

Result<Par2::Set> readSet(const RunFolder& folder, const std::string& index, std::vector<std::string>* parFiles,
                          bool indexAlone) {
    const std::string base = baseOf(index);
    auto names = parFilesOf(folder, base);
    if (!names) {
        return names.fault();
    }
    if (names->empty()) {
        return Fault{ENOENT}.named(index);
    }
    std::map<Par2::Hash, Par2::Set> sets;
    std::optional<Par2::Hash> indexSet;
    for (const std::string& name : *names) {
        struct stat st {};
        auto fd = openRegular(folder.fd(), name.c_str(), st);
        if (!fd) {
            continue; // a PAR file that went or is no file: the others may do
        }
        if (Status read = Par2::readFile(fd->get(), name, sets); !read) {
            return read.fault().named(name);
        }
        if (baseOf(name) == base) {
            for (const auto& [id, set] : sets) {
                if (set.complete()) {
                    indexSet = id;
                }
            }
            if (indexAlone && indexSet) {
                break; // the volumes' recovery slices are not wanted yet
            }
        }
    }
    // The index's set; without a usable index, the set the most recovery slices speak
    // for. Volumes left from another set of the same name are ignored.
    const Par2::Set* chosen = indexSet ? &sets.at(*indexSet) : nullptr;
    for (const auto& [id, set] : sets) {
        if (!indexSet && set.complete() && (!chosen || set.recovery.size() > chosen->recovery.size())) {
            chosen = &set;
        }
    }
    if (!chosen) {
        return Fault::because("The recovery files do not describe the set completely").named(index);
    }
    std::uint64_t slices = 0;
    for (const Par2::Hash& id : chosen->fileIds) {
        slices += chosen->sliceCount(chosen->files.at(id));
    }
    if (slices > Gf16::maxInputSlices) {
        return Fault::because("The recovery files describe more slices than PAR 2.0 allows").named(index);
    }
    if (parFiles) {
        *parFiles = *names;
    }
    return *chosen;
}

Scan scanOf(Par2::Set set) {
    Scan result;
    result.set = std::move(set);
    std::uint32_t sliceNumber = 0;
    for (const Par2::Hash& id : result.set.fileIds) {
        const Par2::File& file = result.set.files.at(id);
        PieceState piece;
        piece.name = file.name;
        piece.length = file.length;
        piece.present = true;
        piece.actualLength = file.length;
        piece.firstSlice = sliceNumber;
        piece.slices = static_cast<std::uint32_t>(result.set.sliceCount(file));
        sliceNumber += piece.slices;
        result.largestPieceSlices = std::max(result.largestPieceSlices, piece.slices);
        result.pieces.push_back(std::move(piece));
    }
    return result;
}

Status checkOnDisk(const RunFolder& folder, Scan& scan, std::size_t index, Depth depth) {
    return checkPieces(folder, scan, index, 1, depth, [](std::uint64_t) { return Status{}; });
}

Result<bool> matchesPiece(int fd, std::uint64_t offset, std::uint64_t length, const Scan& scan, std::size_t index) {
    const Par2::File& file = scan.set.files.at(scan.set.fileIds[index]);
    if (length != file.length) {
        return false;
    }
    auto bad = badSlicesOf(fd, offset, length, file, scan.set.sliceSize, false);
    if (!bad) {
        return bad.fault();
    }
    return bad->empty();
}

Result<Scan> scan(const RunFolder& folder, const std::string& index, Depth depth, const Progress& progress) {
    std::vector<std::string> parFiles;
    auto set = readSet(folder, index, &parFiles);
    if (!set) {
        return set.fault();
    }
    Scan result = scanOf(std::move(*set));
    result.parFiles = std::move(parFiles);
    std::atomic<std::uint64_t> checked{0};
    std::atomic<bool> stopped{false};
    std::uint64_t total = 0;
    for (const PieceState& piece : result.pieces) {
        total += piece.length;
    }
    const auto tally = [&](std::uint64_t bytes) -> Status {
        const std::uint64_t done = checked += bytes;
        if (stopped || (progress && bytes > 0 && !progress(done, total))) {
            stopped = true;
            return Fault{ECANCELED};
        }
        return {};
    };
    const std::size_t pieces = result.pieces.size();
    const std::size_t perGroup = filesPerGroup(pieces);
    Status st = parallelFor((pieces + perGroup - 1) / perGroup, [&](std::size_t g) {
        return checkPieces(folder, result, g * perGroup, std::min(perGroup, pieces - g * perGroup), depth, tally);
    });
    if (!st) {
        return st.fault();
    }
    if (Status counted = countRecovery(folder, result); !counted) {
        return counted.fault();
    }
    return result;
}

Status countRecovery(const RunFolder& folder, Scan& result) {
    result.slicesToRebuild = 0;
    for (const PieceState& piece : result.pieces) {
        result.slicesToRebuild += static_cast<std::uint32_t>(piece.badSlices.size());
    }
    const std::uint64_t s = result.set.sliceSize;
    // One intact packet per exponent; their data is read only when needed.
    std::vector<Par2::RecoverySlice> candidates;
    std::set<std::uint32_t> exponents;
    for (const Par2::RecoverySlice& slice : result.set.recovery) {
        if (slice.exponent < 65535) {
            candidates.push_back(slice);
        }
    }
    if (result.slicesToRebuild > 0) {
        auto intact = intactPackets(folder, candidates, s);
        if (!intact) {
            return intact.fault();
        }
        std::vector<Par2::RecoverySlice> kept;
        for (std::size_t i = 0; i < candidates.size(); ++i) {
            if ((*intact)[i] && exponents.insert(candidates[i].exponent).second) {
                kept.push_back(candidates[i]);
            }
        }
        result.set.recovery = std::move(kept);
    } else {
        for (const Par2::RecoverySlice& slice : candidates) {
            exponents.insert(slice.exponent);
        }
        result.set.recovery = std::move(candidates);
    }
    result.recoveryAvailable = static_cast<std::uint32_t>(exponents.size());
    return {};
}

} // namespace Recovery
