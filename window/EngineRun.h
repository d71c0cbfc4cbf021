#pragma once

#include <atomic>
#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>

#include <QObject>

#include "engine/EngineHost.h"

class QEventLoop;

// Runs one engine call on a worker thread while the thread that owns this object (the
// window's) keeps turning its event loop, so that no copy, however slow the disk,
// freezes the window. To the caller it looks synchronous: run() returns when the call
// has ended. Every call the engine makes on its host is carried out on the owning
// thread by the window's own host, one at a time and in order, while the worker waits
// for it (a progress value alone is not waited for: it goes along with the next call);
// the engine's event-loop turn becomes such a call too, so a turn still comes before
// each piece and its answer still decides whether the engine goes on.
class EngineRun : public QObject {
public:
    explicit EngineRun(EngineHost& host, QObject* parent = nullptr);
    ~EngineRun() override;

    // Runs `job` on a worker thread with a host that forwards to the window's, and
    // returns when `job` has returned. An exception that leaves `job` is thrown here.
    // When the application quits meanwhile (its event loops then end at once), the
    // job is asked to stop and its last host calls are served here until it ends.
    void run(const std::function<void(EngineHost&)>& job);

    // Makes the running job's next event-loop turn answer "stop". Any thread.
    void requestStop();

private:
    class WorkerHost;

    // Worker side: has `action` carried out on the owning thread and waits for it;
    // what `action` throws is thrown here.
    void callOnOwner(const std::function<void()>& action);
    // Owner side: carries out the pending call, if any.
    void serve();
    void finish(std::exception_ptr failure);

    EngineHost& m_host;
    std::atomic<bool> m_stop{false};
    std::optional<int> m_pendingValue; // the worker's alone
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::function<void()> m_request; // guarded by m_mutex
    bool m_requestDone = false;      // guarded by m_mutex
    bool m_finished = true;          // guarded by m_mutex
    std::exception_ptr m_failure;    // guarded by m_mutex
    QEventLoop* m_loop = nullptr;
};
