#include "window/EngineRun.h"

#include <string>
#include <thread>
#include <utility>

#include <QEventLoop>
#include <QMetaObject>

// The host the engine sees on the worker: each call is made on the owning thread.
class EngineRun::WorkerHost : public EngineHost {
public:
    explicit WorkerHost(EngineRun& run) : m_run(run) {}

    std::string outputFolder() override {
        std::string folder;
        m_run.callOnOwner([&] { folder = m_run.m_host.outputFolder(); });
        return folder;
    }
    // Not waited for: the value goes along with the next call, which follows at once
    // (the turn before the next piece, or the closing message), or when the job ends.
    // That halves the hand-overs of a split into many small pieces. What setting it
    // throws is thrown by that next call.
    void setProgressValue(int value) override { m_run.m_pendingValue = value; }
    void setProgressMaximum(int maximum) override {
        m_run.callOnOwner([&] { m_run.m_host.setProgressMaximum(maximum); });
    }
    int progressMaximum() override {
        int maximum = 0;
        m_run.callOnOwner([&] { maximum = m_run.m_host.progressMaximum(); });
        return maximum;
    }
    void showNotice(const Notice& notice) override {
        m_run.callOnOwner([&] { m_run.m_host.showNotice(notice); });
    }
    void reportError(const std::string& sourceLabel, int step, const std::string& description) override {
        m_run.callOnOwner([&] { m_run.m_host.reportError(sourceLabel, step, description); });
    }
    bool processEvents() override {
        if (m_run.m_stop) {
            return false;
        }
        bool goOn = false;
        m_run.callOnOwner([&] { goOn = m_run.m_host.processEvents(); });
        return goOn && !m_run.m_stop;
    }

private:
    EngineRun& m_run;
};

EngineRun::EngineRun(EngineHost& host, QObject* parent) : QObject(parent), m_host(host) {}

EngineRun::~EngineRun() = default;

void EngineRun::requestStop() {
    m_stop = true;
}

void EngineRun::callOnOwner(const std::function<void()>& action) {
    std::exception_ptr failure;
    const std::optional<int> value = std::exchange(m_pendingValue, std::nullopt);
    {
        std::unique_lock lock(m_mutex);
        m_request = [this, &action, &failure, &value] {
            try {
                if (value) {
                    m_host.setProgressValue(*value);
                }
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
        m_finished = false;
        m_failure = nullptr;
    }
    m_stop = false;
    WorkerHost workerHost(*this);
    QEventLoop loop;
    m_loop = &loop;
    std::thread worker([this, &job, &workerHost] {
        std::exception_ptr failure;
        try {
            job(workerHost);
            if (m_pendingValue) {
                callOnOwner([] {});
            }
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
    if (failure) {
        std::rethrow_exception(failure);
    }
}
