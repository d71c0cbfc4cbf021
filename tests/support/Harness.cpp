#include "tests/support/Harness.h"

#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QProgressBar>
#include <QStyle>
#include <QStyleOptionButton>

bool Harness::writeCursorFile(QPoint pixel) const {
    QImage image(32, 32, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    image.setPixel(pixel, qRgb(0, 0, 0));
    return image.save(programFolder + QStringLiteral("/HAND-M.CUR"), "CUR");
}

Harness::Caption Harness::caption(const QWidget& widget) {
    if (const auto* button = qobject_cast<const QPushButton*>(&widget)) {
        QStyleOptionButton option;
        option.initFrom(button);
        return {button->text(),
                button->style()->subElementRect(QStyle::SE_PushButtonContents, &option, button).width()};
    }
    if (const auto* label = qobject_cast<const QLabel*>(&widget)) {
        return {label->text(), label->contentsRect().width()};
    }
    if (const auto* box = qobject_cast<const QGroupBox*>(&widget)) {
        return {box->title(), box->width()};
    }
    if (const auto* edit = qobject_cast<const QLineEdit*>(&widget)) {
        return {edit->text(), edit->width()};
    }
    if (const auto* bar = qobject_cast<const QProgressBar*>(&widget)) {
        return {bar->text(), bar->width()};
    }
    return {};
}
