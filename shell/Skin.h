#pragma once

#include <QString>

class QWidget;

namespace Skin {

// The skin step of start-up: when `skinFile` exists, the window, its frames and its
// labels take the button-face colour, then the file's style sheet applies to the
// window alone. Nothing happens without the file. Throws std::runtime_error naming
// the file when it cannot be read; the colours already changed stay changed.
void apply(QWidget& window, const QString& skinFile);

} // namespace Skin
