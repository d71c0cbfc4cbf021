#include "window/Controls.h"

#include <QKeyEvent>
#include <QMouseEvent>

PushButton::PushButton(const QString& caption, QWidget* parent) : QPushButton(caption, parent) {
    setMouseTracking(true);
}

void PushButton::mouseMoveEvent(QMouseEvent* event) {
    emit mouseMoved();
    QPushButton::mouseMoveEvent(event);
    // The button ignores a move without a pressed mouse button, which would pass it on
    // to the frame or window behind and reset the pointer the button just set.
    event->accept();
}

void PushButton::keyPressEvent(QKeyEvent* event) {
    // Outside a dialog QPushButton leaves Enter to the window; here it is the button's.
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (enter && (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
        if (!event->isAutoRepeat()) {
            click();
        }
        event->accept();
        return;
    }
    QPushButton::keyPressEvent(event);
}
