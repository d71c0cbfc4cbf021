#include "engine/recovery/Recovery.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/Descriptor.h"
#include "engine/hash/Crc32.h"
#include "engine/hash/Gf16.h"
#include "engine/hash/Md5.h"
#include "engine/recovery/Combine.h"

namespace Recovery {
namespace {

constexpr std::uint64_t minimumHalving = 1u << 20;
constexpr std::size_t readBlock = 1u << 20;
constexpr std::size_t first16k = 16u << 10;
constexpr std::size_t volumesAtOnce = 256;
constexpr std::size_t rowsAtOnce = 256;
const std::string creatorText = "Created by Quarnel";

// Reads up to `size` bytes at `offset`; fewer only at the end of the file.
Result<std::size_t> readAt(int fd, void* buffer, std::size_t size, std::uint64_t offset) {
    auto* p = static_cast<char*>(buffer);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pread(fd, p + done, size - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return Fault::ofErrno();
        }
        if (n == 0) {
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    return done;
}

Status writeAt(int fd, const void* data, std::size_t size, std::uint64_t offset) {
    const auto* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::pwrite(fd, p, size, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return n < 0 ? Fault::ofErrno() : Fault{ENOSPC};
        }
        p += n;
        size -= static_cast<std::size_t>(n);
        offset += static_cast<std::uint64_t>(n);
    }
    return {};
}

// Runs body(0..count-1) on every core; the first fault stops the rest.
Status parallelFor(std::size_t count, const std::function<Status(std::size_t)>& body) {
    std::atomic<std::size_t> next{0};
    std::mutex lock;
    std::optional<Fault> failed;
    auto work = [&] {
        for (std::size_t i; (i = next++) < count;) {
            if (Status s = body(i); !s) {
                std::lock_guard guard(lock);
                if (!failed) {
                    failed = s.fault();
                }
                next = count;
            }
        }
    };
    const unsigned threads = std::max(1u, std::min<unsigned>(std::thread::hardware_concurrency(),
                                                             static_cast<unsigned>(std::min<std::size_t>(count, 64))));
    onThreads(threads, [&](unsigned) { work(); });
    return failed ? Status{*failed} : Status{};
}

std::size_t digits(std::uint64_t n) {
    return std::to_string(n).size();
}

std::string padded(std::uint64_t n, std::size_t width) {
    std::string text = std::to_string(n);
    return std::string(width > text.size() ? width - text.size() : 0, '0') + text;
}

std::uint64_t roundUp4(std::uint64_t n) {
    return (n + 3) / 4 * 4;
}

// The bytes of the packets every PAR file of the set carries, beside the recovery slices.
std::uint64_t criticalSize(const std::vector<std::uint64_t>& sizes, std::uint64_t sliceSize,
                           const std::vector<std::string>* names) {
    std::uint64_t total = Par2::headerSize + 12 + 16 * sizes.size();
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        const std::uint64_t nameLength = names ? (*names)[i].size() : 255;
        total += Par2::headerSize + 56 + roundUp4(nameLength);
        total += Par2::headerSize + 16 + 20 * ((sizes[i] + sliceSize - 1) / sliceSize);
    }
    return total + Par2::headerSize + roundUp4(creatorText.size());
}

std::uint64_t slicesOf(std::uint64_t length, std::uint64_t sliceSize) {
    return (length + sliceSize - 1) / sliceSize;
}

// The recovery slices that rebuild any `lost` pieces: those of the largest.
std::uint32_t slicesForLost(std::vector<std::uint64_t> sizes, std::uint64_t sliceSize, std::uint32_t lost) {
    std::sort(sizes.begin(), sizes.end(), std::greater<>());
    std::uint64_t slices = 0;
    for (std::size_t i = 0; i < sizes.size() && i < lost; ++i) {
        slices += std::max<std::uint64_t>(1, slicesOf(sizes[i], sliceSize));
    }
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(slices, 65535));
}

// One file being hashed for its file description and slice checksums.
Status hashFile(int fd, Par2::File& file, std::uint64_t sliceSize) {
    Md5 whole;
    std::vector<unsigned char> buffer(static_cast<std::size_t>(std::min<std::uint64_t>(sliceSize, readBlock)));
    std::vector<unsigned char> head;
    std::uint64_t offset = 0;
    const std::uint64_t slices = slicesOf(file.length, sliceSize);
    file.slices.resize(slices);
    for (std::uint64_t s = 0; s < slices; ++s) {
        Md5 md5;
        std::uint32_t crc = 0;
        std::uint64_t left = sliceSize;
        while (left > 0) {
            const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(left, buffer.size()));
            std::size_t got = 0;
            if (offset < file.length) {
                const std::size_t inFile =
                    static_cast<std::size_t>(std::min<std::uint64_t>(want, file.length - offset));
                auto read = readAt(fd, buffer.data(), inFile, offset);
                if (!read) {
                    return read.fault();
                }
                if (*read != inFile) {
                    return Fault::because("The file ended before its end");
                }
                got = inFile;
                if (Status st = whole.update(buffer.data(), got); !st) {
                    return st;
                }
                if (head.size() < first16k) {
                    head.insert(head.end(), buffer.begin(),
                                buffer.begin() + static_cast<std::ptrdiff_t>(std::min(got, first16k - head.size())));
                }
                offset += got;
            }
            std::fill(buffer.begin() + static_cast<std::ptrdiff_t>(got),
                      buffer.begin() + static_cast<std::ptrdiff_t>(want), 0);
            if (Status st = md5.update(buffer.data(), want); !st) {
                return st;
            }
            crc = Crc32::update(crc, buffer.data(), want);
            left -= want;
        }
        auto digest = md5.finish();
        if (!digest) {
            return digest.fault();
        }
        file.slices[s] = {*digest, crc};
    }
    auto digest = whole.finish();
    auto headDigest = Md5::of(head.data(), head.size());
    if (!digest || !headDigest) {
        return !digest ? digest.fault() : headDigest.fault();
    }
    file.md5 = *digest;
    file.md5First16k = *headDigest;
    file.id = Par2::fileId(file.md5First16k, file.length, file.name);
    return {};
}

void append(std::vector<unsigned char>& out, const std::vector<unsigned char>& bytes) {
    out.insert(out.end(), bytes.begin(), bytes.end());
}

// The slices of a set in their numbered order: which file and which of its slices.
struct SliceRef {
    std::size_t file;
    std::uint64_t slice;
};

// Reads `size` bytes of slice `slice` of a file of `length` bytes from `offset` into
// the slice, zeros past the file's recorded end.
Status readSlice(int fd, std::uint64_t length, std::uint64_t sliceSize, std::uint64_t slice, std::uint64_t offset,
                 std::size_t size, unsigned char* buffer) {
    const std::uint64_t at = slice * sliceSize + offset;
    std::size_t inFile = at >= length ? 0 : static_cast<std::size_t>(std::min<std::uint64_t>(size, length - at));
    if (inFile > 0) {
        auto read = readAt(fd, buffer, inFile, at);
        if (!read) {
            return read.fault();
        }
        if (*read != inFile) {
            return Fault::because("The file ended before its end");
        }
    }
    std::memset(buffer + inFile, 0, size - inFile);
    return {};
}

std::string baseOf(const std::string& index) {
    const std::string suffix = ".par2";
    if (index.size() > suffix.size() && strcasecmp(index.c_str() + index.size() - suffix.size(), suffix.c_str()) == 0) {
        return index.substr(0, index.size() - suffix.size());
    }
    return index;
}

// The PAR files of `base` in the folder: BASE.par2 first, then BASE.vol*.par2.
Result<std::vector<std::string>> parFilesOf(const RunFolder& folder, const std::string& base) {
    const int fd = ::openat(folder.fd(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return Fault::ofErrno();
    }
    DIR* dir = ::fdopendir(fd);
    if (!dir) {
        ::close(fd);
        return Fault::ofErrno();
    }
    std::vector<std::string> names;
    std::string index;
    const std::string volumes = base + ".vol";
    while (dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (baseOf(name) == base && name != base) {
            index = name;
        } else if (name.compare(0, volumes.size(), volumes) == 0 && baseOf(name) != name) {
            names.push_back(name);
        }
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    if (!index.empty()) {
        names.insert(names.begin(), index);
    }
    return names;
}

// Checks one present piece by feeding its bytes to a SliceCheck.
Status checkPiece(int fd, const Par2::File& file, std::uint64_t sliceSize, bool md5, PieceState& piece) {
    SliceCheck check(file, sliceSize, md5);
    std::vector<unsigned char> buffer(readBlock);
    for (std::uint64_t at = 0; at < piece.actualLength; at += buffer.size()) {
        const std::size_t want =
            static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), piece.actualLength - at));
        auto read = readAt(fd, buffer.data(), want, at);
        if (!read) {
            return read.fault();
        }
        if (Status st = check.update(buffer.data(), *read); !st) {
            return st;
        }
        if (*read != want) {
            break; // it shrank meanwhile: what was read is what it holds
        }
    }
    auto bad = check.finish();
    if (!bad) {
        return bad.fault();
    }
    piece.badSlices = std::move(*bad);
    return {};
}

// Inverts the m x m matrix `a` (row-major) in place; false when it is singular.
bool invert(std::vector<std::uint16_t>& a, std::size_t m) {
    std::vector<std::uint16_t> inv(m * m, 0);
    for (std::size_t i = 0; i < m; ++i) {
        inv[i * m + i] = 1;
    }
    for (std::size_t col = 0; col < m; ++col) {
        std::size_t pivot = col;
        while (pivot < m && a[pivot * m + col] == 0) {
            ++pivot;
        }
        if (pivot == m) {
            return false;
        }
        if (pivot != col) {
            std::swap_ranges(a.begin() + pivot * m, a.begin() + pivot * m + m, a.begin() + col * m);
            std::swap_ranges(inv.begin() + pivot * m, inv.begin() + pivot * m + m, inv.begin() + col * m);
        }
        const std::uint16_t scale = Gf16::inverse(a[col * m + col]);
        for (std::size_t k = 0; k < m; ++k) {
            a[col * m + k] = Gf16::multiply(a[col * m + k], scale);
            inv[col * m + k] = Gf16::multiply(inv[col * m + k], scale);
        }
        for (std::size_t row = 0; row < m; ++row) {
            const std::uint16_t factor = a[row * m + col];
            if (row == col || factor == 0) {
                continue;
            }
            for (std::size_t k = 0; k < m; ++k) {
                a[row * m + k] ^= Gf16::multiply(factor, a[col * m + k]);
                inv[row * m + k] ^= Gf16::multiply(factor, inv[col * m + k]);
            }
        }
    }
    a = std::move(inv);
    return true;
}

// The log of an input slice's constant, so that its powers are one table lookup.
std::uint16_t constantPower(std::uint32_t slice, std::uint32_t exponent) {
    return Gf16::power(Gf16::inputConstant(slice), exponent);
}

} // namespace

Layout layoutFor(const std::vector<std::uint64_t>& pieceSizes, std::uint64_t chunkSize, std::uint32_t lost) {
    Layout layout;
    const std::uint64_t largest =
        std::max<std::uint64_t>(4, pieceSizes.empty() ? 4 : *std::max_element(pieceSizes.begin(), pieceSizes.end()));
    lost = std::min<std::uint32_t>(std::max<std::uint32_t>(lost, 1), static_cast<std::uint32_t>(pieceSizes.size()));
    const std::uint64_t limit = std::max(chunkSize, largest);

    const std::uint64_t half = roundUp4((largest + 1) / 2);
    std::uint64_t halves = 0;
    for (std::uint64_t size : pieceSizes) {
        halves += slicesOf(size, half);
    }
    if (largest >= minimumHalving && halves <= Gf16::maxInputSlices &&
        half + Par2::recoveryPrefix + criticalSize(pieceSizes, half, nullptr) <= limit) {
        layout.sliceSize = half;
    } else {
        layout.sliceSize = roundUp4(largest);
    }
    layout.recoverySlices = slicesForLost(pieceSizes, layout.sliceSize, lost);
    const std::uint64_t critical = criticalSize(pieceSizes, layout.sliceSize, nullptr);
    const std::uint64_t room = limit > critical ? limit - critical : 0;
    layout.slicesPerVolume = static_cast<std::uint32_t>(
        std::clamp<std::uint64_t>(room / (layout.sliceSize + Par2::recoveryPrefix), 1, layout.recoverySlices));
    return layout;
}

std::string indexName(const std::string& base) {
    return base + ".par2";
}

std::vector<std::string> volumeNames(const std::string& base, const Layout& layout) {
    std::vector<std::string> names;
    const std::uint32_t per = std::max<std::uint32_t>(1, layout.slicesPerVolume);
    const std::size_t firstWidth = digits(layout.recoverySlices);
    const std::size_t countWidth = digits(std::min(per, layout.recoverySlices));
    for (std::uint32_t first = 0; first < layout.recoverySlices; first += per) {
        const std::uint32_t count = std::min(per, layout.recoverySlices - first);
        names.push_back(base + ".vol" + padded(first, firstWidth) + "+" + padded(count, countWidth) + ".par2");
    }
    return names;
}

Status create(const RunFolder& folder, const std::string& base, const std::vector<std::string>& pieces,
              const Layout& layout, const Progress& progress, std::size_t memory) {
    if (!Gf16::init()) {
        return Fault::because("The GF(2^16) arithmetic could not be set up (gf-complete)");
    }
    if (pieces.empty() || layout.sliceSize == 0 || layout.sliceSize % 4 != 0 || layout.recoverySlices == 0 ||
        layout.recoverySlices > 65535) {
        return Fault{EINVAL};
    }
    const std::uint64_t s = layout.sliceSize;
    std::vector<Descriptor> fds(pieces.size());
    std::vector<Par2::File> files(pieces.size());
    std::uint64_t totalSlices = 0;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        struct stat st {};
        auto fd = openRegular(folder.fd(), pieces[i].c_str(), st);
        if (!fd) {
            return fd.fault().named(pieces[i]);
        }
        fds[i] = std::move(*fd);
        files[i].name = pieces[i];
        files[i].length = static_cast<std::uint64_t>(st.st_size);
        files[i].described = files[i].checked = true;
        totalSlices += slicesOf(files[i].length, s);
    }
    if (totalSlices > Gf16::maxInputSlices) {
        return Fault::because("The pieces make more than 32768 slices of recovery data; choose bigger slices");
    }
    if (Status st = parallelFor(files.size(),
                                [&](std::size_t i) {
                                    Status h = hashFile(fds[i].get(), files[i], s);
                                    return h ? h : Status{h.fault().named(pieces[i])};
                                });
        !st) {
        return st;
    }

    // The set's order is its file IDs'; slices are numbered in it.
    std::vector<std::size_t> order(files.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
        order[i] = i;
    }
    std::sort(order.begin(), order.end(),
              [&](std::size_t a, std::size_t b) { return Par2::idLess(files[a].id, files[b].id); });
    std::vector<Par2::Hash> ids;
    std::vector<SliceRef> slices;
    for (std::size_t i : order) {
        ids.push_back(files[i].id);
        for (std::uint64_t k = 0; k < files[i].slices.size(); ++k) {
            slices.push_back({i, k});
        }
    }
    const auto mainBody = Par2::mainBody(s, ids);
    auto setIdDigest = Md5::of(mainBody.data(), mainBody.size());
    if (!setIdDigest) {
        return setIdDigest.fault();
    }
    const Par2::Hash setId = *setIdDigest;
    std::vector<unsigned char> critical = Par2::packet(setId, Par2::Type::Main, mainBody);
    for (std::size_t i : order) {
        append(critical, Par2::packet(setId, Par2::Type::FileDescription, Par2::fileDescriptionBody(files[i])));
        append(critical, Par2::packet(setId, Par2::Type::SliceChecksums, Par2::sliceChecksumBody(files[i])));
    }
    append(critical, Par2::packet(setId, Par2::Type::Creator, Par2::creatorBody(creatorText)));

    const std::vector<std::string> names = volumeNames(base, layout);
    const std::uint32_t per = std::max<std::uint32_t>(1, layout.slicesPerVolume);
    const std::uint64_t packetSize = Par2::recoveryPrefix + s;
    const std::uint64_t work =
        static_cast<std::uint64_t>(slices.size()) * s * ((names.size() + volumesAtOnce - 1) / volumesAtOnce);
    std::uint64_t workDone = 0;

    // Volumes a group at a time, each group one pass over the pieces, so that the open
    // files and the memory stay bounded whatever the count.
    std::vector<std::unique_ptr<TemporaryFile>> finished;
    for (std::size_t firstVolume = 0; firstVolume < names.size(); firstVolume += volumesAtOnce) {
        const std::size_t lastVolume = std::min(names.size(), firstVolume + volumesAtOnce);
        const std::uint32_t firstExponent = static_cast<std::uint32_t>(firstVolume) * per;
        const std::uint32_t lastExponent =
            std::min(layout.recoverySlices, static_cast<std::uint32_t>(lastVolume) * per);
        std::vector<std::unique_ptr<TemporaryFile>> volumes;
        for (std::size_t v = firstVolume; v < lastVolume; ++v) {
            volumes.push_back(std::make_unique<TemporaryFile>());
            if (Status st = volumes.back()->create(folder.fd()); !st) {
                return st.fault().named(names[v]);
            }
        }
        std::vector<Md5> md5s(lastExponent - firstExponent);
        for (std::uint32_t e = firstExponent; e < lastExponent; ++e) {
            const auto start = Par2::recoveryMd5Start(setId, e);
            if (Status st = md5s[e - firstExponent].update(start.data(), start.size()); !st) {
                return st;
            }
        }

        Combination c;
        c.inputs = slices.size();
        c.outputs = md5s.size();
        c.length = s;
        c.coefficients.resize(c.inputs * c.outputs);
        for (std::size_t o = 0; o < c.outputs; ++o) {
            for (std::size_t i = 0; i < c.inputs; ++i) {
                c.coefficients[o * c.inputs + i] =
                    constantPower(static_cast<std::uint32_t>(i), firstExponent + static_cast<std::uint32_t>(o));
            }
        }
        c.read = [&](std::size_t i, std::uint64_t offset, std::size_t size, unsigned char* buffer) -> Status {
            const Par2::File& file = files[slices[i].file];
            Status st = readSlice(fds[slices[i].file].get(), file.length, s, slices[i].slice, offset, size, buffer);
            return st ? st : Status{st.fault().named(file.name)};
        };
        c.write = [&](std::size_t o, std::uint64_t offset, std::size_t size, const unsigned char* data) -> Status {
            const std::uint32_t e = firstExponent + static_cast<std::uint32_t>(o);
            const std::size_t v = e / per - firstVolume;
            const std::uint64_t at = (e % per) * packetSize + Par2::recoveryPrefix + offset;
            if (Status st = writeAt(volumes[v]->fd(), data, size, at); !st) {
                return st.fault().named(names[firstVolume + v]);
            }
            return md5s[o].update(data, size);
        };
        c.progress = [&](std::uint64_t done, std::uint64_t) { return !progress || progress(workDone + done, work); };
        if (Status st = combine(c, memory); !st) {
            return st;
        }
        workDone += static_cast<std::uint64_t>(slices.size()) * s;

        for (std::uint32_t e = firstExponent; e < lastExponent; ++e) {
            auto digest = md5s[e - firstExponent].finish();
            if (!digest) {
                return digest.fault();
            }
            std::vector<unsigned char> head = Par2::recoveryHeader(setId, s, *digest);
            const unsigned char exponent[4] = {static_cast<unsigned char>(e), static_cast<unsigned char>(e >> 8),
                                               static_cast<unsigned char>(e >> 16),
                                               static_cast<unsigned char>(e >> 24)};
            head.insert(head.end(), exponent, exponent + 4);
            const std::size_t v = e / per - firstVolume;
            if (Status st = writeAt(volumes[v]->fd(), head.data(), head.size(), (e % per) * packetSize); !st) {
                return st.fault().named(names[firstVolume + v]);
            }
        }
        for (std::size_t v = firstVolume; v < lastVolume; ++v) {
            const std::uint32_t count =
                std::min<std::uint32_t>(per, layout.recoverySlices - static_cast<std::uint32_t>(v) * per);
            TemporaryFile& volume = *volumes[v - firstVolume];
            if (Status st = writeAt(volume.fd(), critical.data(), critical.size(), count * packetSize); !st) {
                return st.fault().named(names[v]);
            }
        }
        for (auto& volume : volumes) {
            finished.push_back(std::move(volume));
        }
    }

    TemporaryFile index;
    if (Status st = index.create(folder.fd()); !st) {
        return st.fault().named(indexName(base));
    }
    if (Status st = writeAt(index.fd(), critical.data(), critical.size(), 0); !st) {
        return st.fault().named(indexName(base));
    }
    for (std::size_t v = 0; v < finished.size(); ++v) {
        if (Status st = finished[v]->publish(names[v], true); !st) {
            return st.fault().named(names[v]);
        }
    }
    if (Status st = index.publish(indexName(base), true); !st) {
        return st.fault().named(indexName(base));
    }
    return {};
}

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

Result<Par2::Set> readSet(const RunFolder& folder, const std::string& index, std::vector<std::string>* parFiles) {
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

Status removeRecovery(const RunFolder& folder, const std::string& base) {
    auto names = parFilesOf(folder, base);
    if (!names) {
        return names.fault();
    }
    for (const std::string& name : *names) {
        auto entry = folder.statEntry(name, false);
        if (entry && S_ISREG(entry->st_mode)) {
            if (Status st = folder.removeEntry(name); !st) {
                return st.fault().named(name);
            }
        }
    }
    return {};
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

Result<Scan> scan(const RunFolder& folder, const std::string& index, Depth depth, const Progress& progress) {
    std::vector<std::string> parFiles;
    auto set = readSet(folder, index, &parFiles);
    if (!set) {
        return set.fault();
    }
    Scan result = scanOf(std::move(*set));
    result.parFiles = std::move(parFiles);
    const std::uint64_t s = result.set.sliceSize;
    std::atomic<std::uint64_t> checked{0};
    std::atomic<bool> stopped{false};
    std::uint64_t total = 0;
    for (const PieceState& piece : result.pieces) {
        total += piece.length;
    }
    Status st = parallelFor(result.pieces.size(), [&](std::size_t i) -> Status {
        PieceState& piece = result.pieces[i];
        const Par2::File& file = result.set.files.at(result.set.fileIds[i]);
        struct stat info {};
        auto fd = openRegular(folder.fd(), piece.name.c_str(), info);
        if (!fd) {
            if (fd.fault().error == ENOENT || fd.fault().error == EISDIR || fd.fault().error == EINVAL) {
                piece.present = false;
                piece.actualLength = 0;
                for (std::uint32_t k = 0; k < piece.slices; ++k) {
                    piece.badSlices.push_back(k);
                }
                return {};
            }
            return fd.fault().named(piece.name);
        }
        piece.actualLength = static_cast<std::uint64_t>(info.st_size);
        if (Status c = checkPiece(fd->get(), file, s, depth == Depth::Crc32AndMd5, piece); !c) {
            return c.fault().named(piece.name);
        }
        const std::uint64_t done = checked += piece.length;
        if (progress && !stopped && !progress(done, total)) {
            stopped = true;
            return Fault{ECANCELED};
        }
        return {};
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
        std::vector<char> intact(candidates.size(), 0);
        Status verified = parallelFor(candidates.size(), [&](std::size_t i) -> Status {
            struct stat info {};
            auto fd = openRegular(folder.fd(), candidates[i].file.c_str(), info);
            if (!fd) {
                return {};
            }
            auto good = Par2::checkRecoverySlice(fd->get(), candidates[i], s);
            if (!good) {
                return good.fault().named(candidates[i].file);
            }
            intact[i] = *good;
            return {};
        });
        if (!verified) {
            return verified;
        }
        std::vector<Par2::RecoverySlice> kept;
        for (std::size_t i = 0; i < candidates.size(); ++i) {
            if (intact[i] && exponents.insert(candidates[i].exponent).second) {
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

Result<std::vector<RebuiltPiece>> rebuild(const RunFolder& folder, const Scan& scan, int scratch,
                                          const Progress& progress, std::size_t memory) {
    if (!Gf16::init()) {
        return Fault::because("The GF(2^16) arithmetic could not be set up (gf-complete)");
    }
    if (!scan.repairable()) {
        return Fault::because("The recovery files are not enough to rebuild the missing or damaged pieces: " +
                              std::to_string(scan.piecesMissing()) + " more are needed");
    }
    const Par2::Set& set = scan.set;
    const std::uint64_t s = set.sliceSize;

    // Missing slices by set number, and the pieces they belong to.
    std::vector<std::uint32_t> missing;
    std::vector<char> isMissing;
    std::vector<std::size_t> pieceOf;
    for (std::size_t p = 0; p < scan.pieces.size(); ++p) {
        const PieceState& piece = scan.pieces[p];
        for (std::uint32_t k = 0; k < piece.slices; ++k) {
            pieceOf.push_back(p);
            isMissing.push_back(0);
        }
        for (std::uint32_t k : piece.badSlices) {
            missing.push_back(piece.firstSlice + k);
            isMissing[piece.firstSlice + k] = 1;
        }
    }
    const std::size_t m = missing.size();

    // Recovery rows that together make the missing slices solvable: those that add a
    // new dimension, found by elimination, then the chosen square inverted.
    std::vector<std::size_t> rows;
    std::vector<std::uint16_t> inverse;
    if (m > 0) {
        std::vector<std::vector<std::uint16_t>> basis; // reduced rows, pivot at basisPivot
        std::vector<std::size_t> basisPivot;
        for (std::size_t r = 0; r < set.recovery.size() && rows.size() < m; ++r) {
            std::vector<std::uint16_t> row(m);
            for (std::size_t k = 0; k < m; ++k) {
                row[k] = constantPower(missing[k], set.recovery[r].exponent);
            }
            for (std::size_t b = 0; b < basis.size(); ++b) {
                const std::uint16_t factor = row[basisPivot[b]];
                if (factor != 0) {
                    for (std::size_t k = 0; k < m; ++k) {
                        row[k] ^= Gf16::multiply(factor, basis[b][k]);
                    }
                }
            }
            const auto pivot = std::find_if(row.begin(), row.end(), [](std::uint16_t v) { return v != 0; });
            if (pivot == row.end()) {
                continue;
            }
            const std::size_t at = static_cast<std::size_t>(pivot - row.begin());
            const std::uint16_t scale = Gf16::inverse(row[at]);
            for (auto& v : row) {
                v = Gf16::multiply(v, scale);
            }
            for (auto& other : basis) {
                const std::uint16_t factor = other[at];
                if (factor != 0) {
                    for (std::size_t k = 0; k < m; ++k) {
                        other[k] ^= Gf16::multiply(factor, row[k]);
                    }
                }
            }
            basis.push_back(std::move(row));
            basisPivot.push_back(at);
            rows.push_back(r);
        }
        if (rows.size() < m) {
            return Fault::because(
                "The recovery files are not enough to rebuild the missing or damaged pieces: " +
                std::to_string((m - rows.size() + scan.largestPieceSlices - 1) / scan.largestPieceSlices) +
                " more are needed");
        }
        inverse.resize(m * m);
        for (std::size_t j = 0; j < m; ++j) {
            for (std::size_t k = 0; k < m; ++k) {
                inverse[j * m + k] = constantPower(missing[k], set.recovery[rows[j]].exponent);
            }
        }
        if (!invert(inverse, m)) {
            return Fault::because("The recovery data cannot be solved for these slices");
        }
    }

    // Open what is read: the pieces present, the PAR files that hold the chosen rows.
    std::vector<Descriptor> pieceFds(scan.pieces.size());
    for (std::size_t p = 0; p < scan.pieces.size(); ++p) {
        if (scan.pieces[p].present) {
            struct stat st {};
            auto fd = openRegular(folder.fd(), scan.pieces[p].name.c_str(), st);
            if (!fd) {
                return fd.fault().named(scan.pieces[p].name);
            }
            pieceFds[p] = std::move(*fd);
        }
    }
    std::map<std::string, Descriptor> parFds;
    for (std::size_t r : rows) {
        const std::string& name = set.recovery[r].file;
        if (parFds.count(name) == 0) {
            struct stat st {};
            auto fd = openRegular(folder.fd(), name.c_str(), st);
            if (!fd) {
                return fd.fault().named(name);
            }
            parFds.emplace(name, std::move(*fd));
        }
    }

    std::vector<RebuiltPiece> rebuilt;
    std::vector<std::size_t> rebuiltIndex(scan.pieces.size(), SIZE_MAX);
    for (std::size_t p = 0; p < scan.pieces.size(); ++p) {
        if (scan.pieces[p].whole()) {
            continue;
        }
        RebuiltPiece piece{scan.pieces[p].name, std::make_unique<TemporaryFile>()};
        if (Status st = piece.file->create(scratch); !st) {
            return st.fault().named(piece.name);
        }
        rebuiltIndex[p] = rebuilt.size();
        rebuilt.push_back(std::move(piece));
    }

    if (m > 0) {
        std::vector<std::uint32_t> known;
        for (std::uint32_t i = 0; i < isMissing.size(); ++i) {
            if (!isMissing[i]) {
                known.push_back(i);
            }
        }
        // Missing slices a group at a time, each group one pass over the inputs, so
        // that the coefficients and the stripes stay bounded whatever the damage.
        for (std::size_t g = 0; g < m; g += rowsAtOnce) {
            Combination c;
            c.inputs = m + known.size();
            c.outputs = std::min(rowsAtOnce, m - g);
            c.length = s;
            c.coefficients.assign(c.inputs * c.outputs, 0);
            // missing_k = sum_j inverse[k][j] * (recovery_j + sum_known c_i^e_j * known_i)
            std::vector<std::uint16_t> powers(m);
            for (std::size_t k = 0; k < c.outputs; ++k) {
                for (std::size_t j = 0; j < m; ++j) {
                    c.coefficients[k * c.inputs + j] = inverse[(g + k) * m + j];
                }
            }
            for (std::size_t i = 0; i < known.size(); ++i) {
                for (std::size_t j = 0; j < m; ++j) {
                    powers[j] = constantPower(known[i], set.recovery[rows[j]].exponent);
                }
                for (std::size_t k = 0; k < c.outputs; ++k) {
                    std::uint16_t sum = 0;
                    for (std::size_t j = 0; j < m; ++j) {
                        sum ^= Gf16::multiply(inverse[(g + k) * m + j], powers[j]);
                    }
                    c.coefficients[k * c.inputs + m + i] = sum;
                }
            }
            c.read = [&](std::size_t i, std::uint64_t offset, std::size_t size, unsigned char* buffer) -> Status {
                if (i < m) {
                    const Par2::RecoverySlice& slice = set.recovery[rows[i]];
                    auto read =
                        readAt(parFds.at(slice.file).get(), buffer, size, slice.offset + Par2::recoveryPrefix + offset);
                    if (!read) {
                        return read.fault().named(slice.file);
                    }
                    return *read == size ? Status{}
                                         : Status{Fault::because("The file ended before its end").named(slice.file)};
                }
                const std::uint32_t number = known[i - m];
                const std::size_t p = pieceOf[number];
                const PieceState& piece = scan.pieces[p];
                Status st =
                    readSlice(pieceFds[p].get(), piece.length, s, number - piece.firstSlice, offset, size, buffer);
                return st ? st : Status{st.fault().named(piece.name)};
            };
            c.write = [&](std::size_t k, std::uint64_t offset, std::size_t size, const unsigned char* data) -> Status {
                const std::uint32_t number = missing[g + k];
                const std::size_t p = pieceOf[number];
                const PieceState& piece = scan.pieces[p];
                const std::uint64_t at = (number - piece.firstSlice) * s + offset;
                if (at >= piece.length) {
                    return {};
                }
                const std::size_t bytes = static_cast<std::size_t>(std::min<std::uint64_t>(size, piece.length - at));
                Status st = writeAt(rebuilt[rebuiltIndex[p]].file->fd(), data, bytes, at);
                return st ? st : Status{st.fault().named(piece.name)};
            };
            c.progress = progress;
            if (Status st = combine(c, memory); !st) {
                return st.fault();
            }
        }
    }

    // The good slices of damaged pieces are copied as they are, then every rebuilt piece
    // is checked whole against its recorded MD5.
    Status finished = parallelFor(rebuilt.size(), [&](std::size_t r) -> Status {
        std::size_t p = 0;
        while (rebuiltIndex[p] != r) {
            ++p;
        }
        const PieceState& piece = scan.pieces[p];
        const int to = rebuilt[r].file->fd();
        std::vector<unsigned char> buffer(readBlock);
        if (piece.present) {
            for (std::uint32_t k = 0; k < piece.slices; ++k) {
                if (std::binary_search(piece.badSlices.begin(), piece.badSlices.end(), k)) {
                    continue;
                }
                const std::uint64_t end = std::min<std::uint64_t>((k + 1) * s, piece.length);
                for (std::uint64_t at = k * s; at < end; at += buffer.size()) {
                    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), end - at));
                    auto read = readAt(pieceFds[p].get(), buffer.data(), want, at);
                    if (!read || *read != want) {
                        return (!read ? read.fault() : Fault::because("The file ended before its end"))
                            .named(piece.name);
                    }
                    if (Status st = writeAt(to, buffer.data(), want, at); !st) {
                        return st.fault().named(piece.name);
                    }
                }
            }
        }
        if (::ftruncate(to, static_cast<off_t>(piece.length)) != 0) {
            return Fault::ofErrno().named(piece.name);
        }
        Md5 md5;
        for (std::uint64_t at = 0; at < piece.length; at += buffer.size()) {
            const std::size_t want =
                static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), piece.length - at));
            auto read = readAt(to, buffer.data(), want, at);
            if (!read || *read != want) {
                return (!read ? read.fault() : Fault::because("The file ended before its end")).named(piece.name);
            }
            if (Status st = md5.update(buffer.data(), want); !st) {
                return st;
            }
        }
        auto digest = md5.finish();
        if (!digest) {
            return digest.fault();
        }
        if (*digest != set.files.at(set.fileIds[p]).md5) {
            return Fault::because("The rebuilt piece does not match its recorded checksum").named(piece.name);
        }
        return {};
    });
    if (!finished) {
        return finished.fault();
    }
    return rebuilt;
}

Result<std::vector<std::string>> repair(const RunFolder& folder, const Scan& scan, const Progress& progress,
                                        std::size_t memory) {
    auto rebuilt = rebuild(folder, scan, folder.fd(), progress, memory);
    if (!rebuilt) {
        return rebuilt.fault();
    }
    std::vector<std::string> names;
    for (RebuiltPiece& piece : *rebuilt) {
        std::string kept;
        bool moved = false;
        if (folder.statEntry(piece.name, false)) {
            for (unsigned n = 0;; ++n) {
                kept = piece.name + ".damaged" + (n == 0 ? std::string() : "." + std::to_string(n));
                if (::renameat2(folder.fd(), piece.name.c_str(), folder.fd(), kept.c_str(), RENAME_NOREPLACE) == 0) {
                    moved = true;
                    break;
                }
                if (errno != EEXIST) {
                    return Fault::ofErrno().named(piece.name);
                }
            }
        }
        if (Status st = piece.file->publish(piece.name, false); !st) {
            if (moved) {
                (void)::renameat2(folder.fd(), kept.c_str(), folder.fd(), piece.name.c_str(), RENAME_NOREPLACE);
            }
            return st.fault().named(piece.name);
        }
        names.push_back(piece.name);
    }
    return names;
}

} // namespace Recovery
