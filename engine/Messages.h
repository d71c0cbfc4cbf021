#pragma once

// The program's own texts that more than one front end shows.
namespace Messages {

inline constexpr const char* folderMissing = "Folder does not exist. Please select another folder.";
inline constexpr const char* alreadySplit = "Cannot split already split file.";
inline constexpr const char* splitFileMissingSuffix = " does not exist.";
inline constexpr const char* notLargerThanChunk = "Filesize is less than or equal to chunk size.";
inline constexpr const char* done = "Done.";
inline constexpr const char* splitSucceeded = "File successfully split";

inline constexpr const char* joinFileMissingSuffix = " not exist";
inline constexpr const char* noFileToJoin = "You must select file to join.";
inline constexpr const char* joinSucceeded = "Files successfully joined";
inline constexpr const char* pieceMissingSuffix = " splitted file not found";
inline constexpr const char* pieceDamagedSuffix = " is damaged: its checksum does not match.";
inline constexpr const char* pieceLengthSuffix = " is damaged: its length does not match the other pieces.";
inline constexpr const char* checksumsConflictSuffix = " is damaged: it lists a name twice with different checksums.";

inline constexpr const char* tooManyPieces = "Chunk size too small: a file can be split into at most 32767 pieces.";
inline constexpr const char* chunkTooSmall = "Chunk size must be at least 1 byte.";
inline constexpr const char* invalidManifestSuffix = " is not a valid split file list.";
inline constexpr const char* joinOverwritesPieceSet =
    "The joined file would overwrite its own piece set. Please select another output folder.";
inline constexpr const char* lineBreakInName =
    "The file name or the folder contains a line break, which a split file list cannot hold.";
inline constexpr const char* namesTooLong =
    "The names of the pieces would be too long. Please use a shorter file name or folder.";
inline constexpr const char* anotherRunWriting =
    "Another split or join is writing these files. Please wait until it ends.";

} // namespace Messages
