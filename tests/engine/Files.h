#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QTest>

#include <csignal>
#include <cstring>
#include <functional>
#include <string>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

// Small file helpers for engine tests: paths as byte strings, as the engine takes them.
namespace Files {

inline std::string path(const QString& p) {
    return QFile::encodeName(p).toStdString();
}

// The description of a failing step: the file it concerned and the system's reason.
inline std::string failure(const QString& p, int error) {
    return path(p) + ": " + std::strerror(error);
}

inline QByteArray pattern(qint64 size, int seed = 7) {
    QByteArray data(size, Qt::Uninitialized);
    quint32 x = 2654435761u * static_cast<quint32>(seed + 1);
    for (qint64 i = 0; i < size; ++i) {
        x = x * 1664525u + 1013904223u;
        data[i] = static_cast<char>(x >> 24);
    }
    return data;
}

inline void write(const QString& p, const QByteArray& data) {
    QFile f(p);
    QVERIFY2(f.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(f.errorString()));
    QCOMPARE(f.write(data), data.size());
}

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

// A full disk for the lifetime of the object: writes past `bytes` fail with EFBIG
// instead of killing the test with SIGXFSZ.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) : m_handler(std::signal(SIGXFSZ, SIG_IGN)) {
        if (::getrlimit(RLIMIT_FSIZE, &m_old) != 0) {
            qFatal("getrlimit failed");
        }
        rlimit limited = m_old;
        limited.rlim_cur = bytes;
        if (::setrlimit(RLIMIT_FSIZE, &limited) != 0) {
            qFatal("setrlimit failed");
        }
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &m_old);
        std::signal(SIGXFSZ, m_handler);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit m_old{};
    void (*m_handler)(int);
};

// Makes a folder whose path is exactly `length` bytes long, below `root`; returns
// an empty path when it cannot.
inline QString folderOfLength(const QString& root, int length) {
    QString folder = root;
    while (folder.size() < length) {
        const int remaining = length - int(folder.size());
        int part = std::min(200, remaining - 1);
        if (remaining - 1 - part == 1) {
            --part; // a last part of one separator alone is no part
        }
        folder += "/" + QString(part, QLatin1Char('d'));
    }
    return QDir().mkpath(folder) ? folder : QString();
}

// The process's private data in bytes, as RLIMIT_DATA counts it (VmData).
inline rlim_t dataSize() {
    QFile status("/proc/self/status");
    if (!status.open(QIODevice::ReadOnly)) {
        return 0;
    }
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmData:")) {
            return rlim_t(line.mid(7).trimmed().split(' ').first().toULongLong()) * 1024;
        }
    }
    return 0;
}

// Runs `body` in a child process and returns its exit status, or -1 when the child
// did not exit normally. With `memory`, the child's private data may grow by no more
// than that (not under AddressSanitizer, whose allocator maps memory of its own).
inline int inChild(const std::function<int()>& body, rlim_t memory = 0) {
    const pid_t pid = ::fork();
    if (pid == 0) {
#ifdef __SANITIZE_ADDRESS__
        memory = 0;
#endif
        if (memory > 0) {
            const rlimit limit{dataSize() + memory, dataSize() + memory};
            if (::setrlimit(RLIMIT_DATA, &limit) != 0) {
                ::_exit(125);
            }
        }
        ::_exit(body());
    }
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) {
        return -1;
    }
    return WEXITSTATUS(status);
}

} // namespace Files
