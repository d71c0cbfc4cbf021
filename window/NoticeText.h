#pragma once

#include <QString>

#include "engine/Messages.h"

namespace NoticeText {

// In the user's language, the English where there is no translation.
QString text(const Notice& notice);
QString errorCaption();

} // namespace NoticeText
