#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <thread>

#include <sys/stat.h>

#include "engine/Descriptor.h"
#include "engine/hash/Crc32.h"
#include "engine/hash/Gf16.h"
#include "engine/hash/Md5.h"
#include "engine/hash/Md5Lanes.h"
#include "engine/recovery/Combine.h"
#include "engine/recovery/Recovery.h"
#include "engine/recovery/Shared.h"

// Writing a set's recovery data.
namespace Recovery {
namespace {

constexpr std::size_t first16k = 16u << 10;
constexpr std::size_t volumesAtOnce = 256;

// One piece being hashed for its file description and slice checksums, in one read.
struct Hashing {
    int fd = -1;
    Par2::File* file = nullptr;
    std::uint64_t slices = 0;
    std::uint64_t slice = 0;  // the slice being read
    std::uint64_t offset = 0; // in the piece
    std::uint64_t left = 0;   // of the slice, padding included
    Md5Lanes::Stream whole;
    // The slice's own MD5. The first slice's is the whole piece's up to there, so its bytes
    // are hashed once; only its padding, if any, goes to a copy.
    std::optional<Md5Lanes::Stream> own;
    std::uint32_t crc = 0;
    std::vector<unsigned char> head;
    unsigned char* buffer = nullptr;
    std::size_t want = 0; // this round's bytes of the slice
    std::size_t got = 0;  // of them from the piece, the rest padding
};

// Pieces read a block of each at a time and hashed side by side, each MD5 in its own lane.
Status hashGroup(std::span<Hashing> group, std::uint64_t sliceSize) {
    const std::size_t bufferSize = static_cast<std::size_t>(std::min<std::uint64_t>(sliceSize, hashBlock));
    const std::unique_ptr<unsigned char[]> buffers(new unsigned char[bufferSize * group.size()]);
    for (std::size_t i = 0; i < group.size(); ++i) {
        group[i].buffer = buffers.get() + i * bufferSize;
        group[i].slices = slicesOf(group[i].file->length, sliceSize);
        group[i].file->slices.resize(group[i].slices);
    }
    std::vector<Md5Lanes::Update> updates;
    for (;;) {
        updates.clear();
        bool reading = false;
        for (Hashing& h : group) {
            h.want = 0;
            if (h.slice == h.slices) {
                continue;
            }
            reading = true;
            if (h.left == 0) {
                h.left = sliceSize;
                h.crc = 0;
                h.own.reset();
                if (h.slice > 0) {
                    h.own.emplace();
                }
            }
            h.want = static_cast<std::size_t>(std::min<std::uint64_t>(h.left, bufferSize));
            h.got = 0;
            const std::uint64_t length = h.file->length;
            if (h.offset < length) {
                const std::size_t inFile = static_cast<std::size_t>(std::min<std::uint64_t>(h.want, length - h.offset));
                auto read = readAt(h.fd, h.buffer, inFile, h.offset);
                if (!read) {
                    return read.fault().named(h.file->name);
                }
                if (*read != inFile) {
                    return Fault::because("The file ended before its end").named(h.file->name);
                }
                h.got = inFile;
                updates.push_back({&h.whole, h.buffer, h.got});
                if (h.head.size() < first16k) {
                    h.head.insert(h.head.end(), h.buffer, h.buffer + std::min(h.got, first16k - h.head.size()));
                }
                h.offset += h.got;
            }
            std::memset(h.buffer + h.got, 0, h.want - h.got);
            if (h.own) {
                updates.push_back({&*h.own, h.buffer, h.want});
            }
            h.crc = Crc32::update(h.crc, h.buffer, h.want);
        }
        if (!reading) {
            break;
        }
        Md5Lanes::update(updates);
        for (Hashing& h : group) {
            if (h.want == 0) {
                continue;
            }
            if (!h.own && h.got < h.want) {
                h.own = h.whole;
                Md5Lanes::update(*h.own, h.buffer + h.got, h.want - h.got);
            }
            h.left -= h.want;
            if (h.left == 0) {
                h.file->slices[h.slice] = {Md5Lanes::finish(h.own ? *h.own : h.whole), h.crc};
                ++h.slice;
            }
        }
    }
    for (Hashing& h : group) {
        auto headDigest = Md5::of(h.head.data(), h.head.size());
        if (!headDigest) {
            return headDigest.fault();
        }
        h.file->md5 = Md5Lanes::finish(h.whole);
        h.file->md5First16k = *headDigest;
        h.file->id = Par2::fileId(h.file->md5First16k, h.file->length, h.file->name);
    }
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

} // namespace

Status create(const RunFolder& folder, const std::string& base, const std::vector<std::string>& pieces,
              const Layout& layout, const Progress& progress, std::size_t memory) {
    if (Status ready = arithmeticReady(); !ready) {
        return ready;
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
    // Groups big enough to fill the lanes (a piece has one or two MD5s going) yet
    // enough of them for every core.
    const std::size_t lanes = Md5Lanes::width();
    const std::size_t cores = std::max(1u, std::thread::hardware_concurrency());
    const std::size_t perGroup =
        lanes == 1 ? 1 : std::clamp<std::size_t>((files.size() + cores - 1) / cores, 1, 2 * lanes);
    std::vector<Hashing> hashing(files.size());
    for (std::size_t i = 0; i < files.size(); ++i) {
        hashing[i].fd = fds[i].get();
        hashing[i].file = &files[i];
    }
    if (Status st = parallelFor((files.size() + perGroup - 1) / perGroup,
                                [&](std::size_t g) {
                                    const std::size_t first = g * perGroup;
                                    return hashGroup(std::span<Hashing>(hashing).subspan(
                                                         first, std::min(perGroup, files.size() - first)),
                                                     s);
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

} // namespace Recovery
