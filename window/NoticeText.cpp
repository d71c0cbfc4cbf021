#include "window/NoticeText.h"

#include <QCoreApplication>
#include <QFile>

namespace NoticeText {

QString text(const Notice& notice) {
    const QString translated = QCoreApplication::translate("Notice", Messages::englishTemplate(notice.id));
    // The arguments are paths as the file system names them: put in as bytes, the
    // engine's way, and the whole decoded once.
    const std::string bytes = QFile::encodeName(translated).toStdString();
    return QFile::decodeName(QByteArray::fromStdString(Messages::substitute(bytes, notice.arguments)));
}

QString errorCaption() {
    return QCoreApplication::translate("ErrorReport", "Application Error");
}

} // namespace NoticeText
