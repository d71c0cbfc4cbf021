#pragma once

#include <map>
#include <optional>
#include <string>

// The engine is given absolute paths; messages name files as the user typed them.
// Every path handed to the engine is remembered with its typed form, and so is every
// folder in which the engine makes the paths of other files (the pieces beside a
// list, the output folder's files), so that those show as the typed folder followed
// by the file's name.
class TypedNames {
public:
    explicit TypedNames(std::string currentFolder) : m_currentFolder(std::move(currentFolder)) {}

    // The absolute path of the file typed as `typed`.
    std::string file(const std::string& typed);

    // The absolute path of the folder typed as `typed`, the current folder when none
    // was given. The engine names its files `folder` + "/" + name.
    std::string folder(const std::optional<std::string>& typed);

    // The folder of the list typed as `typedList`, whose absolute path is `list`: the
    // engine names the pieces there with the folder part's doubled separators
    // collapsed.
    void listFolder(const std::string& list, const std::string& typedList);

    // `path` as typed, quoted where it needs quotes (see Quoting.h).
    std::string show(const std::string& path) const;

private:
    std::string m_currentFolder;
    std::map<std::string, std::string> m_files;
    std::map<std::string, std::string> m_folders; // absolute prefix -> typed prefix
};
