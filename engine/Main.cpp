#include "engine/Main.h"

#include <sys/stat.h>

namespace Main {

std::string GetFileName(std::string_view path, char separator) {
    const auto last = path.rfind(separator);
    return std::string(last == std::string_view::npos ? path : path.substr(last + 1));
}

std::string GetFolderPart(std::string_view path, char separator) {
    const auto last = path.rfind(separator);
    return last == std::string_view::npos ? std::string() : std::string(path.substr(0, last + 1));
}

namespace {

// One left-to-right pass; pairs do not overlap and the result is not passed over again.
std::string collapsePairs(std::string_view path, char separator) {
    std::string out;
    out.reserve(path.size());
    for (std::size_t i = 0; i < path.size(); ++i) {
        out += path[i];
        if (path[i] == separator && i + 1 < path.size() && path[i + 1] == separator) {
            ++i;
        }
    }
    return out;
}

} // namespace

std::string CollapseBackslashes(std::string_view path, char separator) {
    if (path.empty() || path.front() != separator) {
        return collapsePairs(path, separator);
    }
    auto rest = path.find_first_not_of(separator, 1);
    if (rest == std::string_view::npos) {
        rest = path.size();
    }
    // POSIX has no network-path prefix: a leading run is one root separator there.
    const std::string prefix(separator == '/' ? 1 : 2, separator);
    return prefix + collapsePairs(path.substr(rest), separator);
}

bool FolderExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool PathExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

bool fileExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

} // namespace Main
