#pragma once

#include <cstdint>
#include <string>

#include <sys/stat.h>

#include "engine/Descriptor.h"

// The input checks of the split and join commands, shared by both front ends.
namespace InputChecks {

// Anywhere in the path, case-sensitive.
bool containsManifestSuffix(const std::string& path);
bool containsPieceMarker(const std::string& path);

// The file a split reads, opened once so that every check and the split concern the same file. A name that is not a
// regular file is never opened (a device or a FIFO stays untouched).
class SplitSource {
public:
    explicit SplitSource(std::string path);

    const std::string& path() const { return m_path; }
    bool exists() const { return m_exists; }
    // -1 with openFault() saying why.
    int fd() const { return m_fd.get(); }
    const Fault& openFault() const { return m_openFault; }

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
