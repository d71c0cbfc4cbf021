#pragma once

#include <cstdint>
#include <string>

class EngineHost;
namespace InputChecks {
class SplitSource;
}

// The splitter and the joiner (engine/runs/). Both report through the host:
// progress, the outcome message, and an error report for a failing step (with the
// step's number), each once, by the run; a failing file step ends the operation
// without the success message.
namespace SplitMergeFile {

inline constexpr const char* splitLabel = "in Tavrid2021/08/31.SplitMergeFile.SplitFile ";
inline constexpr const char* joinLabel = "in Tavrid2021/08/31.SplitMergeFile.JoinFiles ";

// How a run ended. The host has been told in every case but Stopped.
enum class Outcome {
    Succeeded, // every piece was written, or joined
    Refused,   // a limit held before anything was written
    Failed,    // a step failed and the operation ended
    Missing,   // the join stopped at a missing piece
    Damaged,   // the join stopped at a piece of the wrong length or checksum
    Stopped,   // the host asked to stop
};

// What a split writes beside its pieces.
struct SplitOptions {
    bool checksums = false;
    // Pieces NAME.001, NAME.002, ... (as ForeignSet::numberedName names them) and, in
    // place of the list, NAME.crc (CrcFile::format) with the CRC-32 taken while the
    // pieces are written; the checksum file is NAME.sha256. The .crc is written last,
    // under a temporary name, so that a split that stops leaves none. Pieces of an
    // earlier set of that name past the new last one (and a .000) are removed before
    // the first piece, so that a join finds the new set alone.
    bool numbered = false;
};

// What a split that succeeded wrote.
struct SplitWritten {
    std::int64_t pieces = 0;
    std::int64_t bytes = 0;
};

// Cuts `sourcePath` into pieces of `chunkSize` bytes in `outputFolder` (as the user
// gave it), which is opened once and held open (and locked against other runs) until the split ends. An
// existing manifest of that name is removed before the first piece; the new one is
// written line by line to a temporary file and named after the last piece. Whatever
// stands at a piece or manifest name (a file, a link, a FIFO, a device) is replaced,
// never written through; a link to the source is a failure of its open step.
// Refused with a plain message before anything is written: a chunk size below 1, more
// than 32767 pieces, a line break in the base name or folder, names longer than the
// folder or PATH_MAX allows, and a folder another split or join is writing to or a
// join is reading a set from.
// Failure descriptions read "PATH: reason". With `checksums`, hashes the pieces
// while it copies them and writes the checksum file (see ChecksumFile.h) after the
// manifest. A checksum file and recovery data (NAME.splt.par2, ...) of an earlier
// split beside the manifest are removed in any case, before the first piece.
Outcome SplitFile(const std::string& sourcePath, std::int32_t chunkSize, const std::string& outputFolder,
                  EngineHost& host, bool checksums = false);
// The same for a source the commands' checks have already opened; a source that
// could not be opened fails at the open's step with its reason.
Outcome SplitFile(const InputChecks::SplitSource& source, std::int32_t chunkSize, const std::string& outputFolder,
                  EngineHost& host, bool checksums = false);
Outcome SplitFile(const InputChecks::SplitSource& source, std::int32_t chunkSize, const std::string& outputFolder,
                  EngineHost& host, const SplitOptions& options, SplitWritten* written = nullptr);

// Cuts what `sourceFd` brings until its end, a stream that cannot seek and whose size
// is known only there (a pipe), into pieces named after `baseName`, exactly as
// SplitFile cuts a file of that name: the same refusals, names, list and checksum
// file, the names checked for the most pieces a list holds. `sourceName` names the
// stream in failure descriptions. Progress counts bytes; the number of pieces is
// known at the end. A stream that brings nothing is refused with the message of a
// file not larger than a piece, before an earlier set of that name is touched. One
// that needs more than 32767 pieces fails with the message of too many pieces when it
// gets there, leaving no list. An early end of the stream is its end; a read error
// fails at step 120.
Outcome SplitStream(int sourceFd, const std::string& sourceName, const std::string& baseName, std::int32_t chunkSize,
                    const std::string& outputFolder, EngineHost& host, bool checksums = false);
Outcome SplitStream(int sourceFd, const std::string& sourceName, const std::string& baseName, std::int32_t chunkSize,
                    const std::string& outputFolder, EngineHost& host, const SplitOptions& options,
                    SplitWritten* written = nullptr);

// What a join does beyond what every join does.
struct JoinOptions {
    // A list without a single CR LF lists nothing: refused as not a list (InvalidManifest)
    // rather than joined into an empty file.
    bool refuseEmptyList = false;
};

// Joins the piece set listed by the manifest at `manifestPath` into `outputFolder`, read
// once as the join starts, under the manifest's name without ".splt". Pieces are looked for in the
// manifest's folder, opened once and locked shared from before the manifest is read
// to the end, so that no split rewrites the set meanwhile while other joins may read
// it; the output folder is opened once and locked exclusively. The
// manifest is read block by block and never held whole. The output is written to a
// temporary file that nothing can leave behind and named at the end, replacing an
// earlier file only after an fdatasync; a join that ends early keeps an earlier file
// of the output name untouched. An entry with a NUL byte is a missing piece. Refused
// with a plain message: a manifest larger than 134,283,264 bytes or with more than
// 32767 entries, an output that is part of the piece set, a pieces' folder a split
// is writing to, and an output folder another split or join is writing to or reading
// from. An empty output folder fails at step 118. When the checksum
// file lies beside the manifest, each piece is checked against it while it is
// appended, and the join stops at the first piece that does not match, keeping
// nothing of it.
// Given a piece or the .crc of a set found by name rather than listed (NAME.001..,
// xaa.., NAME.crc; see PieceSetReader.h), joins that set the same way into the name
// its .crc gives, else the pieces' name less their suffix; a number missing before
// the highest piece, or after the last where the .crc counts more bytes, is a
// missing piece. A sums file beside that names the pieces checks them as the
// checksum file does; the .crc, and a sums line naming the joined file, check the
// joined bytes once all are there: a mismatch ends the join with
// JoinedFileMismatch, publishing nothing. A .crc that is not one fails step 102.
// Once the set is read, the host is told the bytes the join will write, from the
// first and the last piece alone (a stat of every piece would cost a join of many
// small pieces a tenth of its time); 0 when either is missing.
Outcome JoinFiles(const std::string& manifestPath, const std::string& outputFolder, EngineHost& host,
                  const JoinOptions& options = {});

// Joins as JoinFiles does, but writes the joined bytes to `outputFd` (standard output,
// a pipe) as they come, in place of a file; `outputName` names it in failure
// descriptions. Nothing is written into a folder, and nothing is locked or published.
// With the checksum file beside the manifest, each piece is hashed before any of it
// is written, so that a damaged piece's bytes never reach the reader; a missing or
// damaged piece ends the join with its message after the bytes of the pieces before
// it, which cannot be taken back. Refused when the stream is the manifest or one of
// its pieces. A set found by name is checked as a whole once its bytes went out: a
// mismatch ends the join without success.
Outcome JoinToStream(const std::string& manifestPath, int outputFd, const std::string& outputName, EngineHost& host,
                     const JoinOptions& options = {});

} // namespace SplitMergeFile
