#pragma once

#include <string>

namespace ErrorReport {

inline constexpr const char* supportAddress = "support@velmarc.example";

// The error report box, captioned "Application Error", reads: the description, CR LF,
// the procedure's source label (which ends with a blank), "at line " and the step
// number, two CRs, then the request to mail a screenshot to the support address.

// The fixed source label of a procedure: "in Tavrid2021/08/31.<module>.<procedure> ".
std::string sourceLabel(const std::string& module, const std::string& procedure);

} // namespace ErrorReport
