#pragma once

#include <functional>
#include <map>
#include <string>

// Numbered steps with report-and-carry-on. Each step has an action that returns the
// next step; when an action throws, the failure is reported with the step's line
// number and the procedure goes on at the step its continue-at table names. So the
// last steps, which restore the idle look, run after any number of failures.
class ReportingProcedure {
public:
    static constexpr int end = -1;

    using Action = std::function<int()>;
    using Reporter = std::function<void(const std::string& sourceLabel, int line, const std::string& description)>;

    ReportingProcedure(std::string sourceLabel, Reporter reporter);

    // A step whose identity is its line number.
    ReportingProcedure& step(int line, Action action, int continueAt);
    // A second action under one line number (a line holding two statements): its own
    // identity `id`, reported as `line`.
    ReportingProcedure& step(int id, int line, Action action, int continueAt);

    // Runs from step `first` until an action returns `end`.
    void run(int first) const;

private:
    struct Step {
        int line;
        Action action;
        int continueAt;
    };
    std::string m_sourceLabel;
    Reporter m_reporter;
    std::map<int, Step> m_steps;
};
