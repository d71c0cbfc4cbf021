#pragma once

#include <QPushButton>

class QProgressBar;

// The window's push button: a caption, a font, a click and a mouse-movement event.
// Enter and Return click it as Space does.
class PushButton : public QPushButton {
    Q_OBJECT
public:
    PushButton(const QString& caption, QWidget* parent);

signals:
    void mouseMoved();

protected:
    void mouseMoveEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
};

// The window's progress bar, as the commands and the engine use it: a settable value,
// maximum and text. The minimum stays 0.
class ProgressBar {
public:
    explicit ProgressBar(QProgressBar* bar);

    void setValue(int value);
    void setMaximum(int maximum);
    void setText(const QString& text);

private:
    QProgressBar* m_bar;
};
