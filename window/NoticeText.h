#pragma once

#include <QString>

#include "engine/Messages.h"

namespace NoticeText {

// The notice in the user's language: its English template translated, the arguments
// put in where the translation has them. A template without a translation shows as
// the engine's English.
QString text(const Notice& notice);

} // namespace NoticeText
