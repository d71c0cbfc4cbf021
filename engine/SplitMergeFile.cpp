#include "engine/SplitMergeFile.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <exception>
#include <limits>
#include <optional>
#include <string_view>
#include <type_traits>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/Checksum.h"
#include "engine/Copy.h"
#include "engine/Descriptor.h"
#include "engine/EngineHost.h"
#include "engine/FileSize.h"
#include "engine/InputChecks.h"
#include "engine/Main.h"
#include "engine/Messages.h"
#include "engine/PieceSet.h"
#include "engine/PieceSetReader.h"
#include "engine/RunFolder.h"
#include "engine/TemporaryFile.h"

// A failure is reported with the number of the step that failed. The numbers
// stay fixed where the code runs steps in another order: the manifest's
// temporary file is created with the first piece, and the output folder is
// opened at the first piece's step.
namespace SplitMergeFile {

namespace {

// A failing step: reported with its number, then the operation ends.
struct StepFailure {
    int step;
    Fault fault;
};

// Descriptions name the file the failing call concerned: "PATH: reason".
[[noreturn]] void fail(int step, const std::string& path, const Fault& fault) {
    throw StepFailure{step, fault.named(path)};
}

[[noreturn]] void fail(int step, const std::string& path, const std::string& reason) {
    fail(step, path, Fault::because(reason));
}

// The value of a call of step `step` about `path`; its failure fails the step.
template <typename T>
requires(!std::is_void_v<T>) T orFail(Result<T>&& result, int step, const std::string& path) {
    if (!result) {
        fail(step, path, result.fault());
    }
    return std::move(*result);
}

void orFail(const Status& status, int step, const std::string& path) {
    if (!status) {
        fail(step, path, status.fault());
    }
}

// A copy's failure is one of the step that reads or of the step that writes.
[[noreturn]] void failCopy(const Fault& fault, int readStep, const std::string& readPath, int writeStep,
                           const std::string& writePath) {
    if (fault.atDestination) {
        fail(writeStep, writePath, fault);
    }
    fail(readStep, readPath, fault);
}

// Runs `action` as step `step`: an allocation failure in it fails that step, naming
// `path`. Outside such steps it fails the run's first step.
template <typename Action> decltype(auto) atStep(int step, const std::string& path, Action&& action) {
    try {
        return action();
    } catch (const std::bad_alloc&) {
        fail(step, path, Fault{ENOMEM});
    }
}

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The folder's lock says no other run is writing there: a hidden temporary file
// there was left by a run that was killed.
void clearLeftovers(const RunFolder& folder) {
    if (folder.lockedExclusively()) {
        TemporaryFile::removeLeftovers(folder.fd());
    }
}

// Runs a split or a join: a failing step is reported with its own number, an
// allocation failure outside the steps that name their own at 104, naming `path`;
// either way `onFailure` cleans up and the run has failed.
template <typename Run, typename OnFailure>
Outcome guardedRun(EngineHost& host, const char* label, const std::string& path, Run&& run, OnFailure&& onFailure) {
    try {
        return atStep(104, path, run);
    } catch (const StepFailure& failure) {
        host.reportError(label, failure.step, failure.fault);
    }
    onFailure();
    return Outcome::Failed;
}

// Progress is only for show: a failing progress step is reported and the run
// carries on.
template <typename Action> void progressStep(EngineHost& host, const char* label, int step, Action&& action) {
    try {
        action();
    } catch (const std::exception& e) {
        host.reportError(label, step, Fault::because(e.what()));
    }
}

// The manifest, written line by line to a temporary file while the pieces are
// written, so that a long list is never held in memory, and given its name
// after the last piece. The file is created with the first line, so that a
// folder that takes no new file fails at the first piece, as it always did.
class ManifestWriter {
public:
    ManifestWriter(const RunFolder& folder, const std::string& path) : m_folder(folder), m_path(path) {}

    void add(const std::string& piecePath) {
        create();
        m_buffer += piecePath;
        m_buffer += PieceSet::lineEnd;
        if (m_buffer.size() >= bufferSize) {
            write();
        }
    }

    void publish(const std::string& name) {
        create();
        write();
        orFail(m_file.publish(name, true), 138, m_path);
    }

private:
    void create() {
        if (!m_file.isOpen()) {
            orFail(m_file.create(m_folder.fd()), 134, m_path);
        }
    }

    void write() {
        orFail(Copy::writeAll(m_file.fd(), m_buffer.data(), m_buffer.size()), 136, m_path);
        m_buffer.clear();
    }

    static constexpr std::size_t bufferSize = 64 * 1024;
    const RunFolder& m_folder;
    const std::string& m_path;
    TemporaryFile m_file;
    std::string m_buffer;
};

// The source of a split read as a stream (a pipe): in order and to its end, never
// sought; its size is known only there. It waits for bytes a tenth of a second at a
// time, so that a stop request is seen while the writer is quiet.
class StreamSource {
public:
    StreamSource(int fd, const std::string& name, EngineHost& host) : m_fd(fd), m_name(name), m_host(host) {}

    // Reads the next bytes, at most `most` and at most a buffer: fewer only at the
    // stream's end. False when the host asked to stop; a read error fails step 120.
    bool next(std::int64_t most) {
        const auto wanted = static_cast<std::size_t>(std::min<std::int64_t>(most, Copy::Buffer::size));
        m_filled = 0;
        while (m_filled < wanted && !m_ended) {
            if (!m_host.keepGoing()) {
                return false;
            }
            pollfd ready = {m_fd, POLLIN, 0};
            const int polled = ::poll(&ready, 1, 100);
            if (polled < 0 && errno != EINTR) {
                fail(120, m_name, Fault::ofErrno());
            }
            if (polled <= 0) {
                continue;
            }
            const ssize_t n = ::read(m_fd, m_buffer.data() + m_filled, wanted - m_filled);
            if (n > 0) {
                m_filled += static_cast<std::size_t>(n);
            } else if (n == 0) {
                m_ended = true;
            } else if (errno != EINTR && errno != EAGAIN) {
                fail(120, m_name, Fault::ofErrno());
            }
        }
        return true;
    }

    const char* data() { return m_buffer.data(); }
    // What the last next() brought.
    std::size_t size() const { return m_filled; }
    bool ended() const { return m_ended; }

private:
    int m_fd;
    const std::string& m_name;
    EngineHost& m_host;
    Copy::Buffer m_buffer;
    std::size_t m_filled = 0;
    bool m_ended = false;
};

// The hashes of a split: the whole source in one sequential pass on a thread of its
// own, the pieces on the other cores, each reading the range the copy has just put in
// the page cache, so that the copy itself can clone or stay in the kernel. A failure
// of either is one of the source's copy step.
class SplitHashes {
public:
    using Job = Checksum::Hashers::Job;

    SplitHashes(int source, std::int64_t size, std::size_t pieces, const std::string& sourcePath,
                const Checksum::Hashers::Turn& turn)
        : m_sourceFd(source), m_sourcePath(sourcePath), m_pieces(pieces) {
        m_sourceHash.emplace(
            1, [this](const Job&, const Result<Checksum::Digest>& digest) { return keep(digest, m_source); }, turn, 0);
        m_pieceHashes.emplace(
            std::max(Checksum::Hashers::cores(), 2U) - 1,
            [this](const Job& job, const Result<Checksum::Digest>& digest) {
                return keep(digest, m_pieces[job.index]);
            },
            turn, 0);
        // An empty queue takes a job at once.
        checked(m_sourceHash->add({m_sourceFd, 0, size, 0}));
    }

    // Before the piece of `length` bytes at `offset` is copied. False when the host
    // asked to stop.
    bool add(std::int64_t offset, std::int64_t length, std::size_t index) {
        return checked(m_pieceHashes->add({m_sourceFd, offset, length, index}));
    }

    // The copy has come to `offset`; false when the host asked to stop.
    bool advance(std::int64_t offset) {
        return checked(m_sourceHash->advance(offset)) && checked(m_pieceHashes->advance(offset));
    }

    // Waits for the last hashes.
    void finish() {
        orFail(m_sourceHash->drain(), 120, m_sourcePath);
        orFail(m_pieceHashes->drain(), 120, m_sourcePath);
    }

    const std::vector<Checksum::Digest>& pieces() const { return m_pieces; }
    const Checksum::Digest& source() const { return m_source; }

private:
    // A range that cannot be read cannot be hashed.
    static Status keep(const Result<Checksum::Digest>& digest, Checksum::Digest& into) {
        if (!digest) {
            return Checksum::failure(digest.fault().why());
        }
        into = *digest;
        return {};
    }

    bool checked(Result<bool>&& result) const { return orFail(std::move(result), 120, m_sourcePath); }

    const int m_sourceFd;
    const std::string& m_sourcePath;
    std::vector<Checksum::Digest> m_pieces;
    Checksum::Digest m_source{};
    // Declared last, so that their threads end before what they write to goes.
    std::optional<Checksum::Hashers> m_sourceHash;
    std::optional<Checksum::Hashers> m_pieceHashes;
};

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
        return SplitMergeFile::guardedRun(
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

class Joiner {
public:
    Joiner(const std::string& manifestPath, const std::string& outputFolder, EngineHost& host)
        : m_manifestPath(manifestPath), m_outputFolder(outputFolder), m_host(host) {}

    // A join into the stream at `outputFd`, named `outputName` in descriptions.
    Joiner(const std::string& manifestPath, int outputFd, const std::string& outputName, EngineHost& host)
        : m_manifestPath(manifestPath), m_outputFolder(outputName), m_host(host), m_outputPath(outputName),
          m_outputFd(outputFd) {}

    Outcome guardedRun() {
        return SplitMergeFile::guardedRun(
            m_host, joinLabel, m_manifestPath, [this] { return run(); }, [this] { endEarly(); });
    }

private:
    using Scan = PieceSet::Scan;

    Outcome run() {
        // Pieces are looked for beside the manifest, whatever folder the lines name.
        // Its lock is taken before the manifest is read, so that no split rewrites the
        // set until the join ends. A folder that cannot be opened has no pieces to find.
        m_pieceFolderText = PieceSet::pieceFolder(m_manifestPath);
        if (m_pieces.open(m_pieceFolderText) && !m_pieces.lock(RunFolder::Lock::Shared)) {
            return refuse({NoticeId::AnotherRunWriting});
        }
        m_manifest = orFail(openRegular(AT_FDCWD, m_manifestPath.c_str(), m_manifestStat), 102, m_manifestPath);
        if (m_manifestStat.st_size > PieceSet::maxManifestBytes) {
            return refuseManifest();
        }
        return atStep(110, m_manifestPath, [this] { return joinScanned(); });
    }

    Outcome joinScanned() {
        const Scan scan = orFail(PieceSet::scanList(m_manifest.get(), m_buffer.data(), Copy::Buffer::size, m_entries,
                                                    [this] { return m_host.keepGoing(); }),
                                 106, m_manifestPath);
        if (scan == Scan::Stopped) {
            return Outcome::Stopped;
        }
        if (scan == Scan::Invalid) {
            return refuseManifest();
        }

        // Checksums beside the manifest are checked piece by piece as the pieces
        // are joined.
        if (m_pieces.isOpen()) {
            const std::string sidecarName = Checksum::sidecarPath(Main::GetFileName(m_manifestPath));
            m_sidecar =
                orFail(Checksum::Sidecar::load(sidecarName, m_pieces.fd()), 102, m_pieceFolderText + sidecarName);
            if (m_sidecar.conflicting()) {
                m_host.showNotice({NoticeId::ChecksumsConflict, {m_pieceFolderText + sidecarName}});
                return Outcome::Refused;
            }
        }
        const bool checksummed = m_sidecar.present();
        if (checksummed && m_outputFd >= 0) {
            m_pieceHash.emplace();
        }

        if (const auto refusal = m_outputFd >= 0 ? checkOutputStream() : openOutput()) {
            return refuse({*refusal});
        }
        if (checksummed && m_outputFd < 0) {
            startChecks();
        }

        const int count = static_cast<int>(m_entries.size());
        progressStep(m_host, joinLabel, 120, [&] { m_host.setProgressValue(0); });
        m_maximum = count;
        progressStep(m_host, joinLabel, 122, [&] { m_host.setProgressMaximum(count); });

        m_host.setProgressBytes(0);
        Copy::ReadAhead readAhead(m_entries.size(),
                                  [this](std::size_t index, struct stat& st) { return openAhead(index, st); });
        for (int index = 0; index < count; ++index) {
            if (!m_host.keepGoing()) {
                endEarly();
                return Outcome::Stopped;
            }
            if (m_checks && m_damaged.load() != noPiece) {
                return stopBefore(index, {NoticeId::PieceDamaged}, Outcome::Damaged);
            }
            // Pieces that clone are never read: reading them ahead would cost time for
            // nothing. Whether they do, the first one tells.
            if (index > 0 && !m_lastCloned) {
                readAhead.before(static_cast<std::size_t>(index));
            }
            const PieceSet::Entry& entry = m_entries[static_cast<std::size_t>(index)];
            bool whole = false;
            const std::string name = atStep(128, m_manifestPath, [&] { return readName(entry, whole); });
            const std::string piecePath = m_pieceFolderText + name;
            struct stat pieceStat {};
            // A piece the read-ahead opened was looked at as the join looks at it.
            Descriptor piece = readAhead.take(static_cast<std::size_t>(index), pieceStat);
            if (piece.get() < 0) {
                if (PieceSet::namedLength(m_pieces, entry, name, whole) < 0) {
                    // A NUL ends the text where any C string would end it.
                    return stopBefore(index, {NoticeId::PieceMissing, {piecePath.substr(0, piecePath.find('\0'))}},
                                      Outcome::Missing);
                }
                piece = orFail(openRegular(m_pieces.fd(), name.c_str(), pieceStat), 136, piecePath);
            }
            if (index == 0) {
                m_firstLength = pieceStat.st_size;
            }
            if (PieceSet::compareLength(pieceStat.st_size, m_firstLength, index + 1 == count) != 0) {
                return stopBefore(index, {NoticeId::PieceLengthWrong, {piecePath}}, Outcome::Damaged);
            }
            std::optional<Checksum::Digest> expected;
            if (m_pieceHash || m_checks) {
                // A piece the checksum file does not list cannot be trusted either.
                expected = m_sidecar.find(name);
                if (!expected) {
                    return stopBefore(index, {NoticeId::PieceDamaged, {piecePath}}, Outcome::Damaged);
                }
            }
            if (m_pieceHash) {
                const std::optional<bool> matches =
                    atStep(140, m_manifestPath, [&] { return hashMatches(piece, piecePath, *expected); });
                if (!matches) {
                    return Outcome::Stopped;
                }
                if (!*matches) {
                    return stopBefore(index, {NoticeId::PieceDamaged, {piecePath}}, Outcome::Damaged);
                }
            }
            if (m_checks) {
                m_expected[static_cast<std::size_t>(index)] = *expected;
                if (!checked(m_checks->add(
                        {m_temporary.fd(), m_joined, pieceStat.st_size, static_cast<std::size_t>(index)}))) {
                    endEarly();
                    return Outcome::Stopped;
                }
            }
            if (!atStep(140, m_manifestPath, [&] { return appendPiece(piece, pieceStat.st_size, piecePath); })) {
                endEarly();
                return Outcome::Stopped;
            }
            progressStep(m_host, joinLabel, 150, [&] { m_host.setProgressValue(index + 1); });
        }
        if (firstDamaged()) {
            return stopBefore(count, {NoticeId::PieceDamaged}, Outcome::Damaged);
        }

        if (m_outputFd < 0) {
            publishOutput();
        }
        m_host.showNotice({NoticeId::JoinSucceeded});
        return Outcome::Succeeded;
    }

    Outcome refuse(const Notice& notice) {
        m_host.showNotice(notice);
        return Outcome::Refused;
    }

    Outcome refuseManifest() { return refuse({NoticeId::InvalidManifest, {m_manifestPath}}); }

    // Ends the join before piece `index` with `notice`, as at a missing piece: the
    // pieces before it stay, joined. Those are all as long as the first; when most
    // pieces before the last are of another length, the first is the damaged one, and
    // nothing stays.
    // A piece found damaged by the checks that run beside the join is where it stops,
    // when it comes before `index`; the output is cut back to before it, so that only
    // checked bytes stay.
    Outcome stopBefore(int index, Notice notice, Outcome outcome) {
        if (const std::optional<std::size_t> damaged = firstDamaged(); damaged && *damaged < std::size_t(index)) {
            index = static_cast<int>(*damaged);
            cutTo(index * m_firstLength);
            bool whole = false;
            notice = {NoticeId::PieceDamaged, {m_pieceFolderText + readName(m_entries[*damaged], whole)}};
            outcome = Outcome::Damaged;
        }
        if (index > 0 && firstPieceIsOdd()) {
            cutTo(0);
            bool whole = false;
            notice = {NoticeId::PieceLengthWrong, {m_pieceFolderText + readName(m_entries.front(), whole)}};
            outcome = Outcome::Damaged;
        }
        progressStep(m_host, joinLabel, 146, [&] { m_host.setProgressValue(m_maximum); });
        endEarly();
        m_host.showNotice(notice);
        return outcome;
    }

    bool firstPieceIsOdd() const {
        std::vector<std::int64_t> lengths;
        for (std::size_t i = 0; i + 1 < m_entries.size(); ++i) {
            bool whole = false;
            const std::string name = readName(m_entries[i], whole);
            const std::int64_t length = PieceSet::namedLength(m_pieces, m_entries[i], name, whole);
            if (length >= 0) {
                lengths.push_back(length);
            }
        }
        const std::int64_t expected = PieceSet::pieceLength(std::move(lengths));
        return expected >= 0 && expected != m_firstLength;
    }

    // Cuts the output back to its first `bytes`. What a stream's reader has seen
    // cannot be taken back.
    void cutTo(std::int64_t bytes) {
        if (m_outputFd >= 0) {
            return;
        }
        if (::ftruncate(m_temporary.fd(), bytes) != 0) {
            const Fault fault = Fault::ofErrno();
            // The damaged bytes would stand under the output name.
            m_temporary.discard();
            fail(144, m_outputPath, fault);
        }
        m_joined = bytes;
    }

    // The piece name of an entry; see NameReader.
    std::string readName(const PieceSet::Entry& entry, bool& whole) const {
        std::string name;
        orFail(m_names.read(entry, name, whole), 128, m_manifestPath);
        return name;
    }

    // For the read-ahead: piece `index` opened for reading when it is a regular file,
    // else none; looked at first, so that a FIFO or a device is never opened. A hint
    // only, so its failures are nobody's concern.
    Descriptor openAhead(std::size_t index, struct stat& st) const {
        const PieceSet::Entry& entry = m_entries[index];
        std::string name;
        bool whole = false;
        if (entry.hasNul || !m_namesAhead.read(entry, name, whole) ||
            PieceSet::namedLength(m_pieces, entry, name, whole) < 0) {
            return Descriptor();
        }
        Result<Descriptor> opened = openRegular(m_pieces.fd(), name.c_str(), st);
        return opened ? std::move(*opened) : Descriptor();
    }

    // Opens the output folder and the temporary output file in it; returns a
    // refusal, if any.
    std::optional<NoticeId> openOutput() {
        const std::string& folder = m_outputFolder;
        m_outputName = PieceSet::joinedName(m_manifestPath);
        m_outputPath = folder + Main::nativeSeparator + m_outputName;
        orFail(m_output.open(folder), 118, folder);
        if (m_outputName.empty() || m_outputName == "." || m_outputName == "..") {
            fail(118, m_outputPath, Fault{EISDIR});
        }
        // One folder holds one lock: a join into the pieces' folder turns its shared
        // lock into the exclusive one, as a second lock would exclude the first.
        const bool intoPieceFolder = m_pieces.isOpen() && m_output.sameFolder(m_pieces);
        RunFolder& written = intoPieceFolder ? m_pieces : m_output;
        if (!written.lock(RunFolder::Lock::Exclusive)) {
            return NoticeId::AnotherRunWriting;
        }
        clearLeftovers(written);
        if (const Result<struct stat> st = m_output.statEntry(m_outputName, false); !st && st.fault().error != ENOENT) {
            fail(118, m_outputPath, st.fault());
        }
        if (wouldOverwritePieceSet()) {
            return NoticeId::JoinOverwritesPieceSet;
        }
        orFail(m_temporary.create(m_output.fd()), 118, m_outputPath);
        return std::nullopt;
    }

    // The stream a join writes to: refused when it is the list or one of its pieces
    // (a shell's "> piece" would already have emptied it).
    std::optional<NoticeId> checkOutputStream() const {
        struct stat outputStat {};
        if (::fstat(m_outputFd, &outputStat) != 0) {
            fail(118, m_outputPath, Fault::ofErrno());
        }
        if (S_ISREG(outputStat.st_mode) && isPartOfPieceSet(outputStat)) {
            return NoticeId::JoinOverwritesPieceSet;
        }
        return std::nullopt;
    }

    // Hashes a piece bound for a stream before any of it goes out, as no reader can
    // be made to forget bytes; nothing when the host asked to stop meanwhile.
    std::optional<bool> hashMatches(const Descriptor& piece, const std::string& piecePath,
                                    const Checksum::Digest& expected) {
        bool stopped = false;
        Status hashed;
        std::int64_t sinceTurn = 0;
        const Status read =
            Copy::readBlocks(piece.get(), m_buffer.data(), Copy::Buffer::size, [&](std::string_view block) {
                hashed = m_pieceHash->update(block.data(), block.size());
                sinceTurn += static_cast<std::int64_t>(block.size());
                if (sinceTurn >= Copy::Buffer::maxBlockBytes) {
                    sinceTurn = 0;
                    stopped = !m_host.keepGoing();
                }
                return hashed && !stopped;
            });
        orFail(read, 140, piecePath);
        checked(hashed);
        const bool matches = checked(m_pieceHash->finish()) == expected;
        if (stopped) {
            return std::nullopt;
        }
        return matches;
    }

    bool wouldOverwritePieceSet() const {
        const Result<struct stat> outputStat = m_output.statEntry(m_outputName, true);
        return outputStat && isPartOfPieceSet(*outputStat);
    }

    bool isPartOfPieceSet(const struct stat& outputStat) const {
        if (sameFile(outputStat, m_manifestStat)) {
            return true;
        }
        for (const PieceSet::Entry& entry : m_entries) {
            bool whole = false;
            const std::string name = readName(entry, whole);
            if (entry.hasNul || !whole || !m_pieces.isOpen()) {
                continue;
            }
            if (const Result<struct stat> st = m_pieces.statEntry(name, true); st && sameFile(*st, outputStat)) {
                return true;
            }
        }
        return false;
    }

    // Appends one piece to the output; false when the host asked to stop
    // meanwhile.
    bool appendPiece(const Descriptor& piece, std::int64_t length, const std::string& piecePath) {
        // A stream is written at its position; its pieces were checked before.
        const bool toStream = m_outputFd >= 0;
        const Result<Copy::Copied> copied =
            FileSize::ReadFileChunks(piece.get(), 0, toStream ? m_outputFd : m_temporary.fd(), toStream ? -1 : m_joined,
                                     length, m_buffer, [this](std::int64_t done) {
                                         m_host.setProgressBytes(m_joined + done);
                                         return advanceChecks(m_joined + done) && m_host.keepGoing();
                                     });
        if (!copied) {
            failCopy(copied.fault(), 140, piecePath, 144, m_outputPath);
        }
        if (copied->stopped) {
            return false;
        }
        m_lastCloned = copied->cloned;
        m_joined += length;
        m_host.setProgressBytes(m_joined);
        return advanceChecks(m_joined);
    }

    // The checks against the checksum file: each piece's range of the output, read
    // back from the page cache once it was written, so that what is checked is what
    // the output holds, hashed on every core while the next pieces are appended.
    void startChecks() {
        m_expected.resize(m_entries.size());
        // The copy is the work of one core; this thread hashes too whenever the
        // hashing threads fall behind.
        m_checks.emplace(
            std::max(Checksum::Hashers::cores(), 2U) - 1,
            [this](const Checksum::Hashers::Job& job, const Result<Checksum::Digest>& digest) -> Status {
                if (!digest) {
                    return Checksum::failure(digest.fault().why());
                }
                if (*digest != m_expected[job.index]) {
                    std::size_t first = m_damaged.load();
                    while (job.index < first && !m_damaged.compare_exchange_weak(first, job.index)) {
                    }
                }
                return {};
            },
            [this] { return m_host.keepGoing(); }, 0);
    }

    bool advanceChecks(std::int64_t offset) { return !m_checks || checked(m_checks->advance(offset)); }

    // The first damaged piece once the checks of every piece appended are done.
    std::optional<std::size_t> firstDamaged() {
        if (!m_checks) {
            return std::nullopt;
        }
        checked(m_checks->drain());
        const std::size_t damaged = m_damaged.load();
        return damaged == noPiece ? std::nullopt : std::optional<std::size_t>(damaged);
    }

    // A check that cannot be made fails the join at the copy's step: the output's
    // bytes can no longer be vouched for.
    template <typename T>
    requires(!std::is_void_v<T>) T checked(Result<T>&& result) {
        if (!result) {
            m_checksFailed = true;
        }
        return orFail(std::move(result), 140, m_outputPath);
    }
    void checked(const Status& status) {
        if (!status) {
            m_checksFailed = true;
        }
        orFail(status, 140, m_outputPath);
    }

    // Gives the joined file its name. An earlier file of that name is replaced
    // only after the new one reached the disk, so that a crash never loses both.
    void publishOutput() {
        if (m_output.statEntry(m_outputName, false)) {
            orFail(m_temporary.flush(), 154, m_outputPath);
        }
        orFail(m_temporary.publish(m_outputName, true), 154, m_outputPath);
    }

    // A join that ends before its last piece keeps an earlier file of the output
    // name untouched; with none, the pieces joined so far stand under that name.
    void endEarly() {
        if (!m_temporary.isOpen()) {
            return;
        }
        // No hashing thread may read the file once it is closed, and no damaged or
        // unchecked bytes may stand under the output name.
        try {
            const std::optional<std::size_t> damaged = firstDamaged();
            if (damaged && static_cast<std::int64_t>(*damaged) * m_firstLength < m_joined) {
                cutTo(static_cast<std::int64_t>(*damaged) * m_firstLength);
            }
        } catch (const StepFailure&) {
            m_checksFailed = true;
        }
        if (m_checksFailed) {
            m_temporary.discard();
            return;
        }
        if (const Result<struct stat> st = m_output.statEntry(m_outputName, false); st || st.fault().error != ENOENT) {
            m_temporary.discard();
        } else {
            // Nothing can be done about a failure here: the join has already ended.
            (void)m_temporary.publish(m_outputName, false);
        }
    }

    const std::string& m_manifestPath;
    const std::string m_outputFolder; // none for a stream; read once, as the run starts
    EngineHost& m_host;
    int m_maximum = 0; // what the bar counts to
    Descriptor m_manifest;
    // Separate windows: the read-ahead reads names far ahead of the join's own.
    mutable PieceSet::NameReader m_names{m_manifest};
    mutable PieceSet::NameReader m_namesAhead{m_manifest};
    struct stat m_manifestStat {};
    std::vector<PieceSet::Entry> m_entries;
    std::string m_pieceFolderText;
    RunFolder m_pieces;
    RunFolder m_output;
    std::string m_outputName;
    std::string m_outputPath;
    TemporaryFile m_temporary;
    Copy::Buffer m_buffer;
    Checksum::Sidecar m_sidecar;
    std::optional<Checksum::Sha256> m_pieceHash; // for a stream, when the checksum file is there
    std::int64_t m_joined = 0;                   // bytes of the pieces appended so far
    std::int64_t m_firstLength = 0;              // of the first piece: that of every piece but the last
    bool m_lastCloned = false;                   // the piece appended last was cloned
    int m_outputFd = -1;                         // a stream the join writes to instead of a file
    // The checks of a file, when the checksum file is there: the digests it lists, by
    // entry, and the first piece found damaged. Its threads end before the output is
    // closed.
    static constexpr std::size_t noPiece = std::numeric_limits<std::size_t>::max();
    std::vector<Checksum::Digest> m_expected;
    std::atomic<std::size_t> m_damaged{noPiece};
    bool m_checksFailed = false;
    std::optional<Checksum::Hashers> m_checks;
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

Outcome JoinFiles(const std::string& manifestPath, const std::string& outputFolder, EngineHost& host) {
    return Joiner(manifestPath, outputFolder, host).guardedRun();
}

Outcome JoinToStream(const std::string& manifestPath, int outputFd, const std::string& outputName, EngineHost& host) {
    return Joiner(manifestPath, outputFd, outputName, host).guardedRun();
}

} // namespace SplitMergeFile
