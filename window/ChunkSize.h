#pragma once

#include <cstdint>

#include <QLocale>
#include <QString>

namespace ChunkSize {

// A finite number under `locale`, blanks around it, separators and an exponent accepted.
bool isNumeric(const QString& text, const QLocale& locale = QLocale());

// Rounded to the nearest, halves to even. Throws "Type mismatch" or "Overflow" (past 32 bits).

std::int32_t toChunkSize(const QString& text, const QLocale& locale = QLocale());

} // namespace ChunkSize
