#include <cstdio>

#include <QApplication>
#include <QFile>

#include "shell/Arguments.h"
#include "shell/DesktopBus.h"
#include "shell/Languages.h"
#include "shell/Settings.h"
#include "window/Form1.h"
#include "window/QtOutside.h"

int main(int argc, char* argv[]) {
    // Answered before the application object exists: --help, --version and a usage
    // error need no display.
    QStringList arguments;
    QList<QByteArray> names;
    for (int i = 0; i < argc; ++i) {
        arguments << QFile::decodeName(argv[i]);
        names << QByteArray(argv[i]);
    }
    const Arguments::Outcome outcome = Arguments::parse(arguments);
    switch (outcome.action) {
    case Arguments::Outcome::Action::Help:
    case Arguments::Outcome::Action::Version:
        std::fputs(qPrintable(outcome.text), stdout);
        return std::fflush(stdout) == 0 ? 0 : 1;
    case Arguments::Outcome::Action::Usage:
        std::fputs(qPrintable(outcome.text), stderr);
        return Arguments::exitUsage;
    case Arguments::Outcome::Action::ShowWindow:
        break;
    }

    // Qt sees the program's name only: its own options were refused above, and a
    // file named like one (after "--") is ours, not Qt's.
    int qtArgc = 1;
    QApplication application(qtArgc, argv);
    // Wayland finds the window's icon and "Open with" entry through the desktop id;
    // X11 docks match the window's class, the application name, with StartupWMClass.
    QGuiApplication::setDesktopFileName(QStringLiteral("example.velmarc.Quarnel"));
    QCoreApplication::setApplicationName(QStringLiteral("quarnel"));

    // Before the window is built: its captions are translated as it makes them.
    Languages languages;
    languages.install(QLocale::system(),
                      QCoreApplication::applicationDirPath() + QLatin1String(Languages::folderSuffix));

    QtMessageBoxes messages;
    QtFileDialogs dialogs;
    QtDesktop desktop;
    TimeSeededRandom random;
    Form1 form(
        Outside{messages, dialogs, desktop, random, Settings::defaultFile(), QCoreApplication::applicationDirPath()});
    // Silent where there is no desktop bus.
    QtDesktopBus bus(QDBusConnection::sessionBus(), QDBusConnection::systemBus(),
                     QStringLiteral("example.velmarc.Quarnel"), QStringLiteral("Quarnel"), QStringLiteral("quarnel"));
    form.desktopSession().setBus(&bus);
    form.Form_Load();
    if (!outcome.path.isEmpty()) {
        form.openFile(Arguments::fileName(outcome, names));
    }
    form.show();
    return QApplication::exec();
}
