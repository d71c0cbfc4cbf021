// Drives the recovery library alone, for bench/recovery.sh and for trying it by hand:
//   quarnel-recovery create FOLDER BASE CHUNK LOST PIECE...   (the layout split would choose)
//   quarnel-recovery create-with FOLDER BASE SLICE COUNT PER PIECE...
//   quarnel-recovery scan FOLDER INDEX
//   quarnel-recovery repair FOLDER INDEX
#include "engine/recovery/Recovery.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "engine/RunFolder.h"

namespace {

int fail(const Fault& fault) {
    std::fprintf(stderr, "quarnel-recovery: %s\n", fault.description().c_str());
    return 1;
}

int usage() {
    std::fprintf(stderr, "usage: quarnel-recovery create FOLDER BASE CHUNK LOST PIECE...\n"
                         "       quarnel-recovery create-with FOLDER BASE SLICE COUNT PER PIECE...\n"
                         "       quarnel-recovery scan|repair FOLDER INDEX\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        return usage();
    }
    const std::string command = argv[1];
    RunFolder folder;
    if (Status st = folder.open(argv[2]); !st) {
        return fail(st.fault().named(argv[2]));
    }
    if (command == "create" || command == "create-with") {
        const int first = command == "create" ? 6 : 7;
        if (argc <= first) {
            return usage();
        }
        std::vector<std::string> pieces(argv + first, argv + argc);
        Recovery::Layout layout;
        if (command == "create") {
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
