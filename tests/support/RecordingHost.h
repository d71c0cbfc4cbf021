#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/EngineHost.h"

// Records everything the engine tells its host, in order.
class RecordingHost : public EngineHost {
public:
    struct Report {
        std::string label;
        int step;
        std::string description;
    };

    std::string folder; // the output folder the test passes to the run
    std::vector<NoticeId> notices;
    std::vector<std::string> messages; // the notices' texts
    std::vector<Report> reports;
    std::vector<int> values;
    int maximum = 0;
    std::int64_t expectedBytes = -1; // -1: never told
    int turns = 0;
    // Called at every event-loop turn with its number (from 1); false stops the engine.
    std::function<bool(int)> onTurn;

    void setProgressValue(int value) override { values.push_back(value); }
    void setProgressMaximum(int value) override { maximum = value; }
    void setExpectedBytes(std::int64_t bytes) override { expectedBytes = bytes; }
    void showNotice(const Notice& notice) override {
        notices.push_back(notice.id);
        messages.push_back(Messages::text(notice));
    }
    void reportError(const std::string& label, int step, const Fault& fault) override {
        reports.push_back({label, step, fault.description()});
    }
    bool keepGoing() override {
        ++turns;
        return !onTurn || onTurn(turns);
    }
};
