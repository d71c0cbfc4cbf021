#include "engine/ReportingProcedure.h"

#include <exception>
#include <stdexcept>

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

ReportingProcedure& ReportingProcedure::step(int line, Action action, int continueAt) {
    return step(line, line, std::move(action), continueAt);
}

ReportingProcedure& ReportingProcedure::step(int id, int line, Action action, int continueAt) {
    m_steps.insert_or_assign(id, Step{line, std::move(action), continueAt});
    return *this;
}

void ReportingProcedure::run(int first) const {
    int current = first;
    while (current != end) {
        const auto found = m_steps.find(current);
        if (found == m_steps.end()) {
            throw std::logic_error("step " + std::to_string(current) + " of " + m_sourceLabel + "is missing");
        }
        const Step& step = found->second;
        try {
            current = step.action();
        } catch (...) {
            reportCurrent(step.line);
            current = step.continueAt;
        }
    }
}
