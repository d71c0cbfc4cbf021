#include "window/AddFolder.h"

#include <QFileDialog>

#include "window/Drops.h"

namespace AddFolder {

// The portal's dialogs answer with URLs, which keep every byte of a name.
QByteArray BrowseForFolder(QWidget* owner, const QString& prompt, const QString& startFolder) {
    const QUrl url = QFileDialog::getExistingDirectoryUrl(owner, prompt, QUrl::fromLocalFile(startFolder),
                                                          QFileDialog::ShowDirsOnly, {QStringLiteral("file")});
    return url.isLocalFile() ? Drops::localName(url) : QByteArray();
}

} // namespace AddFolder
