#include "feedback/Help.h"

#include <QCoreApplication>

#include "shell/StartUp.h"
#include "shell/WindowHost.h"

namespace Help {

QString helpText() {
    return QCoreApplication::translate("Help", "Questions? Please contact Team Velmarc at %1")
        .arg(QLatin1String(StartUp::contactPage));
}

void showHelp(WindowHost& window) {
    window.procedure("PushButton6_Click").run(100, [&] { window.notice(helpText()); });
}

} // namespace Help
