#pragma once

#include <QByteArray>
#include <QString>

class QWidget;

namespace AddFolder {

// Shows the folder dialog with `prompt`, the folder `startFolder` pre-selected when it
// exists. Returns the chosen folder's path as the file system names it, or nothing
// when cancelled.
QByteArray BrowseForFolder(QWidget* owner, const QString& prompt, const QString& startFolder);

} // namespace AddFolder
