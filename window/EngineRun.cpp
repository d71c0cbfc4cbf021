#include "window/EngineRun.h"

#include <stdexcept>
#include <utility>

#include <QCoreApplication>
#include <QDeadlineTimer>

// The host the job sees on its thread.
class EngineRun::WorkerHost : public EngineHost {
public:
    explicit WorkerHost(EngineRun& run) : m_run(run) {}

    void setProgressValue(int value) override {
        later([value](EngineHost& host) { host.setProgressValue(value); });
    }
    void setProgressMaximum(int maximum) override {
        later([maximum](EngineHost& host) { host.setProgressMaximum(maximum); });
    }
    void showNotice(const Notice& notice) override {
        waitFor([&](EngineHost& host) { host.showNotice(notice); });
    }
    void reportError(const std::string& sourceLabel, int step, const Fault& fault) override {
        waitFor([&](EngineHost& host) { host.reportError(sourceLabel, step, fault); });
    }
    bool keepGoing() override { return m_run.m_host.keepGoing(); }

private:
    // A progress bar only shows: what fails in it stays in the window.
    void later(std::function<void(EngineHost&)> call) {
        QMetaObject::invokeMethod(
            &m_run,
            [&host = m_run.m_host, call = std::move(call)] {
                try {
                    call(host);
                } catch (const std::exception&) {
                }
            },
            Qt::QueuedConnection);
    }
    void waitFor(const std::function<void(EngineHost&)>& call) {
        std::exception_ptr failure;
        QMetaObject::invokeMethod(
            &m_run,
            [&] {
                try {
                    call(m_run.m_host);
                } catch (...) {
                    failure = std::current_exception();
                }
            },
            Qt::BlockingQueuedConnection);
        if (failure) {
            std::rethrow_exception(failure);
        }
    }

    EngineRun& m_run;
};

EngineRun::EngineRun(EngineHost& host, QObject* parent) : QObject(parent), m_host(host) {}

EngineRun::~EngineRun() {
    // No event loop may turn any more (the application has quit): the calls the job
    // waits for are served from here.
    const std::unique_ptr<QThread> thread = std::move(m_thread);
    while (thread && !thread->wait(QDeadlineTimer(10))) {
        QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
    }
}

void EngineRun::start(Job job) {
    m_thread.reset(QThread::create([this, job = std::move(job)] {
        WorkerHost host(*this);
        try {
            job(host);
        } catch (...) {
            m_failure = std::current_exception();
        }
    }));
    // Emitted on the job's thread, so queued behind the job's last call.
    connect(m_thread.get(), &QThread::finished, this, &EngineRun::threadFinished);
    m_thread->start();
    if (!m_thread->isRunning() && !m_thread->isFinished()) {
        m_thread.reset();
        throw std::runtime_error("Cannot start a thread for the run");
    }
}

void EngineRun::threadFinished() {
    if (!m_thread) {
        return; // served while the destructor waits
    }
    m_thread->wait();
    m_thread.reset();
    emit finished(std::exchange(m_failure, nullptr));
}
