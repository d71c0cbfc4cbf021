#include "shell/ReportingProcedure.h"

#include <exception>

ReportingProcedure::ReportingProcedure(std::string sourceLabel, Reporter reporter)
    : m_sourceLabel(std::move(sourceLabel)), m_reporter(std::move(reporter)) {}

void ReportingProcedure::run(int line, const std::function<void()>& action) const {
    try {
        action();
    } catch (const std::exception& failure) {
        m_reporter(m_sourceLabel, line, failure.what());
    } catch (...) {
        m_reporter(m_sourceLabel, line, "Unknown failure");
    }
}

bool ReportingProcedure::test(int line, const std::function<bool()>& condition, bool ifItFails) const {
    bool result = ifItFails;
    run(line, [&] { result = condition(); });
    return result;
}
