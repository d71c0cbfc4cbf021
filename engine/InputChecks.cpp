#include "engine/InputChecks.h"

#include <cerrno>
#include <utility>

#include <fcntl.h>

#include "engine/PieceSet.h"

namespace InputChecks {

bool containsManifestSuffix(const std::string& path) {
    return path.find(PieceSet::manifestSuffix) != std::string::npos;
}

bool containsPieceMarker(const std::string& path) {
    return path.find(PieceSet::pieceMarker) != std::string::npos;
}

SplitSource::SplitSource(std::string path) : m_path(std::move(path)) {
    struct stat named {};
    if (::stat(m_path.c_str(), &named) != 0) {
        m_openFault = Fault::ofErrno();
        return;
    }
    if (!S_ISREG(named.st_mode)) {
        m_openFault = Fault{S_ISDIR(named.st_mode) ? EISDIR : EINVAL};
        return;
    }
    m_exists = true;
    Result<Descriptor> opened = openRegular(AT_FDCWD, m_path.c_str(), m_status);
    if (opened) {
        m_fd = std::move(*opened);
    } else {
        m_openFault = opened.fault();
    }
}

} // namespace InputChecks
