#include "window/NoticeText.h"

#include <QCoreApplication>
#include <QFile>

namespace NoticeText {

namespace {

struct Entry {
    NoticeId id;
    const char* source;
};

// The templates of engine/Messages again, for lupdate to find; a test holds the two equal.
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
    // The command line's own are never shown by the window.
};

} // namespace

const char* source(NoticeId id) {
    for (const Entry& entry : entries) {
        if (entry.id == id) {
            return entry.source;
        }
    }
    return nullptr;
}

QString text(const Notice& notice) {
    const char* english = source(notice.id);
    const std::string translated = english
                                       ? QFile::encodeName(QCoreApplication::translate("Notice", english)).toStdString()
                                       : Messages::englishTemplate(notice.id);
    // The arguments are paths as the file system names them: put in as bytes, the
    // engine's way, and the whole decoded once.
    return QFile::decodeName(QByteArray::fromStdString(Messages::substitute(translated, notice.arguments)));
}

} // namespace NoticeText
