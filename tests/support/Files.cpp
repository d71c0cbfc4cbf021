#include "tests/support/Files.h"

#include <csignal>
#include <vector>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QFileInfo>

namespace Files {

bool lastPageCached(const QString& p) {
    const int fd = ::open(QFile::encodeName(p).constData(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || st.st_size == 0) {
        qFatal("cannot look at %s", qPrintable(p));
    }
    void* map = ::mmap(nullptr, static_cast<std::size_t>(st.st_size), PROT_READ, MAP_SHARED, fd, 0);
    ::close(fd);
    if (map == MAP_FAILED) {
        qFatal("cannot map %s", qPrintable(p));
    }
    const long page = ::sysconf(_SC_PAGESIZE);
    std::vector<unsigned char> resident(static_cast<std::size_t>((st.st_size + page - 1) / page));
    ::mincore(map, static_cast<std::size_t>(st.st_size), resident.data());
    ::munmap(map, static_cast<std::size_t>(st.st_size));
    return (resident.back() & 1) != 0;
}

bool dropFromCache(const QString& p) {
    const int fd = ::open(QFile::encodeName(p).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    // Written back first: dirty pages stay.
    ::fdatasync(fd);
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    ::close(fd);
    return !lastPageCached(p);
}

QByteArray pattern(qint64 size, int seed) {
    QByteArray data(size, Qt::Uninitialized);
    quint32 x = 2654435761u * static_cast<quint32>(seed + 1);
    for (qint64 i = 0; i < size; ++i) {
        x = x * 1664525u + 1013904223u;
        data[i] = static_cast<char>(x >> 24);
    }
    return data;
}

void writeOrDie(const QString& p, const QByteArray& data) {
    QDir().mkpath(QFileInfo(p).path());
    QFile file(p);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(data) != data.size()) {
        qFatal("cannot write %s", qPrintable(p));
    }
}

void limitFileSize(rlim_t bytes) {
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit limited{};
    if (::getrlimit(RLIMIT_FSIZE, &limited) != 0) {
        qFatal("getrlimit failed");
    }
    limited.rlim_cur = bytes;
    if (::setrlimit(RLIMIT_FSIZE, &limited) != 0) {
        qFatal("setrlimit failed");
    }
}

FileSizeLimit::FileSizeLimit(rlim_t bytes) : m_handler(std::signal(SIGXFSZ, SIG_IGN)) {
    if (::getrlimit(RLIMIT_FSIZE, &m_old) != 0) {
        qFatal("getrlimit failed");
    }
    limitFileSize(bytes);
}

FileSizeLimit::~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &m_old);
    std::signal(SIGXFSZ, m_handler);
}

ReadOnlyMount::ReadOnlyMount(const QString& p) : m_path(path(p)) {
    m_mounted = QDir().mkpath(p) && ::mount("tmpfs", m_path.c_str(), "tmpfs", MS_RDONLY, "size=1m") == 0;
}

ReadOnlyMount::~ReadOnlyMount() {
    if (m_mounted) {
        ::umount2(m_path.c_str(), MNT_DETACH);
    }
}

QString folderOfLength(const QString& root, int length) {
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

rlim_t dataSize() {
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

int inChild(const std::function<int()>& body, rlim_t memory) {
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

PausedChild::PausedChild(const std::function<bool(const std::function<void()>&)>& body) {
    int paused[2];
    int resume[2];
    if (::pipe(paused) != 0 || ::pipe(resume) != 0) {
        return;
    }
    m_child = ::fork();
    if (m_child == 0) {
        ::close(resume[1]);
        const bool ok = body([&] {
            // Until the parent closes its end.
            char byte = 'p';
            if (::write(paused[1], &byte, 1) != 1 || ::read(resume[0], &byte, 1) < 0) {
                ::_exit(2);
            }
        });
        ::_exit(ok ? 0 : 1);
    }
    ::close(paused[1]);
    ::close(resume[0]);
    m_resume = resume[1];
    char byte = 0;
    m_paused = m_child > 0 && ::read(paused[0], &byte, 1) == 1;
    ::close(paused[0]);
}

PausedChild::~PausedChild() {
    kill();
}

int PausedChild::resume() {
    ::close(m_resume);
    m_resume = -1;
    const int status = wait();
    return status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool PausedChild::kill() {
    if (m_child > 0) {
        ::kill(m_child, SIGKILL);
    }
    const int status = wait();
    return status >= 0 && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
}

int PausedChild::wait() {
    int status = -1;
    if (m_child > 0 && ::waitpid(m_child, &status, 0) != m_child) {
        status = -1;
    }
    m_child = -1;
    if (m_resume >= 0) {
        ::close(m_resume);
        m_resume = -1;
    }
    return status;
}

} // namespace Files
