#include "Hover.h"

namespace Hover {

std::optional<int> valueFor(const QString& controlName) {
    static const QString plain[] = {
        QStringLiteral("Form1"), QStringLiteral("Frame1"), QStringLiteral("Frame2"), QStringLiteral("Label3"),
        QStringLiteral("Text1"), QStringLiteral("Text2"),  QStringLiteral("Text3"),  QStringLiteral("Text4"),
    };
    for (const QString& name : plain) {
        if (controlName == name) {
            return defaultPointer;
        }
    }
    if (controlName.startsWith(QLatin1String("PushButton"))) {
        bool ok = false;
        const int number = controlName.mid(10).toInt(&ok);
        if (ok && number >= 1 && number <= 8 && controlName.size() == 11) {
            return customPointer;
        }
    }
    return std::nullopt;
}

int nextPointer(int current, int controlValue) {
    return current == busyPointer ? busyPointer : controlValue;
}

} // namespace Hover
