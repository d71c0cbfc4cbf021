#include "window/EngineRun.h"

#include <string>
#include <thread>
#include <utility>

#include <QEventLoop>
#include <QMetaObject>

// The host the engine sees on the worker.
class EngineRun::WorkerHost : public EngineHost {
public:
    explicit WorkerHost(EngineRun& run) : m_run(run) {}

    void setProgressValue(int value) override { m_run.queueProgress({false, value}); }
    void setProgressMaximum(int maximum) override { m_run.queueProgress({true, maximum}); }
    // Notices and error reports are boxes the user sees before the engine goes on.
    void showNotice(const Notice& notice) override {
        m_run.callOnOwner([&] { m_run.m_host.showNotice(notice); });
    }
    void reportError(const std::string& sourceLabel, int step, const Fault& fault) override {
        m_run.callOnOwner([&] { m_run.m_host.reportError(sourceLabel, step, fault); });
    }
    bool keepGoing() override { return !m_run.m_stop; }

private:
    EngineRun& m_run;
};

EngineRun::EngineRun(EngineHost& host, QObject* parent) : QObject(parent), m_host(host) {
    m_pacing.setSingleShot(true);
    m_pacing.setInterval(pacingMs);
    connect(&m_pacing, &QTimer::timeout, this, &EngineRun::progressPaced);
}

void EngineRun::queueProgress(Progress progress) {
    bool post = false;
    {
        std::unique_lock lock(m_mutex);
        // A quitting application takes nothing more: the stop then lets the worker on.
        m_changed.wait(lock, [this] { return m_progress.size() < maxUnshown || m_stop; });
        m_progress.push_back(progress);
        // The first call after a quiet spell goes at once, and so does a queue half
        // full, before the worker has to wait for it.
        post = !std::exchange(m_progressPosted, true) || m_progress.size() == maxUnshown / 2;
    }
    if (post) {
        QMetaObject::invokeMethod(
            this, [this] { progressArrived(); }, Qt::QueuedConnection);
    }
}

void EngineRun::showProgress() {
    std::vector<Progress> queued;
    {
        const std::lock_guard lock(m_mutex);
        queued.swap(m_progress);
    }
    m_changed.notify_all();
    for (const Progress& progress : queued) {
        // A progress bar only shows; what fails in it must not end the run from
        // another thread.
        try {
            if (progress.maximum) {
                m_host.setProgressMaximum(progress.number);
            } else {
                m_host.setProgressValue(progress.number);
            }
        } catch (const std::exception&) {
        }
    }
}

void EngineRun::progressArrived() {
    showProgress();
    // What comes in the next interval waits for the timer rather than waking this
    // thread for every piece.
    m_pacing.start();
}

void EngineRun::progressPaced() {
    {
        const std::lock_guard lock(m_mutex);
        if (m_progress.empty()) {
            // Quiet: the next call posts a notification at once.
            m_progressPosted = false;
            return;
        }
    }
    showProgress();
    m_pacing.start();
}

EngineRun::~EngineRun() = default;

void EngineRun::requestStop() {
    // Only a running job can be stopped: an idle window keeps nothing for later.
    {
        const std::lock_guard lock(m_mutex);
        if (!m_finished) {
            m_stop = true;
        }
    }
    m_changed.notify_all();
}

void EngineRun::callOnOwner(const std::function<void()>& action) {
    std::exception_ptr failure;
    {
        std::unique_lock lock(m_mutex);
        m_request = [&action, &failure] {
            try {
                action();
            } catch (...) {
                failure = std::current_exception();
            }
        };
        m_requestDone = false;
        // The owner may be in its event loop (the usual case) or, while the
        // application quits, waiting in run(); the notification reaches the latter.
        QMetaObject::invokeMethod(
            this, [this] { serve(); }, Qt::QueuedConnection);
        m_changed.notify_all();
        m_changed.wait(lock, [this] { return m_requestDone; });
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
}

void EngineRun::serve() {
    std::function<void()> request;
    {
        const std::lock_guard lock(m_mutex);
        request = std::exchange(m_request, nullptr);
    }
    // Already served: the owner waiting in run() got to it first, or a turn inside
    // the request delivered this notification again.
    if (!request) {
        return;
    }
    // Progress the worker set before this call comes first.
    showProgress();
    request();
    {
        const std::lock_guard lock(m_mutex);
        m_requestDone = true;
    }
    m_changed.notify_all();
}

void EngineRun::finish(std::exception_ptr failure) {
    {
        const std::lock_guard lock(m_mutex);
        m_finished = true;
        m_failure = std::move(failure);
    }
    m_changed.notify_all();
    QMetaObject::invokeMethod(
        this,
        [this] {
            showProgress();
            const std::lock_guard lock(m_mutex);
            // A notification left over from a run that ended while quitting must not
            // end a later run's loop.
            if (m_finished && m_loop != nullptr) {
                m_loop->quit();
            }
        },
        Qt::QueuedConnection);
}

void EngineRun::run(const std::function<void(EngineHost&)>& job) {
    {
        const std::lock_guard lock(m_mutex);
        m_stop = false;
        m_progress.clear();
        m_progressPosted = false;
        m_finished = false;
        m_failure = nullptr;
    }
    WorkerHost workerHost(*this);
    QEventLoop loop;
    m_loop = &loop;
    std::thread worker([this, &job, &workerHost] {
        std::exception_ptr failure;
        try {
            job(workerHost);
        } catch (...) {
            failure = std::current_exception();
        }
        finish(std::move(failure));
    });

    loop.exec();

    std::exception_ptr failure;
    {
        std::unique_lock lock(m_mutex);
        m_loop = nullptr;
        if (!m_finished) {
            // The loop ended early: the application is quitting, and its event loops
            // now end at once. Stop the job and serve its remaining calls from here.
            m_stop = true;
            m_changed.notify_all();
            while (!m_finished) {
                m_changed.wait(lock, [this] { return m_finished || m_request != nullptr; });
                if (m_request != nullptr) {
                    lock.unlock();
                    serve();
                    lock.lock();
                }
            }
        }
        failure = std::exchange(m_failure, nullptr);
    }
    worker.join();
    // The last values of a run the application quit during.
    showProgress();
    m_pacing.stop();
    if (failure) {
        std::rethrow_exception(failure);
    }
}
