#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <map>

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/Descriptor.h"
#include "engine/hash/Gf16.h"
#include "engine/hash/Md5.h"
#include "engine/recovery/Combine.h"
#include "engine/recovery/Recovery.h"
#include "engine/recovery/Shared.h"

// Rebuilding lost and damaged pieces from a set's recovery data, and repairing in place.
namespace Recovery {
namespace {

constexpr std::size_t rowsAtOnce = 256;

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

Fault tooFew(std::size_t morePieces) {
    return Fault::because("The recovery files are not enough to rebuild the missing or damaged pieces: " +
                          std::to_string(morePieces) + " more are needed");
}

} // namespace

Result<std::vector<RebuiltPiece>> rebuild(const RunFolder& folder, const Scan& scan, int scratch,
                                          const Progress& progress, std::size_t memory) {
    if (Status ready = arithmeticReady(); !ready) {
        return ready.fault();
    }
    if (!scan.repairable()) {
        return tooFew(scan.piecesMissing());
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
            return tooFew((m - rows.size() + scan.largestPieceSlices - 1) / scan.largestPieceSlices);
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

    // The good slices of damaged pieces are copied as they are, then the rebuilt pieces
    // are checked whole against their recorded MD5s, side by side.
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
        return {};
    });
    if (!finished) {
        return finished.fault();
    }
    std::vector<ByteRange> written;
    for (std::size_t p = 0; p < scan.pieces.size(); ++p) {
        if (rebuiltIndex[p] != SIZE_MAX) {
            written.push_back({rebuilt[rebuiltIndex[p]].file->fd(), 0, scan.pieces[p].length, &scan.pieces[p].name});
        }
    }
    auto digests = md5Of(written);
    if (!digests) {
        return digests.fault();
    }
    for (std::size_t p = 0, r = 0; p < scan.pieces.size(); ++p) {
        if (rebuiltIndex[p] == SIZE_MAX) {
            continue;
        }
        if (!(*digests)[r] || *(*digests)[r] != set.files.at(set.fileIds[p]).md5) {
            return Fault::because("The rebuilt piece does not match its recorded checksum").named(scan.pieces[p].name);
        }
        ++r;
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
                kept = piece.name + ".damaged";
                if (n > 0) {
                    kept += '.' + std::to_string(n);
                }
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
