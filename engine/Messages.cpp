#include "engine/Messages.h"

namespace Messages {

const char* englishTemplate(NoticeId id) {
    switch (id) {
    case NoticeId::FolderMissing:
        return "Folder does not exist. Please select another folder.";
    case NoticeId::AlreadySplit:
        return "Cannot split already split file.";
    case NoticeId::SplitFileMissing:
        return "%1 does not exist.";
    case NoticeId::NotLargerThanChunk:
        return "Filesize is less than or equal to chunk size.";
    case NoticeId::Done:
        return "Done.";
    case NoticeId::SplitSucceeded:
        return "File successfully split";
    case NoticeId::ChunkTooSmall:
        return "Chunk size must be at least 1 byte.";
    case NoticeId::TooManyPieces:
        return "Chunk size too small: a file can be split into at most 32767 pieces.";
    case NoticeId::LineBreakInName:
        return "The file name or the folder contains a line break, which a split file list cannot hold.";
    case NoticeId::NamesTooLong:
        return "The names of the pieces would be too long. Please use a shorter file name or folder.";
    case NoticeId::NoFileToJoin:
        return "You must select file to join.";
    case NoticeId::JoinFileMissing:
        return "%1 not exist";
    case NoticeId::JoinSucceeded:
        return "Files successfully joined";
    case NoticeId::PieceMissing:
        return "%1 splitted file not found";
    case NoticeId::PieceDamaged:
        return "%1 is damaged: its checksum does not match.";
    case NoticeId::PieceLengthWrong:
        return "%1 is damaged: its length does not match the other pieces.";
    case NoticeId::ChecksumsConflict:
        return "%1 is damaged: it lists a name twice with different checksums.";
    case NoticeId::InvalidManifest:
        return "%1 is not a valid split file list.";
    case NoticeId::JoinOverwritesPieceSet:
        return "The joined file would overwrite its own piece set. Please select another output folder.";
    case NoticeId::AnotherRunWriting:
        return "Another split or join is writing these files. Please wait until it ends.";
    case NoticeId::TooLargeForParts:
        return "The file is too large for %1 pieces: a piece would hold more than 2147483647 bytes, the most a "
               "split file list allows.";
    case NoticeId::NoFileToVerify:
        return "You must select file to verify.";
    }
    return "";
}

std::string substitute(const std::string& text, const std::vector<std::string>& arguments) {
    std::string result;
    result.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char next = i + 1 < text.size() ? text[i + 1] : '\0';
        if (text[i] == '%' && next >= '1' && next <= '9' && static_cast<std::size_t>(next - '1') < arguments.size()) {
            result += arguments[static_cast<std::size_t>(next - '1')];
            ++i;
        } else {
            result += text[i];
        }
    }
    return result;
}

std::string text(const Notice& notice) {
    return substitute(englishTemplate(notice.id), notice.arguments);
}

} // namespace Messages
