#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "engine/Descriptor.h"
#include "engine/Result.h"
#include "engine/RunFolder.h"

namespace SplitMergeFile {

// A join's use of the recovery data beside its list (NAME.splt.par2 and its volumes).
// Into a file, every piece is checked slice by slice against the index from the
// output, read back from the page cache right behind the copy, so that a whole set
// costs little more than a plain join; into a stream, where no byte that went out can
// be taken back, every piece is checked on disk a few pieces ahead of the copy. At the
// first piece found missing, of the wrong length or damaged every piece is checked on
// disk, and when the recovery data suffices the bad ones are rebuilt into unnamed
// files whose bytes the join takes instead; those a file's join had already appended
// are written over in the output. The volumes are read only then, and the pieces on
// disk are never changed. Without recovery data it does nothing.
class JoinRepair {
public:
    JoinRepair();
    // Stops the checks still running.
    ~JoinRepair();
    JoinRepair(const JoinRepair&) = delete;
    JoinRepair& operator=(const JoinRepair&) = delete;

    // Reads the recovery data whose index is named `index` (NAME.splt.par2 for a list)
    // in the pieces' folder `folder` and starts checking the pieces, the set's `count`
    // pieces (named by `nameOf`) first, in its order. Recovery data that is not there
    // or cannot be read is not used: the join's own checks still hold.
    // `output`, for a join into a file, is the file's descriptor: its pieces are checked
    // from it once appended (see appended); -1 checks them ahead on disk.
    void start(const RunFolder& folder, const std::string& index, std::size_t count,
               const std::function<std::string(std::size_t)>& nameOf, int output = -1);
    bool active() const;

    // A piece appended to the output: its place in the list and its first byte there.
    struct Appended {
        std::size_t index = 0;
        std::int64_t offset = 0;
    };
    // What the join is to do with the piece `name`, once its check is done.
    struct Piece {
        Descriptor rebuilt;      // at the start of its rebuilt bytes, when it was rebuilt
        bool unrepaired = false; // found missing or damaged, and not rebuilt
        // A piece appended before it that is damaged and could not be rebuilt: the join
        // ends before that one.
        std::optional<Appended> earlier;
    };
    // Waits for the check of piece `name`; at the first bad one, rebuilds what is bad
    // into new files in the folder open at `scratch`. Given turns while it waits; one
    // that returns false ends it with ECANCELED. Fails with a piece or PAR file that
    // cannot be read, or a rebuild that fails.
    Result<Piece> piece(const std::string& name, int scratch, const std::function<bool()>& turn);

    // Piece `name` was appended to the output as `where` says, `length` bytes: checks
    // them there, on other threads.
    void appended(const std::string& name, Appended where, std::int64_t length);
    // Once the last piece is appended: waits for the checks of the output and rebuilds
    // what they found bad, as piece does. The first appended piece that stays bad, if
    // any.
    Result<std::optional<Appended>> settle(int scratch, const std::function<bool()>& turn);
    // Rebuilt bytes were written over bytes already appended: whatever was computed
    // from the output before is stale.
    bool rewroteOutput() const;

    // The pieces whose rebuilt bytes the join took.
    std::size_t rebuiltTaken() const;
    // How many more recovery pieces a repair would have needed; 0 when none fell short.
    std::uint32_t piecesShort() const;

private:
    struct State;
    std::unique_ptr<State> m_state;
};

} // namespace SplitMergeFile
