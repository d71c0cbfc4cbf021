#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/Result.h"
#include "engine/runs/PieceStep.h"

// Checks a piece set without joining it and without writing anything, reading it as
// the joiner reads it (see PieceSetReader.h), so that the two find the same first
// fault: every piece the manifest lists must exist, every piece but the last must be
// as long as the others, the last not longer, none empty; with the checksum file
// beside the manifest, every piece must match its digest there.
namespace Verify {

struct Finding {
    // Unreadable: see `error`; Short and Long: `length` against `expected`.
    using Problem = SplitMergeFile::PieceProblem;
    std::string piecePath;
    Problem problem = Problem::Missing;
    bool last = false;
    std::int64_t length = 0;
    std::int64_t expected = 0; // the piece length of the set
    int error = 0;
};

struct Summary {
    enum class Verdict {
        Checked,           // the pieces were looked at; see `bad`
        NotAList,          // no CR LF at all, too large, or more than 32767 entries
        ChecksumsConflict, // the checksum file (`checksumFile`) lists a name twice with different digests
        Busy,              // another run is writing in the pieces' folder: what stands there may be half-written
    };
    Verdict verdict = Verdict::Checked;
    int pieces = 0;           // entries of the manifest
    int bad = 0;              // pieces with a finding
    bool checksummed = false; // a checksum file was there and was used
    std::int64_t bytes = 0;   // total length of the pieces that exist
    std::string checksumFile; // the checksum file of the pieces
    // The files (a .crc, a sums file) that describe the joined file and do not match
    // the pieces one after the other; looked at when every piece could be read.
    std::vector<std::string> wholeMismatches;
};

// Reads the manifest at `manifestPath` and looks at its pieces beside it, as the
// joiner finds them. Calls `report` once per bad piece, in manifest order, after all
// pieces were looked at. Memory stays bounded whatever the manifest holds: the
// entries' offsets, never their text. Fails, naming the file, when the manifest or the
// checksum file cannot be read, and with a checksum failure naming the manifest when
// its pieces cannot be hashed.
Result<Summary> VerifySet(const std::string& manifestPath, const std::function<void(const Finding&)>& report);

} // namespace Verify
