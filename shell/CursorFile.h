#pragma once

#include <QCursor>
#include <QString>

namespace CursorFile {

// The cursor in the .cur file at `path`, with the hot spot the file names. Throws
// std::runtime_error naming the file when it cannot be read or holds no picture.
QCursor load(const QString& path);

} // namespace CursorFile
