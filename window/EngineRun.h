#pragma once

#include <exception>
#include <functional>
#include <memory>

#include <QObject>
#include <QThread>

#include "engine/EngineHost.h"

// Runs one engine job at a time on a thread of its own; its host calls reach the window's host queued, in order.
// A notice or error box is seen before the engine's next step, so the job waits for it; keepGoing() is asked
// directly on the job's thread.
class EngineRun : public QObject {
    Q_OBJECT

public:
    using Job = std::function<void(EngineHost&)>;

    explicit EngineRun(EngineHost& host, QObject* parent = nullptr);
    // Its host must have been told to stop first.
    ~EngineRun() override;
    // Returns at once; finished() follows. Throws when no thread can be started.
    void start(Job job);
    bool running() const { return m_thread != nullptr; }

signals:
    void finished(std::exception_ptr failure);

private:
    class WorkerHost;
    void threadFinished();

    EngineHost& m_host;
    std::unique_ptr<QThread> m_thread;
    std::exception_ptr m_failure;
};
