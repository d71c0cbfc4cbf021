#pragma once

#include <string>

#include <sys/stat.h>

#include "engine/Descriptor.h"

// A run's folder, opened once: every file is handled relative to it, so that a folder renamed or replaced meanwhile
// can neither spread one run over two folders nor strand a file.
class RunFolder {
public:
    // An empty path is no folder (ENOENT).
    Status open(const std::string& path);
    bool isOpen() const { return m_fd.get() >= 0; }
    int fd() const { return m_fd.get(); }

    // Exclusive for a run that writes there, shared for one that only reads.
    enum class Lock { Shared, Exclusive };

    // An advisory lock held until the folder closes; false when another run's lock excludes it. A file system that
    // cannot lock lets the run through.
    bool lock(Lock kind = Lock::Exclusive);
    // Held, not only let through by a file system that cannot lock.
    bool lockedExclusively() const { return m_exclusive; }
    bool sameFolder(const RunFolder& other) const;
    long nameMax() const;
    // Never opens what stands there: EEXIST.
    Result<Descriptor> createExclusive(const std::string& name) const;
    // Removes the entry itself, never what a link stands for; succeeds when nothing stands there (EISDIR: a folder).
    Status removeEntry(const std::string& name) const;
    Result<struct stat> statEntry(const std::string& name, bool followLinks) const;

private:
    Descriptor m_fd;
    bool m_exclusive = false;
};
