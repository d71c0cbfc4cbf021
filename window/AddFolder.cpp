#include "window/AddFolder.h"

#include <QFileDialog>

namespace AddFolder {

QString BrowseForFolder(QWidget* owner, const QString& prompt, const QString& startFolder) {
    return QFileDialog::getExistingDirectory(owner, prompt, startFolder, QFileDialog::ShowDirsOnly);
}

} // namespace AddFolder
