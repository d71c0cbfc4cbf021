#pragma once

#include <exception>
#include <functional>
#include <memory>

#include <QObject>
#include <QThread>

#include "engine/EngineHost.h"

// Runs one engine job at a time on a thread of its own for a host that lives on this
// object's thread: the window. The job's host calls reach that host as queued calls,
// in order. Progress does not wait; a notice or an error report is a box the user
// sees before the engine takes its next step, so the job waits for it, and a failure
// of the box is thrown back into the job. Whether to keep going is asked of the host
// directly on the job's thread, so the host answers it from an atomic.
class EngineRun : public QObject {
    Q_OBJECT

public:
    using Job = std::function<void(EngineHost&)>;

    explicit EngineRun(EngineHost& host, QObject* parent = nullptr);
    // Waits for a running job and serves its last calls: its host must have been
    // told to stop first.
    ~EngineRun() override;

    // Starts `job` and returns at once; finished() follows. One job at a time. Throws
    // when no thread can be started.
    void start(Job job);
    bool running() const { return m_thread != nullptr; }

signals:
    // After the job's last host call; `failure` is what left the job, if anything.
    void finished(std::exception_ptr failure);

private:
    class WorkerHost;
    void threadFinished();

    EngineHost& m_host;
    std::unique_ptr<QThread> m_thread;
    std::exception_ptr m_failure; // set by the job's thread, read once it has ended
};
