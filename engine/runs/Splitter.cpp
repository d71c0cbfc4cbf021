#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <optional>
#include <vector>

#include <sys/stat.h>

#include "engine/Copy.h"
#include "engine/Descriptor.h"
#include "engine/InputChecks.h"
#include "engine/Main.h"
#include "engine/PieceSet.h"
#include "engine/RunFolder.h"
#include "engine/SplitMergeFile.h"
#include "engine/TemporaryFile.h"
#include "engine/formats/ChecksumFile.h"
#include "engine/formats/CrcFile.h"
#include "engine/formats/ForeignSet.h"
#include "engine/recovery/Recovery.h"
#include "engine/runs/SplitParts.h"
#include "engine/runs/SplitSources.h"
#include "engine/runs/Steps.h"

// The splitter: pieces one file each, the list (or a numbered set's .crc) written as they come and named last.
namespace SplitMergeFile {

namespace {

using namespace Steps;

class Splitter {
public:
    Splitter(std::unique_ptr<CutSource> source, const std::string& sourcePath, std::int32_t chunkSize,
             const std::string& outputFolder, const SplitOptions& options, EngineHost& host)
        : m_source(std::move(source)), m_sourcePath(sourcePath), m_chunkSize(chunkSize), m_outputFolder(outputFolder),
          m_checksums(options.checksums), m_numbered(options.numbered), m_host(host) {}

    Outcome guardedRun(SplitWritten* written) {
        const Outcome outcome = Steps::guardedRun(
            m_host, splitLabel, m_sourcePath, [this] { return run(); }, [] {});
        if (written != nullptr) {
            *written = outcome == Outcome::Succeeded ? m_written : SplitWritten{};
        }
        return outcome;
    }

private:
    struct Names {
        std::string folder;
        std::string baseName;
        // The list, or the .crc of a numbered set.
        std::string manifestName;
        std::string manifestPath;
        std::string sidecarName;
        std::string sidecarPath;
        std::string recoveryBase; // the PAR files' names less ".par2"
        int last = 1;             // the number of the last piece, whose name is the longest
    };

    // A numbered set's pieces are all as wide as the last one's number.
    std::string nameOf(const Names& names, int number, std::int64_t count) const {
        return m_numbered ? ForeignSet::numberedName(names.baseName, number, count)
                          : PieceSet::pieceName(names.baseName, number);
    }

    std::string pathOf(const Names& names, int number, std::int64_t count) const {
        return m_numbered ? inFolder(names.folder, nameOf(names, number, count))
                          : PieceSet::piecePath(names.folder, names.baseName, number);
    }

    static std::string inFolder(const std::string& folder, const std::string& name) {
        return folder.empty() || folder.back() == '/' ? folder + name : folder + '/' + name;
    }

    Outcome run() {
        Names names;
        m_source->open();
        names.baseName = m_source->baseName();
        names.folder = m_outputFolder;
        // A stream's pieces are made and counted as they come.
        const std::int64_t pieces = m_source->pieces(m_chunkSize);
        if (const auto refusal = checkLimits(pieces, names)) {
            return refuse(*refusal);
        }

        progressStep(m_host, splitLabel, 106, [&] { m_host.setProgressValue(0); });
        progressStep(m_host, splitLabel, 108, [&] { m_host.setProgressMaximum(static_cast<int>(pieces)); });
        if (const std::optional<Outcome> refused = m_source->start(m_chunkSize, m_host)) {
            return *refused;
        }

        // An older manifest or .crc would pass a half-written set as whole, and
        // recovery data of an earlier set would "repair" the new pieces into the old.
        removeOldManifest(names.manifestName, names.manifestPath);
        if (const Status removed = Recovery::removeRecovery(m_folder, names.recoveryBase); !removed) {
            Fault fault = removed.fault();
            fault.path = inFolder(names.folder, fault.path);
            fail(134, fault.path, fault);
        }
        // Checksums of an earlier split would call every new piece damaged. A name
        // too long for the folder names nothing there.
        if (const Status removed = m_folder.removeEntry(names.sidecarName);
            !removed && removed.fault().error != ENAMETOOLONG) {
            fail(134, names.sidecarPath, removed.fault());
        }
        std::optional<ManifestWriter> manifest;
        if (m_numbered) {
            // A stream's pieces are counted at its end: the pieces of an earlier set of
            // its name all go.
            removeStalePieces(names, pieces);
        } else {
            manifest.emplace(m_folder, names.manifestPath);
        }

        m_host.setProgressBytes(0);
        Cut cut(m_host, m_chunkSize, m_checksums, m_numbered, [&](int number, std::int64_t count, std::string& path) {
            path = pathOf(names, number, count);
            return openPiece(nameOf(names, number, count), path, manifest);
        });
        const Outcome copied = m_source->copy(pieces, cut);
        if (copied != Outcome::Succeeded) {
            return copied;
        }
        m_written = cut.written;
        m_crc = cut.crc;
        const std::int64_t count = m_written.pieces;
        if (manifest) {
            manifest->publish(names.manifestName);
        } else if (m_source->widensNames()) {
            widenNames(names, count);
        }
        if (m_checksums) {
            writeChecksums(names, count, cut.digests, cut.sourceDigest);
        }
        if (m_numbered) {
            writeCrc(names);
        }
        m_host.showNotice({NoticeId::SplitSucceeded});
        return Outcome::Succeeded;
    }

    // Refuses before anything is written; opens and locks the output folder on the way.
    std::optional<NoticeId> checkLimits(std::int64_t pieces, Names& names) {
        if (m_chunkSize < 1) {
            return NoticeId::ChunkTooSmall;
        }
        if (pieces > PieceSet::maxPieces) {
            return NoticeId::TooManyPieces;
        }
        // A .crc holds the name alone, not the folder.
        if (PieceSet::hasLineBreak(names.baseName) || (!m_numbered && PieceSet::hasLineBreak(names.folder))) {
            return NoticeId::LineBreakInName;
        }
        if (m_numbered) {
            names.manifestName = names.baseName + std::string(CrcFile::suffix);
            names.manifestPath = inFolder(names.folder, names.manifestName);
            names.sidecarName = Checksum::sidecarPath(names.baseName);
            names.recoveryBase = names.baseName;
        } else {
            names.manifestPath = PieceSet::manifestPath(names.folder, names.baseName);
            names.manifestName = PieceSet::manifestName(names.baseName);
            names.sidecarName = Checksum::sidecarPath(names.manifestName);
            names.recoveryBase = names.manifestName;
        }
        names.sidecarPath =
            m_numbered ? inFolder(names.folder, names.sidecarName) : Checksum::sidecarPath(names.manifestPath);
        // The checksum file's name is the longest of the run when there is one.
        const std::string& longestListPath = m_checksums ? names.sidecarPath : names.manifestPath;
        const std::string& longestListName = m_checksums ? names.sidecarName : names.manifestName;
        // A stream's names must hold the most pieces there can be.
        names.last = m_source->lastNumber(pieces);
        if (std::max(pathOf(names, names.last, names.last).size(), longestListPath.size()) > PieceSet::maxPathLength) {
            return NoticeId::NamesTooLong;
        }

        orFail(m_folder.open(names.folder), 118, names.folder);
        const auto longestName = std::max(nameOf(names, names.last, names.last).size(), longestListName.size());
        if (static_cast<long>(longestName) > m_folder.nameMax()) {
            return NoticeId::NamesTooLong;
        }
        if (!m_folder.lock()) {
            return NoticeId::AnotherRunWriting;
        }
        clearLeftovers(m_folder);
        return std::nullopt;
    }

    Outcome refuse(NoticeId refusal) {
        m_host.showNotice({refusal});
        return Outcome::Refused;
    }

    // Written after the manifest (before a .crc), in the steps of the manifest.
    void writeChecksums(const Names& names, std::int64_t count, const std::vector<Checksum::Digest>& digests,
                        const Checksum::Digest& sourceDigest) const {
        std::string text;
        for (std::size_t i = 0; i < digests.size(); ++i) {
            text += Checksum::sidecarLine(digests[i], nameOf(names, static_cast<int>(i + 1), count));
        }
        text += Checksum::sidecarLine(sourceDigest, names.baseName);
        writeLast(names.sidecarName, names.sidecarPath, text);
    }

    // The .crc of a numbered set, which calls it whole: only once every piece is there.
    void writeCrc(const Names& names) const {
        writeLast(names.manifestName, names.manifestPath, CrcFile::format(names.baseName, m_written.bytes, m_crc));
    }

    void writeLast(const std::string& name, const std::string& path, const std::string& text) const {
        TemporaryFile file;
        orFail(file.create(m_folder.fd()), 134, path);
        orFail(Copy::writeAll(file.fd(), text.data(), text.size()), 136, path);
        orFail(file.publish(name, true), 138, path);
    }

    // A stream's set of more than 999 pieces: its first pieces get the set's width.
    void widenNames(const Names& names, std::int64_t count) const {
        for (int number = 1; count > 999 && number <= count; ++number) {
            const std::string from = nameOf(names, number, number);
            const std::string to = nameOf(names, number, count);
            if (from == to) {
                continue;
            }
            guardSource(118, to, inFolder(names.folder, to));
            if (::renameat(m_folder.fd(), from.c_str(), m_folder.fd(), to.c_str()) != 0) {
                fail(118, inFolder(names.folder, to), Fault::ofErrno());
            }
        }
    }

    // Pieces of an earlier, longer set of this name (and a .000) would be joined with the new ones: they go before the
    // first piece, up to the highest number beside, past gaps, as a join looks for them.
    void removeStalePieces(const Names& names, std::int64_t count) const {
        const auto removeAll = [&](std::int64_t number) {
            bool found = false;
            // Every width a set of these numbers may have.
            for (const std::int64_t width : {std::int64_t{1}, std::int64_t{1000}, std::int64_t{10000}}) {
                const std::string name = ForeignSet::numberedName(names.baseName, number, std::max(number, width));
                const Result<struct stat> st = m_folder.statEntry(name, false);
                if (st && (S_ISREG(st->st_mode) || S_ISLNK(st->st_mode))) {
                    orFail(m_folder.removeEntry(name), 118, inFolder(names.folder, name));
                    found = true;
                }
            }
            return found;
        };
        removeAll(0);
        std::int64_t lastFound = count;
        for (std::int64_t number = count + 1;
             number <= ForeignSet::maxPieces && number - lastFound <= std::max<std::int64_t>(1000, lastFound / 4);
             ++number) {
            if (removeAll(number)) {
                lastFound = number;
            }
        }
    }

    // A name that leads to the source (a symbolic or hard link) is never
    // replaced.
    void guardSource(int step, const std::string& name, const std::string& path) const {
        if (const Result<struct stat> st = m_folder.statEntry(name, true); st && sameFile(*st, m_source->status())) {
            fail(step, path, "would overwrite the file being split");
        }
    }

    void removeOldManifest(const std::string& name, const std::string& path) const {
        guardSource(134, name, path);
        orFail(m_folder.removeEntry(name), 134, path);
    }

    // Whatever stands at the name is replaced as an entry, so a link, FIFO or device there is never opened.

    Descriptor openPiece(const std::string& name, const std::string& path,
                         std::optional<ManifestWriter>& manifest) const {
        return atStep(114, m_sourcePath, [&] {
            Descriptor piece = createPiece(name, path);
            if (manifest) {
                manifest->add(path);
            }
            return piece;
        });
    }

    Descriptor createPiece(const std::string& name, const std::string& path) const {
        for (int attempt = 0; attempt < 3; ++attempt) {
            Result<Descriptor> created = m_folder.createExclusive(name);
            if (created) {
                return std::move(*created);
            }
            if (created.fault().error != EEXIST) {
                fail(118, path, created.fault());
            }
            guardSource(118, name, path);
            orFail(m_folder.removeEntry(name), 118, path);
        }
        // Something keeps putting a file there.
        fail(118, path, Fault{EEXIST});
    }

    std::unique_ptr<CutSource> m_source;
    const std::string& m_sourcePath;
    const std::int32_t m_chunkSize;
    const std::string& m_outputFolder;
    const bool m_checksums;
    const bool m_numbered;
    EngineHost& m_host;
    RunFolder m_folder;
    SplitWritten m_written;
    std::uint32_t m_crc = 0; // of a numbered set's source
};

} // namespace

Outcome SplitFile(const std::string& sourcePath, std::int32_t chunkSize, const std::string& outputFolder,
                  EngineHost& host, bool checksums) {
    return SplitFile(InputChecks::SplitSource(sourcePath), chunkSize, outputFolder, host, checksums);
}

Outcome SplitFile(const InputChecks::SplitSource& source, std::int32_t chunkSize, const std::string& outputFolder,
                  EngineHost& host, bool checksums) {
    return SplitFile(source, chunkSize, outputFolder, host, SplitOptions{checksums, false});
}

Outcome SplitFile(const InputChecks::SplitSource& source, std::int32_t chunkSize, const std::string& outputFolder,
                  EngineHost& host, const SplitOptions& options, SplitWritten* written) {
    return Splitter(std::make_unique<FileCut>(source), source.path(), chunkSize, outputFolder, options, host)
        .guardedRun(written);
}

Outcome SplitStream(int sourceFd, const std::string& sourceName, const std::string& baseName, std::int32_t chunkSize,
                    const std::string& outputFolder, EngineHost& host, bool checksums) {
    return SplitStream(sourceFd, sourceName, baseName, chunkSize, outputFolder, host, SplitOptions{checksums, false});
}

Outcome SplitStream(int sourceFd, const std::string& sourceName, const std::string& baseName, std::int32_t chunkSize,
                    const std::string& outputFolder, EngineHost& host, const SplitOptions& options,
                    SplitWritten* written) {
    return Splitter(std::make_unique<StreamCut>(sourceFd, sourceName, baseName), sourceName, chunkSize, outputFolder,
                    options, host)
        .guardedRun(written);
}

} // namespace SplitMergeFile
