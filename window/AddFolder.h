#pragma once

#include <QString>

class QWidget;

namespace AddFolder {

// Shows the folder dialog with `prompt`, the folder `startFolder` pre-selected when it
// exists. Returns the chosen folder's absolute path, or an empty text when cancelled.
QString BrowseForFolder(QWidget* owner, const QString& prompt, const QString& startFolder);

} // namespace AddFolder
