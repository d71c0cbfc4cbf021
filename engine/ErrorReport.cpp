#include "engine/ErrorReport.h"

namespace ErrorReport {

std::string sourceLabel(const std::string& module, const std::string& procedure) {
    return "in Tavrid2021/08/31." + module + "." + procedure + " ";
}

} // namespace ErrorReport
