#pragma once

#include <cstdint>
#include <string>

class EngineHost;

// The splitter and the joiner. Both report through the host: progress, the outcome
// message, and an error report for a failing step (with the step's number); a failing
// file step ends the operation without the success message.
namespace SplitMergeFile {

inline constexpr const char* splitLabel = "in Tavrid2021/08/31.SplitMergeFile.SplitFile ";
inline constexpr const char* joinLabel = "in Tavrid2021/08/31.SplitMergeFile.JoinFiles ";

enum class Outcome {
    Succeeded, // the success message was shown
    Refused,   // a limit was refused with a plain message before anything was written
    Failed,    // a failing step was reported and the operation ended
    Missing,   // the join stopped at a missing piece (its message was shown)
    Stopped,   // the host asked to stop
};

// Cuts `sourcePath` into pieces of `chunkSize` bytes in the host's output folder (read
// once, at the start) and writes the manifest last, under a temporary name renamed
// into place. An existing manifest of that name is removed before the first piece.
// Refuses a chunk size below 1 and more than 32767 pieces before writing anything.
Outcome SplitFile(const std::string& sourcePath, std::int32_t chunkSize, EngineHost& host);

// Joins the piece set listed by the manifest at `manifestPath` into the host's output
// folder, under the manifest's name without ".splt". Pieces are looked for beside the
// manifest. The output is written to a temporary file and renamed at the end; a join
// that ends early keeps an earlier file of the output name untouched.
Outcome JoinFiles(const std::string& manifestPath, EngineHost& host);

} // namespace SplitMergeFile
