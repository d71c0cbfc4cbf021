#pragma once

#include <QPushButton>

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
