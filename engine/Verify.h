#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/Result.h"
#include "engine/runs/PieceStep.h"

// Checks a piece set without writing anything, read as the joiner reads it, so that the two find the same faults.
namespace Verify {

struct Finding {
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
    int pieces = 0;
    int bad = 0;
    bool checksummed = false;
    std::int64_t bytes = 0; // of the pieces that exist
    std::string checksumFile;
    // The .crc or sums files of the joined file that the pieces do not match, when every piece could be read.
    std::vector<std::string> wholeMismatches;
};

// Calls `report` once per bad piece, in list order, after all were looked at. Fails, naming the file, when the list
// or the checksum file cannot be read or the pieces cannot be hashed.

Result<Summary> VerifySet(const std::string& manifestPath, const std::function<void(const Finding&)>& report);

} // namespace Verify
