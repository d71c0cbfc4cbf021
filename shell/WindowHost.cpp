#include "shell/WindowHost.h"

#include "engine/ErrorReport.h"

ReportingProcedure WindowHost::procedure(const char* name) {
    return ReportingProcedure(ErrorReport::sourceLabel("Form1", name),
                              [this](const std::string& label, int line, const std::string& description) {
                                  reportError(label, line, description);
                              });
}
