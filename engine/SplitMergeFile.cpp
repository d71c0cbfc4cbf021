#include "SplitMergeFile.h"

#include "EngineHost.h"
#include "FileSize.h"
#include "Main.h"
#include "Messages.h"
#include "PieceSet.h"

#include <cerrno>
#include <cstring>
#include <exception>
#include <memory>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace SplitMergeFile {

namespace {

using FileSize::CopyResult;

// A failing step: reported with its number, then the operation ends.
struct StepFailure {
    int step;
    std::string description;
};

std::string describe(int error) {
    return error == 0 ? std::string("The file ended before all of its bytes were read.") : std::strerror(error);
}

[[noreturn]] void fail(int step, int error) {
    throw StepFailure{step, describe(error)};
}

// Owns a descriptor; close() reports the close's own error, the destructor ignores it.
class Descriptor {
public:
    explicit Descriptor(int fd = -1) : m_fd(fd) {}
    ~Descriptor() {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return m_fd; }
    int release() {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    bool close() {
        const int fd = m_fd;
        m_fd = -1;
        return ::close(fd) == 0;
    }

private:
    int m_fd;
};

// A file written under a temporary name in its target folder, removed unless kept.
class TemporaryFile {
public:
    // Creates "<dir>/.<name>.quarnel-<pid>-<n>"; returns -1 with errno set on failure.
    int create(const std::string& targetPath) {
        const std::string folder = Main::GetFolderPart(targetPath);
        const std::string name = Main::GetFileName(targetPath);
        for (int attempt = 0; attempt < 100; ++attempt) {
            std::string candidate =
                folder + "." + name + ".quarnel-" + std::to_string(::getpid()) + "-" + std::to_string(attempt);
            const int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd >= 0) {
                m_path = std::move(candidate);
                return fd;
            }
            if (errno != EEXIST) {
                return -1;
            }
        }
        errno = EEXIST;
        return -1;
    }
    ~TemporaryFile() {
        if (!m_path.empty()) {
            ::unlink(m_path.c_str());
        }
    }
    TemporaryFile() = default;
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    // Gives the file its final name; false with errno set when the rename fails.
    bool renameTo(const std::string& targetPath) {
        if (::rename(m_path.c_str(), targetPath.c_str()) != 0) {
            return false;
        }
        m_path.clear();
        return true;
    }

private:
    std::string m_path;
};

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Progress is only for show: a failing progress step is reported and the run carries on.
template <typename Action> void progressStep(EngineHost& host, const char* label, int step, Action&& action) {
    try {
        action();
    } catch (const std::exception& e) {
        host.reportError(label, step, e.what());
    }
}

// Opens a regular file for reading; the step number is that of the open.
int openForReading(const std::string& path, int step, struct stat& st) {
    // O_NONBLOCK: a FIFO put where a file was expected must not hang the window.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        fail(step, errno);
    }
    Descriptor file(fd);
    if (::fstat(fd, &st) != 0) {
        fail(step, errno);
    }
    if (!S_ISREG(st.st_mode)) {
        fail(step, S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
    }
    return file.release();
}

void throwCopyFailure(const CopyResult& result, int readStep, int writeStep) {
    fail(result.status == CopyResult::Status::ReadFailed ? readStep : writeStep, result.error);
}

class Splitter {
public:
    Splitter(const std::string& sourcePath, std::int32_t chunkSize, EngineHost& host)
        : m_sourcePath(sourcePath), m_chunkSize(chunkSize), m_host(host) {}

    Outcome guardedRun() {
        try {
            return run();
        } catch (const StepFailure& failure) {
            m_host.reportError(splitLabel, failure.step, failure.description);
        } catch (const std::bad_alloc&) {
            m_host.reportError(splitLabel, m_step, std::strerror(ENOMEM));
        }
        return Outcome::Failed;
    }

private:
    Outcome run() {
        const std::string baseName = Main::GetFileName(m_sourcePath);
        // Read once: the event loop runs during the split, and one split must not
        // spread its pieces over two folders.
        const std::string folder = m_host.outputFolder();

        struct stat sourceStat {};
        Descriptor source(openForReading(m_sourcePath, 104, sourceStat));
        const std::int64_t size = sourceStat.st_size;

        if (m_chunkSize < 1) {
            m_host.showMessage(Messages::chunkTooSmall);
            return Outcome::Refused;
        }
        const std::int64_t pieces = PieceSet::pieceCount(size, m_chunkSize);
        if (pieces > PieceSet::maxPieces) {
            m_host.showMessage(Messages::tooManyPieces);
            return Outcome::Refused;
        }

        progressStep(m_host, splitLabel, 106, [&] { m_host.setProgressValue(0); });
        progressStep(m_host, splitLabel, 108, [&] { m_host.setProgressMaximum(static_cast<int>(pieces)); });

        // An older manifest would pass a half-written set as whole.
        const std::string manifestPath = PieceSet::manifestPath(folder, baseName);
        removeOldManifest(manifestPath, sourceStat);

        std::string manifest;
        FileSize::CopyBuffer buffer;
        for (int number = 1; number <= pieces; ++number) {
            if (!m_host.processEvents()) {
                return Outcome::Stopped;
            }
            m_step = 114;
            const std::string piecePath = PieceSet::piecePath(folder, baseName, number);
            manifest += piecePath;
            manifest += PieceSet::lineEnd;

            Descriptor piece(openPiece(piecePath, sourceStat));
            m_step = 120;
            const std::int64_t offset = std::int64_t{number - 1} * m_chunkSize;
            const std::int64_t length = std::min<std::int64_t>(m_chunkSize, size - offset);
            const CopyResult copied = FileSize::ReadFileChunks(source.get(), offset, piece.get(), length, buffer,
                                                               [this] { return m_host.processEvents(); });
            if (copied.status == CopyResult::Status::Stopped) {
                return Outcome::Stopped;
            }
            if (copied.status != CopyResult::Status::Copied) {
                throwCopyFailure(copied, 120, 122);
            }
            if (!piece.close()) {
                fail(124, errno);
            }
            progressStep(m_host, splitLabel, 128, [&] { m_host.setProgressValue(number); });
        }
        source.close();

        writeManifest(manifestPath, manifest);
        m_host.showMessage(Messages::splitSucceeded);
        return Outcome::Succeeded;
    }

    static void refuseSource(int step, const std::string& path) {
        throw StepFailure{step, path + ": would overwrite the file being split"};
    }

    void removeOldManifest(const std::string& manifestPath, const struct stat& sourceStat) {
        struct stat st {};
        if (::stat(manifestPath.c_str(), &st) == 0 && sameFile(st, sourceStat)) {
            refuseSource(134, manifestPath);
        }
        if (::unlink(manifestPath.c_str()) != 0 && errno != ENOENT) {
            fail(134, errno);
        }
    }

    int openPiece(const std::string& piecePath, const struct stat& sourceStat) {
        // No O_TRUNC: a piece path that is the source itself must be caught before
        // anything of the source is lost. A new file needs no truncation, and skipping
        // it keeps the file system from starting write-back at every close.
        const int fd = ::open(piecePath.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
        if (fd < 0) {
            fail(118, errno);
        }
        Descriptor piece(fd);
        struct stat st {};
        if (::fstat(fd, &st) != 0) {
            fail(118, errno);
        }
        if (sameFile(st, sourceStat)) {
            refuseSource(118, piecePath);
        }
        if (st.st_size > 0 && ::ftruncate(fd, 0) != 0) {
            fail(118, errno);
        }
        return piece.release();
    }

    void writeManifest(const std::string& manifestPath, const std::string& text) {
        TemporaryFile temporary;
        Descriptor out(temporary.create(manifestPath));
        if (out.get() < 0) {
            fail(134, errno);
        }
        std::size_t written = 0;
        while (written < text.size()) {
            const ssize_t n = ::write(out.get(), text.data() + written, text.size() - written);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0) {
                fail(136, errno);
            }
            written += static_cast<std::size_t>(n);
        }
        if (!out.close() || !temporary.renameTo(manifestPath)) {
            fail(138, errno);
        }
    }

    const std::string& m_sourcePath;
    const std::int32_t m_chunkSize;
    EngineHost& m_host;
    int m_step = 104; // where an allocation failure is reported
};

class Joiner {
public:
    Joiner(const std::string& manifestPath, EngineHost& host) : m_manifestPath(manifestPath), m_host(host) {}

    Outcome guardedRun() {
        try {
            return run();
        } catch (const StepFailure& failure) {
            m_host.reportError(joinLabel, failure.step, failure.description);
            endEarly();
        } catch (const std::bad_alloc&) {
            m_host.reportError(joinLabel, m_step, std::strerror(ENOMEM));
            endEarly();
        }
        return Outcome::Failed;
    }

private:
    Outcome run() {
        struct stat manifestStat {};
        std::string text;
        {
            Descriptor manifest(openForReading(m_manifestPath, 102, manifestStat));
            if (manifestStat.st_size > PieceSet::maxManifestBytes) {
                return refuseManifest();
            }
            m_step = 104;
            text.resize(static_cast<std::size_t>(manifestStat.st_size));
            readAll(manifest.get(), text);
        }
        m_step = 110;
        const std::vector<std::string> entries = PieceSet::manifestEntries(text);
        if (entries.size() > static_cast<std::size_t>(PieceSet::maxPieces)) {
            return refuseManifest();
        }

        // Pieces are looked for beside the manifest, whatever folder the lines name.
        const std::string manifestFolder = Main::GetFolderPart(m_manifestPath);
        std::vector<std::string> piecePaths;
        piecePaths.reserve(entries.size());
        for (const std::string& entry : entries) {
            piecePaths.push_back(
                Main::CollapseBackslashes(manifestFolder + Main::nativeSeparator + PieceSet::entryName(entry)));
        }

        m_outputPath = m_host.outputFolder() + Main::nativeSeparator + PieceSet::joinedName(m_manifestPath);
        if (wouldOverwritePieceSet(manifestStat, piecePaths)) {
            m_host.showMessage(Messages::joinOverwritesPieceSet);
            return Outcome::Refused;
        }

        m_output = std::make_unique<Descriptor>(m_temporary.create(m_outputPath));
        if (m_output->get() < 0) {
            m_output.reset();
            fail(118, errno);
        }

        const int count = static_cast<int>(entries.size());
        progressStep(m_host, joinLabel, 120, [&] { m_host.setProgressValue(0); });
        progressStep(m_host, joinLabel, 122, [&] { m_host.setProgressMaximum(count); });

        FileSize::CopyBuffer buffer;
        for (int index = 0; index < count; ++index) {
            if (!m_host.processEvents()) {
                endEarly();
                return Outcome::Stopped;
            }
            const std::string& piecePath = piecePaths[static_cast<std::size_t>(index)];
            if (!Main::fileExists(piecePath)) {
                progressStep(m_host, joinLabel, 146, [&] { m_host.setProgressValue(m_host.progressMaximum()); });
                m_host.showMessage(piecePath + Messages::pieceMissingSuffix);
                endEarly();
                return Outcome::Missing;
            }
            struct stat pieceStat {};
            Descriptor piece(openForReading(piecePath, 136, pieceStat));
            m_step = 140;
            const CopyResult copied = FileSize::ReadFileChunks(piece.get(), 0, m_output->get(), pieceStat.st_size,
                                                               buffer, [this] { return m_host.processEvents(); });
            if (copied.status == CopyResult::Status::Stopped) {
                endEarly();
                return Outcome::Stopped;
            }
            if (copied.status != CopyResult::Status::Copied) {
                throwCopyFailure(copied, 140, 144);
            }
            progressStep(m_host, joinLabel, 150, [&] { m_host.setProgressValue(index + 1); });
        }

        const bool closed = m_output->close();
        m_output.reset();
        if (!closed || !m_temporary.renameTo(m_outputPath)) {
            fail(154, errno);
        }
        m_host.showMessage(Messages::joinSucceeded);
        return Outcome::Succeeded;
    }

    Outcome refuseManifest() {
        m_host.showMessage(m_manifestPath + Messages::invalidManifestSuffix);
        return Outcome::Refused;
    }

    static void readAll(int fd, std::string& text) {
        std::size_t done = 0;
        while (done < text.size()) {
            const ssize_t n = ::read(fd, text.data() + done, text.size() - done);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0) {
                fail(106, errno);
            }
            if (n == 0) {
                break; // shrank since it was measured: take what is there
            }
            done += static_cast<std::size_t>(n);
        }
        text.resize(done);
    }

    bool wouldOverwritePieceSet(const struct stat& manifestStat, const std::vector<std::string>& piecePaths) const {
        struct stat outputStat {};
        if (::stat(m_outputPath.c_str(), &outputStat) != 0) {
            return false;
        }
        if (sameFile(outputStat, manifestStat)) {
            return true;
        }
        for (const std::string& piecePath : piecePaths) {
            struct stat st {};
            if (::stat(piecePath.c_str(), &st) == 0 && sameFile(st, outputStat)) {
                return true;
            }
        }
        return false;
    }

    // A join that ends before its last piece keeps an earlier file of the output
    // name untouched; with none, the pieces joined so far stand under that name.
    void endEarly() {
        if (!m_output) {
            return;
        }
        m_output->close();
        m_output.reset();
        struct stat st {};
        if (::lstat(m_outputPath.c_str(), &st) != 0) {
            m_temporary.renameTo(m_outputPath);
        }
    }

    const std::string& m_manifestPath;
    EngineHost& m_host;
    std::string m_outputPath;
    TemporaryFile m_temporary;
    std::unique_ptr<Descriptor> m_output;
    int m_step = 104; // where an allocation failure is reported
};

} // namespace

Outcome SplitFile(const std::string& sourcePath, std::int32_t chunkSize, EngineHost& host) {
    return Splitter(sourcePath, chunkSize, host).guardedRun();
}

Outcome JoinFiles(const std::string& manifestPath, EngineHost& host) {
    return Joiner(manifestPath, host).guardedRun();
}

} // namespace SplitMergeFile
