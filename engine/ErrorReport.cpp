#include "engine/ErrorReport.h"

namespace ErrorReport {

std::string text(const std::string& description, const std::string& sourceLabel, int step) {
    return description + "\r\n" + sourceLabel + "at line " + std::to_string(step) + "\r\r" +
           "Please email screenshot of this message to " + supportAddress;
}

std::string sourceLabel(const std::string& module, const std::string& procedure) {
    return "in Tavrid2021/08/31." + module + "." + procedure + " ";
}

} // namespace ErrorReport
