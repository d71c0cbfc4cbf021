#include "StartUp.h"

#include <cmath>

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

namespace StartUp {

QString applicationTitle(const QString& name) {
    // Without a blank there is no word to remove; the name stands as it is.
    if (!name.contains(QLatin1Char(' '))) {
        return name;
    }
    QString title = name.left(name.lastIndexOf(QLatin1Char(' ')));
    while (title.size() > 40 && title.contains(QLatin1Char(' '))) {
        title = title.left(title.lastIndexOf(QLatin1Char(' ')));
    }
    return title;
}

bool homePageDrawHits(double draw) {
    return static_cast<int>(std::floor(draw * 100.0)) + 1 == 7;
}

QString withTrailingSeparator(const QString& folder) {
    QString result = folder;
    while (result.size() > 1 && result.endsWith(QLatin1Char('/'))) {
        result.chop(1);
    }
    if (!result.endsWith(QLatin1Char('/'))) {
        result += QLatin1Char('/');
    }
    return result;
}

QString GetDesktopFolder() {
    const QString desktop = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
    if (!desktop.isEmpty() && QFileInfo(desktop).isDir()) {
        return withTrailingSeparator(desktop);
    }
    return withTrailingSeparator(QDir::homePath());
}

} // namespace StartUp
