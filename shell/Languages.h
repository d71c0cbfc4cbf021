#pragma once

#include <QLocale>
#include <QString>
#include <QTranslator>

// The window in the user's language: Quarnel's own translations and Qt's, for its
// buttons and the file and folder dialogs. English is no translation: under C or
// any English locale the designed texts show as they are.
class Languages {
public:
    // The folder of the translations, as a suffix of the program folder.
    static constexpr const char* folderSuffix = "/translations";

    // Installs the translations of the first of `locale`'s languages that is English
    // or shipped in `folder` (quarnel_LANGUAGE.qm), and Qt's own for that language.
    // Returns the language installed ("de"), empty for English or none shipped. The
    // translations stay installed until this object is destroyed.
    QString install(const QLocale& locale, const QString& folder);

private:
    QTranslator m_own;
    QTranslator m_qt;
};
