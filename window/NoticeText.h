#pragma once

#include <QString>

#include "engine/Messages.h"

namespace NoticeText {

// The notice in the user's language: its English template translated, the arguments
// put in where the translation has them. A template without a translation shows as
// the engine's English.
QString text(const Notice& notice);

// The error report's caption in the user's language: the box's, and the desktop
// notification's of a run that failed.
QString errorCaption();

} // namespace NoticeText
