#include "Help.h"

#include "StartUp.h"

namespace Help {

QString helpText() {
    return QStringLiteral("Questions? Please contact Team Velmarc at ") + QLatin1String(StartUp::contactPage);
}

} // namespace Help
