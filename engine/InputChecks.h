#pragma once

#include <cstdint>
#include <string>

#include <sys/stat.h>

#include "engine/Descriptor.h"

// The input checks of the split and join commands, written once for both front
// ends: the window makes them one by one as numbered steps, the command line in a
// row. Paths are byte strings.
namespace InputChecks {

// Split, in this order: the output folder exists (Main::FolderExists); a file is
// named; it does not look already split (".splt", then "_splt", anywhere in the path,
// case-sensitive); it exists as a regular file; it is larger than one piece. Join: a
// manifest is named, it exists (Main::fileExists).
bool containsManifestSuffix(const std::string& path);
bool containsPieceMarker(const std::string& path);

// The file a split reads, looked at and opened once for every check and the split
// itself, so that all of them concern the same file. A name that is not a regular
// file is never opened (a device or a FIFO stays untouched).
class SplitSource {
public:
    explicit SplitSource(std::string path);

    const std::string& path() const { return m_path; }
    // The path names a regular file (symbolic links followed).
    bool exists() const { return m_exists; }
    // Open for reading, or -1 with openFault() saying why: ENOENT, EISDIR or EINVAL
    // for a name that is not a regular file, else what the open or its check said.
    int fd() const { return m_fd.get(); }
    const Fault& openFault() const { return m_openFault; }
    // Of the open file; the size a file that could not be opened counts is 0.
    const struct stat& status() const { return m_status; }
    std::int64_t size() const { return fd() >= 0 ? static_cast<std::int64_t>(m_status.st_size) : 0; }

private:
    std::string m_path;
    bool m_exists = false;
    Descriptor m_fd;
    Fault m_openFault;
    struct stat m_status {};
};

} // namespace InputChecks
