#pragma once

#include <string>

#include <sys/stat.h>

#include "engine/Descriptor.h"

// The folder one split or join writes to (or reads its pieces from), opened once as a
// directory when the run starts. Every file of the run is created, looked up, renamed
// and removed relative to this descriptor, so a folder renamed, replaced or removed
// meanwhile can neither spread one run over two folders nor strand a file.
class RunFolder {
public:
    // Opens `path` as a directory, following symbolic links; an empty path is no
    // folder (ENOENT).
    Status open(const std::string& path);
    bool isOpen() const { return m_fd.get() >= 0; }
    int fd() const { return m_fd.get(); }

    // Exclusive for a run that writes into the folder, shared for one that only reads
    // the files there.
    enum class Lock { Shared, Exclusive };

    // Takes the advisory lock that keeps a run from writing names another run writes
    // or reads; it is held until the folder is closed. Taking the other kind converts
    // the lock. False when another run holds a lock that excludes it. A file system
    // that cannot lock at all lets the run through.
    bool lock(Lock kind = Lock::Exclusive);

    // Whether the exclusive lock is held, not only let through by a file system that
    // cannot lock.
    bool lockedExclusively() const { return m_exclusive; }

    // Whether `other` is open on the same folder.
    bool sameFolder(const RunFolder& other) const;

    // The longest file name the folder accepts.
    long nameMax() const;

    // Creates the new file `name` for writing, exclusively: never opens what already
    // stands there: EEXIST when the name is taken.
    Result<Descriptor> createExclusive(const std::string& name) const;

    // Removes the entry `name` itself (a file, or a link, FIFO or device without
    // touching what it stands for). Succeeds when nothing stands there afterwards
    // (EISDIR for a folder).
    Status removeEntry(const std::string& name) const;

    // stat of the entry `name`, following a symbolic link or not.
    Result<struct stat> statEntry(const std::string& name, bool followLinks) const;

private:
    Descriptor m_fd;
    bool m_exclusive = false;
};
