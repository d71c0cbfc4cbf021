#include <atomic>
#include <stdexcept>
#include <thread>

#include <QtTest>

#include "window/EngineRun.h"

// The worker thread behind the window: host calls made on the worker are carried out
// on the window's thread, in order, with their results and failures passed back; the
// event loop turns while the worker blocks; an application that quits mid-run still
// serves the worker's last calls and ends with the worker joined.
class TestEngineRun : public QObject {
    Q_OBJECT

private slots:
    void hostCallsArriveOnTheOwnerThreadInOrder();
    void failuresCrossInBothDirections();
    void eventLoopTurnsWhileTheWorkerBlocks();
    void quittingStopsTheJobAndServesItsLastCalls();
};

namespace {

// Records each call and whether it came on the application's thread.
class ThreadHost : public EngineHost {
public:
    QStringList calls;
    bool allOnOwner = true;
    std::function<void(const QString&)> onCall;

    void setProgressValue(int value) override { record(QStringLiteral("value %1").arg(value)); }
    void setProgressMaximum(int maximum) override { record(QStringLiteral("maximum %1").arg(maximum)); }
    // The notice's argument names the call.
    void showNotice(const Notice& notice) override { record(QString::fromStdString(notice.arguments.at(0))); }
    void reportError(const std::string& label, int step, const Fault& fault) override {
        record(QStringLiteral("%1 %2 %3")
                   .arg(QString::fromStdString(label))
                   .arg(step)
                   .arg(QString::fromStdString(fault.description())));
    }
    bool keepGoing() override {
        record(QStringLiteral("turn"));
        return true;
    }

private:
    void record(const QString& call) {
        allOnOwner = allOnOwner && QThread::currentThread() == qApp->thread();
        calls << call;
        if (onCall) {
            onCall(call);
        }
    }
};

} // namespace

void TestEngineRun::hostCallsArriveOnTheOwnerThreadInOrder() {
    ThreadHost host;
    EngineRun run(host);
    std::thread::id jobThread;
    bool goOn = false;
    run.run([&](EngineHost& worker) {
        jobThread = std::this_thread::get_id();
        worker.setProgressMaximum(3);
        goOn = worker.keepGoing(); // answered without the window
        worker.setProgressValue(1);
        worker.reportError("label", 120, Fault::because("broken"));
        worker.showNotice({NoticeId::InvalidManifest, {"done"}});
        worker.setProgressValue(9); // the last call of the job: still delivered
    });
    QVERIFY(jobThread != std::this_thread::get_id());
    QVERIFY(host.allOnOwner);
    QCOMPARE(host.calls, (QStringList{"maximum 3", "value 1", "label 120 broken", "done", "value 9"}));
    QVERIFY(goOn);

    // A stop request answers the next turn without asking the host.
    host.calls.clear();
    host.onCall = [&](const QString& call) {
        if (call == QLatin1String("stop")) {
            run.requestStop();
        }
    };
    run.run([&](EngineHost& worker) {
        worker.showNotice({NoticeId::InvalidManifest, {"stop"}});
        goOn = worker.keepGoing();
    });
    QVERIFY(!goOn);
    QCOMPARE(host.calls, QStringList{"stop"});

    // A value set while the window still shows the one before, then nothing more for
    // a while, reaches the window while the worker still works.
    host.calls.clear();
    std::atomic<int> shown{0};
    host.onCall = [&](const QString& call) { shown = call.mid(6).toInt(); };
    bool shownWhileWorking = true;
    run.run([&](EngineHost& worker) {
        for (int value = 4; value <= 5; ++value) {
            worker.setProgressValue(value);
            for (int i = 0; i < 10000 && shown != value; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            shownWhileWorking = shownWhileWorking && shown == value;
        }
    });
    QVERIFY(shownWhileWorking);
    QCOMPARE(host.calls, (QStringList{"value 4", "value 5"}));
}

void TestEngineRun::failuresCrossInBothDirections() {
    ThreadHost host;
    host.onCall = [](const QString& call) {
        if (call == QLatin1String("bad message") || call == QLatin1String("value 2")) {
            throw std::runtime_error(call.toStdString());
        }
    };
    EngineRun run(host);
    QStringList caught;
    run.run([&](EngineHost& worker) {
        const auto guarded = [&](const std::function<void()>& call) {
            try {
                call();
            } catch (const std::runtime_error& failure) {
                caught << QString::fromLatin1(failure.what());
            }
        };
        guarded([&] { worker.showNotice({NoticeId::InvalidManifest, {"bad message"}}); });
        // A progress value is not waited for, and what fails in showing it stays in
        // the window: the run goes on.
        guarded([&] { worker.setProgressValue(2); });
        guarded([&] { worker.keepGoing(); });
        worker.showNotice({NoticeId::InvalidManifest, {"after"}});
    });
    QCOMPARE(caught, (QStringList{"bad message"}));
    QCOMPARE(host.calls, (QStringList{"bad message", "value 2", "after"}));

    QVERIFY_THROWS_EXCEPTION(std::bad_alloc, run.run([](EngineHost&) { throw std::bad_alloc(); }));
}

void TestEngineRun::eventLoopTurnsWhileTheWorkerBlocks() {
    // The job waits for something only the window's event loop does, without a host
    // call in between, as a worker stuck in a slow write would.
    ThreadHost host;
    EngineRun run(host);
    std::atomic<bool> ticked{false};
    QTimer ticker;
    connect(&ticker, &QTimer::timeout, &ticker, [&] { ticked = true; });
    ticker.start(1);
    bool sawTick = false;
    run.run([&](EngineHost&) {
        for (int i = 0; i < 10000 && !ticked; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        sawTick = ticked;
    });
    QVERIFY(sawTick);
    QVERIFY(host.calls.isEmpty());
}

void TestEngineRun::quittingStopsTheJobAndServesItsLastCalls() {
    ThreadHost host;
    host.onCall = [](const QString& call) {
        if (call == QLatin1String("quit now")) {
            QCoreApplication::quit(); // as closing the last window does
        }
    };
    EngineRun run(host);
    int turns = 0;
    bool returned = false;
    QTimer::singleShot(0, this, [&] {
        run.run([&](EngineHost& worker) {
            worker.showNotice({NoticeId::InvalidManifest, {"quit now"}});
            // The host never says stop: only the quitting application can. The
            // progress keeps the worker from running away from the window.
            while (worker.keepGoing() && turns < 100000) {
                worker.setProgressValue(++turns);
            }
            worker.showNotice({NoticeId::InvalidManifest, {"last"}});
        });
        returned = true;
    });
    QCoreApplication::exec();

    QVERIFY(returned);
    QVERIFY(turns < 100000);
    QCOMPARE(host.calls.last(), QStringLiteral("last"));
    QVERIFY(host.allOnOwner);
}

QTEST_MAIN(TestEngineRun)
#include "TestEngineRun.moc"
