#include "window/Controls.h"

#include <algorithm>

#include <QKeyEvent>
#include <QMouseEvent>
#include <QProgressBar>

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

ProgressBar::ProgressBar(QProgressBar* bar) : m_bar(bar) {
    m_bar->setRange(0, 100);
}

void ProgressBar::setValue(int value) {
    m_bar->setValue(std::clamp(value, 0, m_bar->maximum()));
}

void ProgressBar::setMaximum(int maximum) {
    // A range of 0..0 would make the bar an endless busy indicator.
    m_bar->setRange(0, std::max(maximum, 1));
}

void ProgressBar::setText(const QString& text) {
    m_bar->setFormat(text);
}
