#pragma once

#include <cstdint>

#include <QLocale>
#include <QString>

namespace ChunkSize {

// True when `text` reads as a finite number under `locale`: surrounding blanks, a
// sign, the locale's group and decimal separators and an exponent are accepted.
bool isNumeric(const QString& text, const QLocale& locale = QLocale());

// The chunk size that `text` stands for: the number rounded to the nearest integer,
// exact halves to the even one. Throws std::runtime_error when the text is not
// numeric ("Type mismatch") or the result does not fit in 32 bits ("Overflow").
std::int32_t toChunkSize(const QString& text, const QLocale& locale = QLocale());

} // namespace ChunkSize
