#include "window/ChunkSize.h"

#include <cfenv>
#include <cmath>
#include <limits>
#include <optional>
#include <stdexcept>

#include <QCoreApplication>

namespace ChunkSize {

namespace {

std::optional<double> toNumber(const QString& text, const QLocale& locale) {
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty()) {
        return std::nullopt;
    }
    bool ok = false;
    const double value = locale.toDouble(trimmed, &ok);
    if (!ok || !std::isfinite(value)) {
        return std::nullopt;
    }
    return value;
}

} // namespace

bool isNumeric(const QString& text, const QLocale& locale) {
    return toNumber(text, locale).has_value();
}

std::int32_t toChunkSize(const QString& text, const QLocale& locale) {
    const std::optional<double> value = toNumber(text, locale);
    if (!value) {
        throw std::runtime_error(QCoreApplication::translate("ChunkSize", "Type mismatch").toStdString());
    }
    // nearbyint follows the rounding mode; make sure it is to nearest, ties to even.
    const int previousMode = std::fegetround();
    std::fesetround(FE_TONEAREST);
    const double rounded = std::nearbyint(*value);
    std::fesetround(previousMode);
    if (rounded < static_cast<double>(std::numeric_limits<std::int32_t>::min()) ||
        rounded > static_cast<double>(std::numeric_limits<std::int32_t>::max())) {
        throw std::runtime_error(QCoreApplication::translate("ChunkSize", "Overflow").toStdString());
    }
    return static_cast<std::int32_t>(rounded);
}

} // namespace ChunkSize
