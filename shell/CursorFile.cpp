#include "shell/CursorFile.h"

#include <stdexcept>

#include <QCoreApplication>
#include <QFile>
#include <QImage>
#include <QPixmap>

namespace CursorFile {

namespace {

// A .cur file names its hot spot in the first directory entry; QImageReader drops it.
QPoint hotSpotOf(const QByteArray& file, const QSize& size) {
    if (file.size() >= 14 && file.at(2) == 2 && file.at(3) == 0) {
        const auto u16 = [&file](int at) {
            return static_cast<int>(static_cast<unsigned char>(file.at(at))) |
                   (static_cast<int>(static_cast<unsigned char>(file.at(at + 1))) << 8);
        };
        const QPoint hotSpot(u16(10), u16(12));
        if (hotSpot.x() < size.width() && hotSpot.y() < size.height()) {
            return hotSpot;
        }
    }
    return {-1, -1};
}

} // namespace

QCursor load(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        throw std::runtime_error(QCoreApplication::translate("CursorFile", "Cannot read %1: %2")
                                     .arg(path, file.errorString())
                                     .toStdString());
    }
    const QByteArray contents = file.readAll();
    QImage image;
    if (!image.loadFromData(contents, "CUR") && !image.loadFromData(contents)) {
        throw std::runtime_error(
            QCoreApplication::translate("CursorFile", "Invalid picture: %1").arg(path).toStdString());
    }
    const QPoint hotSpot = hotSpotOf(contents, image.size());
    return QCursor(QPixmap::fromImage(image), hotSpot.x(), hotSpot.y());
}

} // namespace CursorFile
