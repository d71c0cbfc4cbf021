#include "shell/Skin.h"

#include <stdexcept>

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QPalette>
#include <QWidget>

namespace Skin {

void apply(QWidget& window, const QString& skinFile) {
    if (!QFileInfo(skinFile).isFile()) {
        return;
    }
    const QColor buttonFace = window.palette().color(QPalette::Button);
    QPalette windowPalette = window.palette();
    windowPalette.setColor(QPalette::Window, buttonFace);
    window.setPalette(windowPalette);
    window.setAutoFillBackground(true);
    for (QWidget* widget : window.findChildren<QWidget*>()) {
        if (qobject_cast<QGroupBox*>(widget) || qobject_cast<QLabel*>(widget)) {
            QPalette own = widget->palette();
            own.setColor(widget->backgroundRole(), buttonFace);
            widget->setPalette(own);
            widget->setAutoFillBackground(true);
        }
    }
    QFile file(skinFile);
    if (!file.open(QIODevice::ReadOnly)) {
        throw std::runtime_error(
            QCoreApplication::translate("Skin", "Cannot read %1: %2").arg(skinFile, file.errorString()).toStdString());
    }
    window.setStyleSheet(QString::fromUtf8(file.readAll()));
}

} // namespace Skin
