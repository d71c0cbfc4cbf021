#include <QApplication>

#include "Form1.h"
#include "QtOutside.h"
#include "Settings.h"

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);

    QtMessageBoxes messages;
    QtFileDialogs dialogs;
    QtDesktop desktop;
    TimeSeededRandom random;
    Form1 form(
        Outside{messages, dialogs, desktop, random, Settings::defaultFile(), QCoreApplication::applicationDirPath()});
    form.Form_Load();
    form.show();
    return QApplication::exec();
}
