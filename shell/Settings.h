#pragma once

#include <QByteArray>
#include <QString>
#include <QVariant>

// The per-user settings of Quarnel: application "Velmarc", group "Quarnel", text
// values only. Every read and every write goes to the INI file at once.
class Settings {
public:
    static constexpr const char* outputFolderKey = "Output Folder";
    static constexpr const char* chunkSizeKey = "Chunk Size";
    static constexpr const char* lastFolderKey = "LastFolderDot";

    // The file of the user's settings: ~/.config/Velmarc.conf.
    static QString defaultFile();

    explicit Settings(QString file);

    // The stored text of `key`, or `defaultValue` when the key is absent; throws
    // std::runtime_error when the file exists but cannot be read.
    QString read(const QString& key, const QString& defaultValue) const;

    // Stores `value` under `key` and flushes it to disk; throws std::runtime_error
    // when the file cannot be written.
    void write(const QString& key, const QString& value) const;

    // A file or folder name as the file system has it. One that is not valid in the
    // locale's encoding is stored as bytes (@ByteArray), any other as text, so that
    // it reads back unchanged; failures as read() and write().
    QByteArray readName(const QString& key, const QByteArray& defaultValue) const;
    void writeName(const QString& key, const QByteArray& name) const;

    const QString& file() const { return m_file; }

private:
    QVariant value(const QString& key) const;
    void store(const QString& key, const QVariant& value) const;

    QString m_file;
};
