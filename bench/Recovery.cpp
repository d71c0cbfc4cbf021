// Drives the recovery library alone, for bench/recovery.sh and for trying it by hand:
//   quarnel-recovery create FOLDER BASE CHUNK LOST PIECE...   (the layout split would choose)
//   quarnel-recovery layout FOLDER BASE CHUNK LOST PIECE...   (that layout, nothing written)
//   quarnel-recovery create-with FOLDER BASE SLICE COUNT PER PIECE...
//   quarnel-recovery scan FOLDER INDEX
//   quarnel-recovery repair FOLDER INDEX
#include "engine/recovery/Recovery.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/RunFolder.h"
#include "engine/hash/Crc32.h"
#include "engine/hash/Gf16.h"
#include "engine/hash/Md5.h"
#include "engine/hash/Md5Lanes.h"

namespace {

int fail(const Fault& fault) {
    std::fprintf(stderr, "quarnel-recovery: %s\n", fault.description().c_str());
    return 1;
}

int usage() {
    std::fprintf(stderr, "usage: quarnel-recovery create|layout FOLDER BASE CHUNK LOST PIECE...\n"
                         "       quarnel-recovery create-with FOLDER BASE SLICE COUNT PER PIECE...\n"
                         "       quarnel-recovery scan|repair FOLDER INDEX\n"
                         "       quarnel-recovery pass md5|md5-lanes|md5-avx2|md5-plain|crc32|crc32-zlib|gf FILE\n");
    return 2;
}

// One pass over `path` as the recovery data makes it: MD5, CRC-32 (also zlib's alone), or a GF(2^16)
// multiply-add of every 1 MiB into one accumulator. md5-lanes hashes each 1 MiB as as many streams as
// there are lanes, side by side; md5-avx2 the same without AVX-512;
// md5-plain as one stream, by our own code without lanes.
int pass(const std::string& kind, const char* path) {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0 || !Gf16::init()) {
        return fail(Fault::ofErrno().named(path));
    }
    constexpr std::size_t block = 1 << 20;
    std::vector<unsigned char> buffer(block), sum(block);
    Md5 md5;
    std::vector<Md5Lanes::Stream> streams(Md5Lanes::width());
    std::vector<Md5Lanes::Update> updates(streams.size());
    Md5Lanes::use(kind == "md5-plain"  ? Md5Lanes::Code::plain
                  : kind == "md5-avx2" ? Md5Lanes::Code::avx2
                                       : Md5Lanes::Code::best);
    std::uint32_t crc = 0;
    for (ssize_t n; (n = ::read(fd, buffer.data(), block)) > 0;) {
        if (kind == "md5") {
            (void)md5.update(buffer.data(), static_cast<std::size_t>(n));
        } else if (kind == "md5-lanes" || kind == "md5-avx2" || kind == "md5-plain") {
            const std::size_t part = static_cast<std::size_t>(n) / streams.size();
            for (std::size_t i = 0; i < streams.size(); ++i) {
                const std::size_t size = i + 1 < streams.size() ? part : static_cast<std::size_t>(n) - i * part;
                updates[i] = {&streams[i], buffer.data() + i * part, size};
            }
            Md5Lanes::update(updates);
        } else if (kind == "crc32") {
            crc = Crc32::update(crc, buffer.data(), static_cast<std::size_t>(n));
        } else if (kind == "crc32-zlib") {
            crc = Crc32::zlibUpdate(crc, buffer.data(), static_cast<std::size_t>(n));
        } else {
            Gf16::multiplyAdd(buffer.data(), sum.data(), 0x1234, static_cast<std::size_t>(n) & ~std::size_t{1});
        }
    }
    ::close(fd);
    std::printf("%08x %02x\n", crc, sum[0]);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        return usage();
    }
    const std::string command = argv[1];
    if (command == "pass") {
        return pass(argv[2], argv[3]);
    }
    RunFolder folder;
    if (Status st = folder.open(argv[2]); !st) {
        return fail(st.fault().named(argv[2]));
    }
    if (command == "create" || command == "layout" || command == "create-with") {
        const int first = command == "create-with" ? 7 : 6;
        if (argc <= first) {
            return usage();
        }
        std::vector<std::string> pieces(argv + first, argv + argc);
        Recovery::Layout layout;
        if (command != "create-with") {
            std::vector<std::uint64_t> sizes;
            for (const std::string& piece : pieces) {
                auto st = folder.statEntry(piece, true);
                if (!st) {
                    return fail(st.fault().named(piece));
                }
                sizes.push_back(static_cast<std::uint64_t>(st->st_size));
            }
            layout = Recovery::layoutFor(sizes, std::strtoull(argv[4], nullptr, 10),
                                         static_cast<std::uint32_t>(std::strtoul(argv[5], nullptr, 10)));
        } else {
            layout.sliceSize = std::strtoull(argv[4], nullptr, 10);
            layout.recoverySlices = static_cast<std::uint32_t>(std::strtoul(argv[5], nullptr, 10));
            layout.slicesPerVolume = static_cast<std::uint32_t>(std::strtoul(argv[6], nullptr, 10));
        }
        std::printf("slice %llu, %u recovery slices, %u a volume\n", static_cast<unsigned long long>(layout.sliceSize),
                    layout.recoverySlices, layout.slicesPerVolume);
        if (command == "layout") {
            return 0;
        }
        if (Status st = Recovery::create(folder, argv[3], pieces, layout); !st) {
            return fail(st.fault());
        }
        return 0;
    }
    if (command != "scan" && command != "repair") {
        return usage();
    }
    auto scan = Recovery::scan(folder, argv[3]);
    if (!scan) {
        return fail(scan.fault());
    }
    for (const Recovery::PieceState& piece : scan->pieces) {
        if (!piece.whole()) {
            std::printf("%s: %s, %zu of %u slices bad\n", piece.name.c_str(), piece.present ? "damaged" : "missing",
                        piece.badSlices.size(), piece.slices);
        }
    }
    std::printf("%u pieces to rebuild, %u slices, %u recovery slices available: %s\n", scan->piecesToRebuild(),
                scan->slicesToRebuild, scan->recoveryAvailable, scan->repairable() ? "repairable" : "not repairable");
    if (command == "scan" || scan->whole()) {
        return scan->whole() ? 0 : 1;
    }
    auto repaired = Recovery::repair(folder, *scan);
    if (!repaired) {
        return fail(repaired.fault());
    }
    std::printf("rebuilt %zu pieces\n", repaired->size());
    return 0;
}
