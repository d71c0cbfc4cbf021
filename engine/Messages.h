#pragma once

#include <string>
#include <vector>

// Every message the program shows, by what it means; each front end decides where to show them.
enum class NoticeId {
    // The split command and the splitter.
    FolderMissing,
    AlreadySplit,
    SplitFileMissing, // %1 the file as the user gave it
    NotLargerThanChunk,
    Done,
    SplitSucceeded,
    ChunkTooSmall,
    TooManyPieces,
    LineBreakInName,
    NamesTooLong,
    // The join command and the joiner.
    NoFileToJoin,
    JoinFileMissing, // %1 the list as the user gave it
    JoinSucceeded,
    PieceMissing,      // %1 the piece's path
    PieceDamaged,      // %1 the piece's path
    PieceLengthWrong,  // %1 the piece's path
    ChecksumsConflict, // %1 the checksum file's path
    InvalidManifest,   // %1 the list's path
    JoinOverwritesPieceSet,
    AnotherRunWriting,
    PiecesRebuilt,      // %1 how many pieces the recovery files rebuilt
    RecoveryNotEnough,  // %1 how many more recovery pieces are needed
    JoinedFileMismatch, // %1 the .crc or sums file's path
    // The command line's own.
    TooLargeForParts, // %1 the number of parts
};

struct Notice {
    NoticeId id;
    std::vector<std::string> arguments = {}; // %1, %2, ...
};

namespace Messages {

// Also the source of the translations.
const char* englishTemplate(NoticeId id);
// In one pass: an argument that holds "%2" stays as it is.
std::string substitute(const std::string& text, const std::vector<std::string>& arguments);
std::string text(const Notice& notice);

} // namespace Messages
