#include "engine/Messages.h"

#include <algorithm>
#include <iterator>

// lupdate reads the templates below for the window's translations, by this marker;
// the engine itself knows no Qt.
#define QT_TRANSLATE_NOOP(context, text) text

namespace Messages {

namespace {

struct Entry {
    NoticeId id;
    const char* english;
};

constexpr Entry entries[] = {
    {NoticeId::FolderMissing, QT_TRANSLATE_NOOP("Notice", "Folder does not exist. Please select another folder.")},
    {NoticeId::AlreadySplit, QT_TRANSLATE_NOOP("Notice", "Cannot split already split file.")},
    {NoticeId::SplitFileMissing, QT_TRANSLATE_NOOP("Notice", "%1 does not exist.")},
    {NoticeId::NotLargerThanChunk, QT_TRANSLATE_NOOP("Notice", "Filesize is less than or equal to chunk size.")},
    {NoticeId::Done, QT_TRANSLATE_NOOP("Notice", "Done.")},
    {NoticeId::SplitSucceeded, QT_TRANSLATE_NOOP("Notice", "File successfully split")},
    {NoticeId::ChunkTooSmall, QT_TRANSLATE_NOOP("Notice", "Chunk size must be at least 1 byte.")},
    {NoticeId::TooManyPieces,
     QT_TRANSLATE_NOOP("Notice", "Chunk size too small: a file can be split into at most 32767 pieces.")},
    {NoticeId::LineBreakInName,
     QT_TRANSLATE_NOOP("Notice",
                       "The file name or the folder contains a line break, which a split file list cannot hold.")},
    {NoticeId::NamesTooLong,
     QT_TRANSLATE_NOOP("Notice",
                       "The names of the pieces would be too long. Please use a shorter file name or folder.")},
    {NoticeId::NoFileToJoin, QT_TRANSLATE_NOOP("Notice", "You must select file to join.")},
    {NoticeId::JoinFileMissing, QT_TRANSLATE_NOOP("Notice", "%1 not exist")},
    {NoticeId::JoinSucceeded, QT_TRANSLATE_NOOP("Notice", "Files successfully joined")},
    {NoticeId::PieceMissing, QT_TRANSLATE_NOOP("Notice", "%1 splitted file not found")},
    {NoticeId::PieceDamaged, QT_TRANSLATE_NOOP("Notice", "%1 is damaged: its checksum does not match.")},
    {NoticeId::PieceLengthWrong,
     QT_TRANSLATE_NOOP("Notice", "%1 is damaged: its length does not match the other pieces.")},
    {NoticeId::ChecksumsConflict,
     QT_TRANSLATE_NOOP("Notice", "%1 is damaged: it lists a name twice with different checksums.")},
    {NoticeId::InvalidManifest, QT_TRANSLATE_NOOP("Notice", "%1 is not a valid split file list.")},
    {NoticeId::JoinOverwritesPieceSet,
     QT_TRANSLATE_NOOP("Notice",
                       "The joined file would overwrite its own piece set. Please select another output folder.")},
    {NoticeId::AnotherRunWriting,
     QT_TRANSLATE_NOOP("Notice", "Another split or join is writing these files. Please wait until it ends.")},
    {NoticeId::PiecesRebuilt, QT_TRANSLATE_NOOP("Notice", "Pieces rebuilt from the recovery files: %1.")},
    {NoticeId::RecoveryNotEnough,
     QT_TRANSLATE_NOOP("Notice",
                       "The recovery files are not enough to rebuild the missing or damaged pieces: %1 more are needed.")},
    {NoticeId::JoinedFileMismatch,
     QT_TRANSLATE_NOOP("Notice", "The joined file does not match %1: one of its pieces is damaged.")},
    // The command line's own, never shown by the window.
    {NoticeId::TooLargeForParts,
     "The file is too large for %1 pieces: a piece would hold more than 2147483647 bytes, the most a "
     "split file list allows."},
};

} // namespace

const char* englishTemplate(NoticeId id) {
    const auto* entry = std::find_if(std::begin(entries), std::end(entries),
                                     [id](const Entry& candidate) { return candidate.id == id; });
    return entry != std::end(entries) ? entry->english : "";
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
