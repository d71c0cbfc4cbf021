#include "shell/Languages.h"

#include <QCoreApplication>
#include <QLibraryInfo>

QString Languages::install(const QLocale& locale, const QString& folder) {
    // In the order the user prefers: "de_AT" finds quarnel_de.qm. English ends the
    // search, so that a later language of the list (LANGUAGE=en_GB:de) is not shown
    // to an English user.
    for (QString language : locale.uiLanguages()) {
        language.replace(QLatin1Char('-'), QLatin1Char('_'));
        if (language == QLatin1String("C") || language == QLatin1String("en") ||
            language.startsWith(QLatin1String("en_"))) {
            return {};
        }
        if (!m_own.load(QStringLiteral("quarnel_") + language, folder)) {
            continue;
        }
        // Qt's own are a help, not a need: without them its buttons stay English.
        if (m_qt.load(QStringLiteral("qtbase_") + language, QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
            QCoreApplication::installTranslator(&m_qt);
        }
        QCoreApplication::installTranslator(&m_own);
        return m_own.language();
    }
    return {};
}
