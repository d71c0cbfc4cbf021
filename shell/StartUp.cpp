#include "shell/StartUp.h"

#include <cmath>
#include <stdexcept>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QIcon>
#include <QStandardPaths>
#include <QUrl>
#include <QWidget>

#include "engine/Main.h"
#include "shell/CursorFile.h"
#include "shell/Outside.h"
#include "shell/Settings.h"
#include "shell/Skin.h"
#include "shell/WindowHost.h"

namespace StartUp {

namespace {

std::string bytes(const QString& path) {
    return QFile::encodeName(path).toStdString();
}

} // namespace

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

void load(WindowHost& window) {
    const QString programFolder = window.outside().programFolder;
    const ReportingProcedure load = window.procedure("Form_Load");
    const auto inProgramFolder = [&](const char* suffix) { return programFolder + QLatin1String(suffix); };

    if (load.test(
            102, [&] { return Main::PathExists(bytes(inProgramFolder(handCursorSuffix))); }, true)) {
        load.run(104, [&] { window.setMouseIcon(CursorFile::load(inProgramFolder(handCursorSuffix))); });
    }
    load.run(106, [&] { Skin::apply(window.form(), inProgramFolder(skinSuffix)); });
    load.run(108, [&] {
        if (homePageDrawHits(window.outside().random.draw()) &&
            !window.outside().desktop.openUrl(QUrl(QString::fromLatin1(homePage)))) {
            throw std::runtime_error(
                QCoreApplication::translate("StartUp", "Cannot open %1").arg(QLatin1String(homePage)).toStdString());
        }
    });
    window.form().setWindowTitle(QString::fromLatin1(productName));
    load.run(126, [&] {
        const QIcon programIcon(QStringLiteral(":/quarnel/quarnel.png"));
        if (programIcon.isNull()) {
            throw std::runtime_error(
                QCoreApplication::translate("StartUp", "The program icon is missing").toStdString());
        }
        window.form().setWindowIcon(programIcon);
    });
    window.setApplicationTitle(applicationTitle(QString::fromLatin1(productName)));
    // The title captions the boxes that name none (notice() passes it). A display
    // name would instead be appended by Qt to every window title that does not end
    // with it ("Application Error — Quarnel"); an empty one never is.
    QGuiApplication::setApplicationDisplayName(QString());
    load.run(128, [&] {
        const QString desktop = GetDesktopFolder();
        window.setFieldName(
            WindowHost::Field::Text2,
            window.settings().readName(QLatin1String(Settings::outputFolderKey), QFile::encodeName(desktop)));
    });
    load.run(130, [&] {
        window.setFieldText(WindowHost::Field::Text3, window.settings().read(QLatin1String(Settings::chunkSizeKey),
                                                                             QString::fromLatin1(defaultChunkSize)));
    });
}

} // namespace StartUp
