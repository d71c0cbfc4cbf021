#pragma once

#include <QString>

#include "engine/Messages.h"

// The engine's notices in the user's language: each id's English template, the
// source of its translation, with the arguments put in where the translation has
// them.
namespace NoticeText {

// The English template the window translates for `id`; null for an id it does not
// know, which then shows the engine's English text.
const char* source(NoticeId id);

QString text(const Notice& notice);

} // namespace NoticeText
