#pragma once

#include <string>
#include <string_view>

#include "engine/Descriptor.h"
#include "engine/Result.h"

// A new file in a run's folder that gets its name only when it is complete. Where the
// file system allows, it is an unnamed file (O_TMPFILE) that nothing can leave behind,
// not even SIGKILL; elsewhere it has a hidden name of fixed, short length, so that a
// valid final name never fails because of its temporary name. A file that is not
// published is removed when the object goes.
class TemporaryFile {
public:
    TemporaryFile() = default;
    ~TemporaryFile();
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    // Creates the file in the folder open at `folderFd`, for reading and writing, so
    // that what was written can be read back.
    Status create(int folderFd);
    bool isOpen() const { return m_fd.get() >= 0; }
    int fd() const { return m_fd.get(); }

    // Writes the file's data to the disk (fdatasync), so that a rename over an earlier
    // file can never lose both to a crash.
    Status flush();

    // Closes the file and gives it `name` in its folder. With `replace`, whatever entry
    // stands at that name is replaced (never written through); without, an existing
    // entry makes it fail with EEXIST. A failing close fails it as well, also where the
    // close can only come after the name was given: then the name is taken back, and
    // an entry it replaced is left as it was. On failure the file is gone.
    Status publish(const std::string& name, bool replace);

    // Closes and removes the file.
    void discard();

    // Removes what runs killed before they could remove their files left in the folder
    // open at `folderFd`: regular files of a hidden temporary name, nothing else. Only
    // for a run that holds the folder's exclusive lock, so that no other run can be
    // writing them. What cannot be removed stays.
    static void removeLeftovers(int folderFd);

private:
    Status publishUnnamed(const std::string& name, bool replace);
    Status renameHidden(const std::string& name, bool replace);
    // Links the unnamed file under a new hidden name.
    Status linkUnderHiddenName(std::string& hidden);

    Descriptor m_fd;
    int m_folderFd = -1;
    std::string m_hiddenName; // empty for an unnamed file
};
