#include <algorithm>
#include <cerrno>
#include <optional>
#include <vector>

#include <sys/stat.h>

#include "engine/formats/ChecksumFile.h"
#include "engine/hash/HashingPool.h"
#include "engine/Copy.h"
#include "engine/Descriptor.h"
#include "engine/FileSize.h"
#include "engine/InputChecks.h"
#include "engine/Main.h"
#include "engine/PieceSet.h"
#include "engine/RunFolder.h"
#include "engine/SplitMergeFile.h"
#include "engine/TemporaryFile.h"
#include "engine/runs/SplitParts.h"
#include "engine/runs/Steps.h"

// The splitter: a file or a stream cut into pieces, one file each, the list written
// beside them as they come, and named last.
namespace SplitMergeFile {

namespace {

using namespace Steps;

class Splitter {
public:
    Splitter(const InputChecks::SplitSource& source, std::int32_t chunkSize, const std::string& outputFolder,
             bool checksums, EngineHost& host)
        : m_source(&source), m_sourcePath(source.path()), m_sourceStat(source.status()), m_chunkSize(chunkSize),
          m_outputFolder(outputFolder), m_checksums(checksums), m_host(host) {}

    // A split of the stream at `streamFd`, named `sourcePath` in descriptions, into
    // pieces named after `baseName`.
    Splitter(int streamFd, const std::string& sourcePath, const std::string& baseName, std::int32_t chunkSize,
             const std::string& outputFolder, bool checksums, EngineHost& host)
        : m_sourcePath(sourcePath), m_sourceStat(m_streamStat), m_chunkSize(chunkSize), m_outputFolder(outputFolder),
          m_checksums(checksums), m_host(host), m_streamFd(streamFd), m_baseName(baseName) {}

    Outcome guardedRun() {
        return Steps::guardedRun(
            m_host, splitLabel, m_sourcePath, [this] { return run(); }, [] {});
    }

private:
    // The names of one split's files.
    struct Names {
        std::string folder;
        std::string baseName;
        std::string manifestName;
        std::string manifestPath;
        std::string sidecarName;
        std::string sidecarPath;
        int last = 1; // the number of the last piece, whose name is the longest
    };

    Outcome run() {
        const bool fromStream = m_streamFd >= 0;
        Names names;
        names.baseName = fromStream ? m_baseName : Main::GetFileName(m_sourcePath);
        names.folder = m_outputFolder;

        // A stream redirected from a file is guarded against as a file is.
        if (fromStream && ::fstat(m_streamFd, &m_streamStat) != 0) {
            fail(104, m_sourcePath, Fault::ofErrno());
        }
        if (!fromStream && m_source->fd() < 0) {
            fail(104, m_sourcePath, m_source->openFault());
        }
        // A stream's pieces are made and counted by copyStream.
        const std::int64_t pieces =
            fromStream || m_chunkSize < 1 ? 0 : PieceSet::pieceCount(m_sourceStat.st_size, m_chunkSize);
        if (const auto refusal = checkLimits(pieces, names)) {
            return refuse(*refusal);
        }

        progressStep(m_host, splitLabel, 106, [&] { m_host.setProgressValue(0); });
        progressStep(m_host, splitLabel, 108, [&] { m_host.setProgressMaximum(static_cast<int>(pieces)); });

        // A stream that brings nothing would make a list of nothing: it is refused
        // before an earlier set is touched.
        std::optional<StreamSource> stream;
        if (fromStream) {
            stream.emplace(m_streamFd, m_sourcePath, m_host);
            if (!stream->next(m_chunkSize)) {
                return Outcome::Stopped;
            }
            if (stream->size() == 0) {
                return refuse(NoticeId::NotLargerThanChunk);
            }
        }

        // An older manifest would pass a half-written set as whole.
        removeOldManifest(names.manifestName, names.manifestPath);
        // Checksums of an earlier split would call every new piece damaged. A name
        // too long for the folder names nothing there.
        if (const Status removed = m_folder.removeEntry(names.sidecarName);
            !removed && removed.fault().error != ENAMETOOLONG) {
            fail(134, names.sidecarPath, removed.fault());
        }
        ManifestWriter manifest(m_folder, names.manifestPath);

        m_host.setProgressBytes(0);
        std::vector<Checksum::Digest> digests;
        Checksum::Digest sourceDigest{};
        const Outcome copied = stream ? copyStream(*stream, names, manifest, digests, sourceDigest)
                                      : copyFile(pieces, names, manifest, digests, sourceDigest);
        if (copied != Outcome::Succeeded) {
            return copied;
        }
        manifest.publish(names.manifestName);
        if (m_checksums) {
            writeChecksums(names.sidecarName, names.sidecarPath, names.baseName, digests, sourceDigest);
        }
        m_host.showNotice({NoticeId::SplitSucceeded});
        return Outcome::Succeeded;
    }

    // What the format or the folder cannot hold, and a folder another run is writing
    // to, refused before anything is written; fills `names` and opens and locks the
    // output folder on the way.
    std::optional<NoticeId> checkLimits(std::int64_t pieces, Names& names) {
        if (m_chunkSize < 1) {
            return NoticeId::ChunkTooSmall;
        }
        if (pieces > PieceSet::maxPieces) {
            return NoticeId::TooManyPieces;
        }
        if (PieceSet::hasLineBreak(names.baseName) || PieceSet::hasLineBreak(names.folder)) {
            return NoticeId::LineBreakInName;
        }
        names.manifestPath = PieceSet::manifestPath(names.folder, names.baseName);
        names.manifestName = PieceSet::manifestName(names.baseName);
        names.sidecarPath = Checksum::sidecarPath(names.manifestPath);
        names.sidecarName = Checksum::sidecarPath(names.manifestName);
        // The checksum file's name is the longest of the run when there is one.
        const std::string& longestListPath = m_checksums ? names.sidecarPath : names.manifestPath;
        const std::string& longestListName = m_checksums ? names.sidecarName : names.manifestName;
        // A stream's names must hold the most pieces there can be.
        names.last = m_streamFd >= 0 ? PieceSet::maxPieces : static_cast<int>(std::max<std::int64_t>(pieces, 1));
        if (std::max(PieceSet::piecePath(names.folder, names.baseName, names.last).size(), longestListPath.size()) >
            PieceSet::maxPathLength) {
            return NoticeId::NamesTooLong;
        }

        orFail(m_folder.open(names.folder), 118, names.folder);
        const auto longestName =
            std::max(PieceSet::pieceName(names.baseName, names.last).size(), longestListName.size());
        if (static_cast<long>(longestName) > m_folder.nameMax()) {
            return NoticeId::NamesTooLong;
        }
        if (!m_folder.lock()) {
            return NoticeId::AnotherRunWriting;
        }
        clearLeftovers(m_folder);
        return std::nullopt;
    }

    // Copies the source's `pieces` pieces, one file each; with checksums, hashes them
    // and the source beside the copy.
    Outcome copyFile(std::int64_t pieces, const Names& names, ManifestWriter& manifest,
                     std::vector<Checksum::Digest>& digests, Checksum::Digest& sourceDigest) {
        Copy::Buffer buffer;
        const int source = m_source->fd();
        const std::int64_t size = m_sourceStat.st_size;
        std::optional<SplitHashes> hashes;
        if (m_checksums) {
            hashes.emplace(source, size, static_cast<std::size_t>(pieces), m_sourcePath,
                           [this] { return m_host.keepGoing(); });
        }
        for (int number = 1; number <= pieces; ++number) {
            if (!m_host.keepGoing()) {
                return Outcome::Stopped;
            }
            const std::string piecePath = PieceSet::piecePath(names.folder, names.baseName, number);
            Descriptor piece = openPiece(PieceSet::pieceName(names.baseName, number), piecePath, manifest);
            const std::int64_t offset = std::int64_t{number - 1} * m_chunkSize;
            const std::int64_t length = std::min<std::int64_t>(m_chunkSize, size - offset);
            const Result<Copy::Copied> copied = atStep(120, m_sourcePath, [&]() -> Result<Copy::Copied> {
                if (hashes && !hashes->add(offset, length, static_cast<std::size_t>(number - 1))) {
                    return Copy::Copied{false, true};
                }
                return FileSize::ReadFileChunks(source, offset, piece.get(), 0, length, buffer, [&](std::int64_t done) {
                    m_host.setProgressBytes(offset + done);
                    return (!hashes || hashes->advance(offset + done)) && m_host.keepGoing();
                });
            });
            if (!copied) {
                failCopy(copied.fault(), 120, m_sourcePath, 122, piecePath);
            }
            if (copied->stopped) {
                return Outcome::Stopped;
            }
            orFail(piece.close(), 124, piecePath);
            if (hashes && !hashes->advance(offset + length)) {
                return Outcome::Stopped;
            }
            m_host.setProgressBytes(offset + length);
            progressStep(m_host, splitLabel, 128, [&] { m_host.setProgressValue(number); });
        }
        if (hashes) {
            hashes->finish();
            digests = hashes->pieces();
            sourceDigest = hashes->source();
        }
        return Outcome::Succeeded;
    }

    Outcome refuse(NoticeId refusal) {
        m_host.showNotice({refusal});
        return Outcome::Refused;
    }

    // Cuts the stream, whose first bytes `stream` holds, into pieces as the loop of a
    // file's split does, a piece made only for bytes that came.
    // Its bytes pass through memory and are hashed there: the piece's in line, the
    // source's on a thread of its own.
    Outcome copyStream(StreamSource& stream, const Names& names, ManifestWriter& manifest,
                       std::vector<Checksum::Digest>& digests, Checksum::Digest& sourceDigest) {
        std::optional<Checksum::Sha256> pieceHash;
        std::optional<Checksum::BackgroundSha256> sourceHash;
        if (m_checksums) {
            pieceHash.emplace();
            sourceHash.emplace();
        }
        std::int64_t total = 0;
        for (int number = 1; stream.size() > 0; ++number) {
            if (number > PieceSet::maxPieces) {
                m_host.showNotice({NoticeId::TooManyPieces});
                return Outcome::Failed;
            }
            const std::string piecePath = PieceSet::piecePath(names.folder, names.baseName, number);
            Descriptor piece = openPiece(PieceSet::pieceName(names.baseName, number), piecePath, manifest);
            for (std::int64_t length = 0;;) {
                if (pieceHash) {
                    checksummed(pieceHash->update(stream.data(), stream.size()));
                    checksummed(sourceHash->update(stream.data(), stream.size()));
                }
                orFail(Copy::writeAll(piece.get(), stream.data(), stream.size()), 122, piecePath);
                length += static_cast<std::int64_t>(stream.size());
                total += static_cast<std::int64_t>(stream.size());
                m_host.setProgressBytes(total);
                if (length == m_chunkSize || stream.ended()) {
                    break;
                }
                if (!stream.next(m_chunkSize - length)) {
                    return Outcome::Stopped;
                }
            }
            orFail(piece.close(), 124, piecePath);
            if (pieceHash) {
                digests.push_back(checksummed(pieceHash->finish()));
            }
            progressStep(m_host, splitLabel, 128, [&] { m_host.setProgressValue(number); });
            if (stream.ended()) {
                break;
            }
            // At the stream's end, this brings nothing, and no piece is made.
            if (!stream.next(m_chunkSize)) {
                return Outcome::Stopped;
            }
        }
        if (sourceHash) {
            sourceDigest = checksummed(sourceHash->finish());
        }
        return Outcome::Succeeded;
    }

    // A checksum that cannot be computed fails the source's copy step.
    void checksummed(const Status& status) const { orFail(status, 120, m_sourcePath); }
    Checksum::Digest checksummed(Result<Checksum::Digest>&& digest) const {
        return orFail(std::move(digest), 120, m_sourcePath);
    }

    // Written after the manifest, in the steps of the manifest.
    void writeChecksums(const std::string& name, const std::string& path, const std::string& baseName,
                        const std::vector<Checksum::Digest>& digests, const Checksum::Digest& sourceDigest) const {
        TemporaryFile file;
        orFail(file.create(m_folder.fd()), 134, path);
        std::string text;
        for (std::size_t i = 0; i < digests.size(); ++i) {
            text += Checksum::sidecarLine(digests[i], PieceSet::pieceName(baseName, static_cast<int>(i + 1)));
        }
        text += Checksum::sidecarLine(sourceDigest, baseName);
        orFail(Copy::writeAll(file.fd(), text.data(), text.size()), 136, path);
        orFail(file.publish(name, true), 138, path);
    }

    // A name that leads to the source (a symbolic or hard link) is never
    // replaced.
    void guardSource(int step, const std::string& name, const std::string& path) const {
        if (const Result<struct stat> st = m_folder.statEntry(name, true); st && sameFile(*st, m_sourceStat)) {
            fail(step, path, "would overwrite the file being split");
        }
    }

    void removeOldManifest(const std::string& name, const std::string& path) const {
        guardSource(134, name, path);
        orFail(m_folder.removeEntry(name), 134, path);
    }

    // Creates the piece file exclusively and lists it. Whatever stands at its name is
    // replaced as a directory entry, so a link, FIFO or device there is never opened.
    Descriptor openPiece(const std::string& name, const std::string& path, ManifestWriter& manifest) const {
        return atStep(114, m_sourcePath, [&] {
            Descriptor piece = createPiece(name, path);
            manifest.add(path);
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

    const InputChecks::SplitSource* m_source = nullptr; // none for a stream
    const std::string& m_sourcePath;
    struct stat m_streamStat {};
    const struct stat& m_sourceStat; // of the file, or of the stream
    const std::int32_t m_chunkSize;
    const std::string& m_outputFolder;
    const bool m_checksums;
    EngineHost& m_host;
    RunFolder m_folder;
    int m_streamFd = -1;
    std::string m_baseName; // of a stream's pieces
};

} // namespace

Outcome SplitFile(const std::string& sourcePath, std::int32_t chunkSize, const std::string& outputFolder,
                  EngineHost& host, bool checksums) {
    return SplitFile(InputChecks::SplitSource(sourcePath), chunkSize, outputFolder, host, checksums);
}

Outcome SplitFile(const InputChecks::SplitSource& source, std::int32_t chunkSize, const std::string& outputFolder,
                  EngineHost& host, bool checksums) {
    return Splitter(source, chunkSize, outputFolder, checksums, host).guardedRun();
}

Outcome SplitStream(int sourceFd, const std::string& sourceName, const std::string& baseName, std::int32_t chunkSize,
                    const std::string& outputFolder, EngineHost& host, bool checksums) {
    return Splitter(sourceFd, sourceName, baseName, chunkSize, outputFolder, checksums, host).guardedRun();
}

} // namespace SplitMergeFile
