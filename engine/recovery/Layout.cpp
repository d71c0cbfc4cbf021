#include <algorithm>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/hash/Gf16.h"
#include "engine/recovery/Recovery.h"
#include "engine/recovery/Shared.h"

// The layout of a set's recovery data and the names of its PAR files.
namespace Recovery {
namespace {

constexpr std::uint64_t minimumHalving = 1u << 20;

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

// The recovery slices that rebuild any `lost` pieces: those of the largest.
std::uint32_t slicesForLost(std::vector<std::uint64_t> sizes, std::uint64_t sliceSize, std::uint32_t lost) {
    std::sort(sizes.begin(), sizes.end(), std::greater<>());
    std::uint64_t slices = 0;
    for (std::size_t i = 0; i < sizes.size() && i < lost; ++i) {
        slices += std::max<std::uint64_t>(1, slicesOf(sizes[i], sliceSize));
    }
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(slices, 65535));
}

} // namespace

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

} // namespace Recovery
