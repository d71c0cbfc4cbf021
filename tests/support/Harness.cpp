#include "tests/support/Harness.h"

#include <QImage>

bool Harness::writeCursorFile(QPoint pixel) const {
    QImage image(32, 32, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    image.setPixel(pixel, qRgb(0, 0, 0));
    return image.save(programFolder + QStringLiteral("/HAND-M.CUR"), "CUR");
}
