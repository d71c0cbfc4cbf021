#include "Help.h"

#include "StartUp.h"
#include "WindowHost.h"

namespace Help {

QString helpText() {
    return QStringLiteral("Questions? Please contact Team Velmarc at ") + QLatin1String(StartUp::contactPage);
}

void showHelp(WindowHost& window) {
    window.procedure("PushButton6_Click").run(100, [&] { window.notice(helpText()); });
}

} // namespace Help
