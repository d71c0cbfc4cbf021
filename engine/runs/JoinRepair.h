#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "engine/Descriptor.h"
#include "engine/Result.h"
#include "engine/RunFolder.h"

namespace SplitMergeFile {

// A join's use of the recovery data beside its list (NAME.splt.par2 and its volumes).
// Every piece is checked slice by slice against the index on other threads, a few
// pieces ahead of the copy, so that a whole set costs little more than a plain join;
// at the first piece found missing or damaged every piece is checked, and when the
// recovery data suffices the bad ones are rebuilt into unnamed files whose bytes the
// join takes instead. The volumes are read only then, and the pieces on disk are never
// changed. Without recovery data it does nothing.
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
    void start(const RunFolder& folder, const std::string& index, std::size_t count,
               const std::function<std::string(std::size_t)>& nameOf);
    bool active() const;

    // What the join is to do with the piece `name`, once its check is done.
    struct Piece {
        Descriptor rebuilt;      // at the start of its rebuilt bytes, when it was rebuilt
        bool unrepaired = false; // found missing or damaged, and not rebuilt
    };
    // Waits for the check of piece `name`; at the first bad one, rebuilds what is bad
    // into new files in the folder open at `scratch`. Given turns while it waits; one
    // that returns false ends it with ECANCELED. Fails with a piece or PAR file that
    // cannot be read, or a rebuild that fails.
    Result<Piece> piece(const std::string& name, int scratch, const std::function<bool()>& turn);

    // The pieces whose rebuilt bytes the join took.
    std::size_t rebuiltTaken() const;
    // How many more recovery pieces a repair would have needed; 0 when none fell short.
    std::uint32_t piecesShort() const;

private:
    struct State;
    std::unique_ptr<State> m_state;
};

} // namespace SplitMergeFile
