#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QTest>

#include <csignal>
#include <cstring>
#include <string>

#include <sys/resource.h>

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

} // namespace Files
