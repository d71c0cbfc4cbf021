#include "cli/TypedNames.h"

#include "cli/Quoting.h"
#include "engine/Main.h"

namespace {

// No "." or ".." folding, and a trailing '/' stays: the list's lines show the folder as given.

std::string makeAbsolute(const std::string& path, const std::string& currentFolder) {
    if (path.empty() || path.front() == '/') {
        return path;
    }
    // getcwd gives "/" alone for the root; do not make that "//".
    if (!currentFolder.empty() && currentFolder.back() == '/') {
        return currentFolder + path;
    }
    return currentFolder + "/" + path;
}

} // namespace

std::string TypedNames::file(const std::string& typed) {
    std::string path = makeAbsolute(typed, m_currentFolder);
    m_files[path] = typed;
    return path;
}

std::string TypedNames::folder(const std::optional<std::string>& typed) {
    if (!typed) {
        // Moved in, not assigned from "." : GCC 12 at -O3 warns falsely about the copy.
        m_files[m_currentFolder] = std::string(1, '.');
        m_folders[m_currentFolder + Main::nativeSeparator] = "";
        return m_currentFolder;
    }
    std::string path = file(*typed);
    m_folders[path + Main::nativeSeparator] = *typed + Main::nativeSeparator;
    return path;
}

void TypedNames::listFolder(const std::string& list, const std::string& typedList) {
    const std::string typedFolder = Main::GetFolderPart(typedList);
    m_folders[Main::CollapseBackslashes(Main::GetFolderPart(list) + Main::nativeSeparator)] =
        typedFolder.empty() ? std::string() : Main::CollapseBackslashes(typedFolder + Main::nativeSeparator);
}

std::string TypedNames::show(const std::string& path) const {
    if (const auto found = m_files.find(path); found != m_files.end()) {
        return Quoting::quote(found->second);
    }
    // The longest folder that holds the path.
    const std::pair<const std::string, std::string>* best = nullptr;
    for (const auto& folder : m_folders) {
        if (path.compare(0, folder.first.size(), folder.first) == 0 &&
            (best == nullptr || folder.first.size() > best->first.size())) {
            best = &folder;
        }
    }
    if (best == nullptr) {
        return Quoting::quote(path);
    }
    return Quoting::quote(best->second + path.substr(best->first.size()));
}
