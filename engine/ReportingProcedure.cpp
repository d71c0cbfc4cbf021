#include "engine/ReportingProcedure.h"

#include <exception>

ReportingProcedure::ReportingProcedure(std::string sourceLabel, Reporter reporter)
    : m_sourceLabel(std::move(sourceLabel)), m_reporter(std::move(reporter)) {}

void ReportingProcedure::reportCurrent(int line) const {
    try {
        throw;
    } catch (const std::exception& failure) {
        m_reporter(m_sourceLabel, line, failure.what());
    } catch (...) {
        m_reporter(m_sourceLabel, line, "Unknown failure");
    }
}

void ReportingProcedure::run(int line, const std::function<void()>& action) const {
    try {
        action();
    } catch (...) {
        reportCurrent(line);
    }
}

bool ReportingProcedure::test(int line, const std::function<bool()>& condition, bool ifItFails) const {
    try {
        return condition();
    } catch (...) {
        reportCurrent(line);
        return ifItFails;
    }
}
