#include "feedback/Help.h"

#include "shell/StartUp.h"
#include "shell/WindowHost.h"

namespace Help {

QString helpText() {
    return QStringLiteral("Questions? Please contact Team Velmarc at ") + QLatin1String(StartUp::contactPage);
}

void showHelp(WindowHost& window) {
    window.procedure("PushButton6_Click").run(100, [&] { window.notice(helpText()); });
}

} // namespace Help
