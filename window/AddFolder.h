#pragma once

#include <QByteArray>
#include <QString>

class QWidget;

namespace AddFolder {

// The chosen folder as the file system names it; nothing when cancelled.

QByteArray BrowseForFolder(QWidget* owner, const QString& prompt, const QString& startFolder);

} // namespace AddFolder
