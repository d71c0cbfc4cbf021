#pragma once

#include <atomic>
#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <vector>

#include <QObject>
#include <QTimer>

#include "engine/EngineHost.h"

class QEventLoop;

// Runs one engine call on a worker thread while the thread that owns this object (the
// window's) keeps turning its event loop, so that no copy, however slow the disk,
// freezes the window. To the caller it looks synchronous: run() returns when the call
// has ended. Progress reaches the window's host in order with everything else, every
// value of it, but without a wake-up of the window's thread per piece: the window takes
// what has queued up when a few values are waiting, and otherwise at most a pacing
// interval after they came. Only the calls that need the window (an answer, or a box
// the user must see before the engine goes on) wait for it. The engine's event-loop
// turn asks nothing of the window: it answers from the stop flag.
class EngineRun : public QObject {
    Q_OBJECT

public:
    explicit EngineRun(EngineHost& host, QObject* parent = nullptr);
    ~EngineRun() override;

    // Runs `job` on a worker thread with a host that forwards to the window's, and
    // returns when `job` has returned. An exception that leaves `job` is thrown here.
    // When the application quits meanwhile (its event loops then end at once), the
    // job is asked to stop and its last host calls are served here until it ends.
    void run(const std::function<void(EngineHost&)>& job);

    // Makes the running job's next event-loop turn answer "stop". Any thread. Without
    // a running job it does nothing.
    void requestStop();

private:
    class WorkerHost;
    struct Progress {
        bool maximum; // else a value
        int number;
    };

    // Worker side: has `action` carried out on the owning thread and waits for it;
    // what `action` throws is thrown here.
    void callOnOwner(const std::function<void()>& action);
    // Owner side: carries out the pending call, if any.
    void serve();
    void finish(std::exception_ptr failure);
    // Worker side: queues a progress call. Waits first while the window is too far
    // behind, so that what it shows and a stop it asks for stay close to the work.
    void queueProgress(Progress progress);
    // Owner side: hands what is queued to the host, in order.
    void showProgress();
    // Owner side: the queued notification, then the pacing timer's timeouts.
    void progressArrived();
    void progressPaced();

    EngineHost& m_host;
    std::atomic<bool> m_stop{false}; // the one stop request of a run
    // The most progress calls queued and not yet taken.
    static constexpr std::size_t maxUnshown = 16;
    static constexpr int pacingMs = 10;
    std::vector<Progress> m_progress; // guarded by m_mutex
    bool m_progressPosted = false;    // a notification or the timer is on its way; guarded by m_mutex
    QTimer m_pacing;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::function<void()> m_request; // guarded by m_mutex
    bool m_requestDone = false;      // guarded by m_mutex
    bool m_finished = true;          // guarded by m_mutex
    std::exception_ptr m_failure;    // guarded by m_mutex
    QEventLoop* m_loop = nullptr;
};
