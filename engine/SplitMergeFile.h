#pragma once

#include <cstdint>
#include <string>

class EngineHost;
namespace InputChecks {
class SplitSource;
}

// The splitter and the joiner (engine/runs/). Each reports through the host, once: progress, the outcome message, or
// a failing step with its number.
namespace SplitMergeFile {

inline constexpr const char* splitLabel = "in Tavrid2021/08/31.SplitMergeFile.SplitFile ";
inline constexpr const char* joinLabel = "in Tavrid2021/08/31.SplitMergeFile.JoinFiles ";

// How a run ended. The host has been told in every case but Stopped.
enum class Outcome {
    Succeeded,
    Refused, // a limit held before anything was written
    Failed,
    Missing, // the join stopped at a missing piece
    Damaged, // the join stopped at a piece of the wrong length or checksum
    Stopped, // the host asked to stop
};

struct SplitOptions {
    bool checksums = false;
    // NAME.001, NAME.002, ... and NAME.crc in place of the list, written last so that a stopped split leaves none.
    bool numbered = false;
};

struct SplitWritten {
    std::int64_t pieces = 0;
    std::int64_t bytes = 0;
};

// Cuts `sourcePath` into pieces of `chunkSize` bytes in `outputFolder`, held open and locked until the split ends.
// Whatever stands at a piece or list name is replaced, never written through; the list is written to a temporary file
// and named after the last piece. Refused before anything is written: a chunk size below 1, more than 32767 pieces, a
// line break in a name, names too long, a folder another run is using. Failures read "PATH: reason".
Outcome SplitFile(const std::string& sourcePath, std::int32_t chunkSize, const std::string& outputFolder,
                  EngineHost& host, bool checksums = false);
// The same for a source the commands' checks have already opened.
Outcome SplitFile(const InputChecks::SplitSource& source, std::int32_t chunkSize, const std::string& outputFolder,
                  EngineHost& host, bool checksums = false);
Outcome SplitFile(const InputChecks::SplitSource& source, std::int32_t chunkSize, const std::string& outputFolder,
                  EngineHost& host, const SplitOptions& options, SplitWritten* written = nullptr);

// Splits a stream that cannot seek (a pipe) until its end, as SplitFile splits a file named `baseName`; progress counts
// bytes. An empty stream is refused as a file not larger than a piece; one that needs too many pieces fails when it
// gets there, leaving no list; a read error fails at step 120.
Outcome SplitStream(int sourceFd, const std::string& sourceName, const std::string& baseName, std::int32_t chunkSize,
                    const std::string& outputFolder, EngineHost& host, bool checksums = false);
Outcome SplitStream(int sourceFd, const std::string& sourceName, const std::string& baseName, std::int32_t chunkSize,
                    const std::string& outputFolder, EngineHost& host, const SplitOptions& options,
                    SplitWritten* written = nullptr);

struct JoinOptions {
    // A list without a single CR LF is refused as not a list rather than joined into an empty file.
    bool refuseEmptyList = false;
};

// Joins the set listed by `manifestPath` (or found by name from one of its pieces or its .crc) into `outputFolder`,
// under the list's name without ".splt". The pieces' folder is locked shared and the output folder exclusively; the
// output is written under a temporary name and published only when whole. The join stops at the first missing or
// damaged piece (by length or by the checksum file beside the list); checks of the joined file as a whole end it with
// JoinedFileMismatch, publishing nothing.
Outcome JoinFiles(const std::string& manifestPath, const std::string& outputFolder, EngineHost& host,
                  const JoinOptions& options = {});

// Joins as JoinFiles does into the stream `outputFd`; nothing is locked or published. With checksums, each piece is
// hashed before any of it is written, so that damaged bytes never reach the reader. Refused when the stream is the
// list or one of its pieces.
Outcome JoinToStream(const std::string& manifestPath, int outputFd, const std::string& outputName, EngineHost& host,
                     const JoinOptions& options = {});

} // namespace SplitMergeFile
