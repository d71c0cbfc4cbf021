#pragma once

#include <csignal>
#include <cstring>
#include <functional>
#include <string>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QTest>

// File and process helpers for the tests: paths as byte strings, as the engine takes them.
namespace Files {

inline std::string path(const QString& p) {
    return QFile::encodeName(p).toStdString();
}

// The description of a failing step: the file it concerned and the system's reason.
inline std::string failure(const QString& p, int error) {
    return path(p) + ": " + std::strerror(error);
}

// `size` bytes that differ from piece to piece and from seed to seed.
QByteArray pattern(qint64 size, int seed = 7);

inline void write(const QString& p, const QByteArray& data) {
    QFile f(p);
    QVERIFY2(f.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(f.errorString()));
    QCOMPARE(f.write(data), data.size());
}

// Writes `data` to `p`, making its folder first; the test program stops when it cannot.
void writeOrDie(const QString& p, const QByteArray& data);

inline QByteArray read(const QString& p) {
    QFile f(p);
    if (!f.open(QIODevice::ReadOnly)) {
        return QByteArray("<missing>");
    }
    return f.readAll();
}

inline QStringList entries(const QString& dir) {
    return QDir(dir).entryList(QDir::Files | QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
}

// A full disk for the rest of the process (a child about to run the program under
// test): writes past `bytes` fail with EFBIG instead of raising SIGXFSZ.
void limitFileSize(rlim_t bytes);

// A full disk for the lifetime of the object: writes past `bytes` fail with EFBIG
// instead of killing the test with SIGXFSZ.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes);
    ~FileSizeLimit();
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit m_old{};
    void (*m_handler)(int);
};

// An empty read-only file system (a tmpfs mounted read-only) at the folder `p`, made
// for it, for the lifetime of the object; mounted() is false where this process may
// not mount.
class ReadOnlyMount {
public:
    explicit ReadOnlyMount(const QString& p);
    ~ReadOnlyMount();
    ReadOnlyMount(const ReadOnlyMount&) = delete;
    ReadOnlyMount& operator=(const ReadOnlyMount&) = delete;

    bool mounted() const { return m_mounted; }

private:
    std::string m_path;
    bool m_mounted = false;
};

// Makes a folder whose path is exactly `length` bytes long, below `root`; returns
// an empty path when it cannot.
QString folderOfLength(const QString& root, int length);

// Whether the last page of `p` is in the page cache. Asked through mincore, which
// unlike a read that must not wait does not start reading the page in.
bool lastPageCached(const QString& p);

// Writes `p` back and drops it from the page cache; false when its last page stayed
// there all the same (some file systems keep it).
bool dropFromCache(const QString& p);

// The process's private data in bytes, as RLIMIT_DATA counts it (VmData).
rlim_t dataSize();

// Runs `body` in a child process and returns its exit status, or -1 when the child
// did not exit normally. With `memory`, the child's private data may grow by no more
// than that (not under AddressSanitizer, whose allocator maps memory of its own).
int inChild(const std::function<int()>& body, rlim_t memory = 0);

// A child process that runs `body` until body calls its argument, and waits there
// until the object resumes or kills it; the constructor returns once it waits. The
// child's exit status is 0 when `body` returns true.
class PausedChild {
public:
    explicit PausedChild(const std::function<bool(const std::function<void()>& pause)>& body);
    ~PausedChild();
    PausedChild(const PausedChild&) = delete;
    PausedChild& operator=(const PausedChild&) = delete;

    bool paused() const { return m_paused; }
    // Lets the child go on; its exit status, or -1.
    int resume();
    // True when the child died of SIGKILL.
    bool kill();

private:
    int wait();

    pid_t m_child = -1;
    int m_resume = -1;
    bool m_paused = false;
};

} // namespace Files
