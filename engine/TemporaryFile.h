#pragma once

#include <string>
#include <string_view>

#include "engine/Descriptor.h"
#include "engine/Result.h"

// A new file named only when complete: an unnamed file (O_TMPFILE) that even SIGKILL cannot leave behind, else a
// short hidden name, so that a valid final name never fails for its temporary one. Removed unless published.
class TemporaryFile {
public:
    TemporaryFile() = default;
    ~TemporaryFile();
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    // For reading and writing, so that what was written can be read back.
    Status create(int folderFd);
    bool isOpen() const { return m_fd.get() >= 0; }
    int fd() const { return m_fd.get(); }

    // fdatasync, so that a rename over an earlier file can never lose both to a crash.
    Status flush();

    // Closes and names the file: `replace` replaces whatever stands there, else EEXIST. A failing close fails it,
    // taking the name back. On failure the file is gone.
    Status publish(const std::string& name, bool replace);

    void discard();

    // Removes the hidden files runs left when killed; only under the folder's exclusive lock, so that no other run is
    // writing them.
    static void removeLeftovers(int folderFd);

private:
    Status publishUnnamed(const std::string& name, bool replace);
    Status renameHidden(const std::string& name, bool replace);
    Status linkUnderHiddenName(std::string& hidden);

    Descriptor m_fd;
    int m_folderFd = -1;
    std::string m_hiddenName; // empty for an unnamed file
};
