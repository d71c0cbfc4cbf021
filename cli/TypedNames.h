#pragma once

#include <map>
#include <optional>
#include <string>

// The engine is given absolute paths; messages name files as typed. Folders in which the engine makes other files'
// paths are remembered too, so that those show as the typed folder and the name.
class TypedNames {
public:
    explicit TypedNames(std::string currentFolder) : m_currentFolder(std::move(currentFolder)) {}

    std::string file(const std::string& typed);
    // The current folder when none was given.
    std::string folder(const std::optional<std::string>& typed);
    // The engine names the pieces there with the folder part's doubled separators collapsed.
    void listFolder(const std::string& list, const std::string& typedList);
    // As typed, quoted where needed.
    std::string show(const std::string& path) const;

private:
    std::string m_currentFolder;
    std::map<std::string, std::string> m_files;
    std::map<std::string, std::string> m_folders; // absolute -> typed
};
