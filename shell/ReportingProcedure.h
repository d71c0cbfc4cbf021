#pragma once

#include <functional>
#include <string>

// A procedure of the window whose statements that can fail report a failure with
// their line number and carry on, so that its last statements, which restore the
// idle look, run after any number of failures. A handler reads top to bottom with the
// line numbers beside the statements that can fail; the others stand as they are:
//
//     if (p.test(104, [&] { return folderExists(); }, true)) { ... } else { p.run(134, ...); }
//
// Failures are std::exception (its what() is the description) or anything else
// ("Unknown failure").
class ReportingProcedure {
public:
    using Reporter = std::function<void(const std::string& sourceLabel, int line, const std::string& description)>;

    ReportingProcedure(std::string sourceLabel, Reporter reporter);

    // Runs `action`; a failure is reported at `line` and the caller carries on with
    // its next statement.
    void run(int line, const std::function<void()>& action) const;
    // The value of `condition`. A failure is reported at `line` and gives
    // `ifItFails`: the branch the procedure takes after a failing test.
    bool test(int line, const std::function<bool()>& condition, bool ifItFails) const;

private:
    std::string m_sourceLabel;
    Reporter m_reporter;
};
