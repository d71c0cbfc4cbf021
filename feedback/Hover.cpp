#include "feedback/Hover.h"

#include <QLineEdit>
#include <QWidget>

#include "shell/WindowHost.h"

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

void hoverOver(WindowHost& window, const QObject& control) {
    const std::optional<int> value = valueFor(control.objectName());
    if (value) {
        window.setMousePointer(nextPointer(window.MousePointer(), *value));
    }
}

bool filterMovement(WindowHost& window, const QObject& control) {
    hoverOver(window, control);
    return qobject_cast<const QLineEdit*>(&control) == nullptr;
}

void showPointer(QWidget& window, int pointer, const std::optional<QCursor>& icon, const QList<QWidget*>& pushButtons,
                 const QList<QWidget*>& textFields) {
    const QCursor hand = icon.value_or(QCursor(Qt::PointingHandCursor));
    switch (pointer) {
    case busyPointer:
        window.setCursor(Qt::WaitCursor);
        break;
    case customPointer:
        // Over the window and the controls without a pointer of their own (the labels
        // and the progress bar) the hand stays until a control sets 0 again.
        window.setCursor(hand);
        break;
    default:
        window.unsetCursor();
        break;
    }
    for (QWidget* button : pushButtons) {
        if (pointer == busyPointer) {
            button->setCursor(Qt::WaitCursor);
        } else if (pointer == customPointer) {
            button->setCursor(hand);
        } else {
            button->unsetCursor();
        }
    }
    for (QWidget* field : textFields) {
        field->setCursor(pointer == busyPointer ? Qt::WaitCursor : Qt::IBeamCursor);
    }
}

} // namespace Hover
