#include <stdexcept>

#include <QtTest>

#include "window/EngineRun.h"

// The thread behind the window: the job's host calls reach the window's thread in
// order, boxes with their failures passed back, and the end comes after the last
// call; a run the application quit during is served and joined when it goes.
class TestEngineRun : public QObject {
    Q_OBJECT

private slots:
    void hostCallsArriveOnTheWindowThreadInOrder();
    void destructionServesTheLastCallsAndJoins();
};

namespace {

// Records each call and whether it came on the application's thread.
class ThreadHost : public EngineHost {
public:
    QStringList calls;
    bool allOnOwner = true;

    void setProgressValue(int value) override {
        record(QStringLiteral("value %1").arg(value));
        if (value == 2) {
            throw std::runtime_error("bar");
        }
    }
    void setProgressMaximum(int maximum) override { record(QStringLiteral("maximum %1").arg(maximum)); }
    // The notice's argument names the call; "bad" fails as a box that cannot show.
    void showNotice(const Notice& notice) override {
        record(QString::fromStdString(notice.arguments.at(0)));
        if (notice.arguments.at(0) == "bad") {
            throw std::runtime_error("cannot show");
        }
    }
    void reportError(const std::string& label, int step, const Fault&) override {
        record(QStringLiteral("%1 %2").arg(QString::fromStdString(label)).arg(step));
    }
    // Asked on the job's thread.
    bool keepGoing() override { return QThread::currentThread() != qApp->thread(); }

private:
    void record(const QString& call) {
        allOnOwner = allOnOwner && QThread::currentThread() == qApp->thread();
        calls << call;
    }
};

} // namespace

void TestEngineRun::hostCallsArriveOnTheWindowThreadInOrder() {
    ThreadHost host;
    EngineRun run(host);
    QList<bool> failed;
    connect(&run, &EngineRun::finished, this, [&](std::exception_ptr failure) { failed << bool(failure); });
    QStringList caught;
    bool turnOnJobThread = false;
    run.start([&](EngineHost& worker) {
        worker.setProgressMaximum(3);
        worker.setProgressValue(1);
        worker.setProgressValue(2); // fails in the window; the job goes on
        turnOnJobThread = worker.keepGoing();
        worker.reportError("label", 120, Fault::because("broken"));
        try {
            worker.showNotice({NoticeId::InvalidManifest, {"bad"}});
        } catch (const std::runtime_error& failure) {
            caught << QString::fromLatin1(failure.what());
        }
        worker.setProgressValue(3); // the last call: before the end
    });
    QVERIFY(run.running());
    QTRY_COMPARE(failed, QList<bool>{false});
    QVERIFY(!run.running());
    QVERIFY(host.allOnOwner);
    QVERIFY(turnOnJobThread);
    QCOMPARE(host.calls, (QStringList{"maximum 3", "value 1", "value 2", "label 120", "bad", "value 3"}));
    QCOMPARE(caught, QStringList{"cannot show"});

    // What leaves the job comes with the end; the next job starts afresh.
    run.start([](EngineHost&) { throw std::bad_alloc(); });
    QTRY_COMPARE(failed.size(), 2);
    QVERIFY(failed.last());
}

void TestEngineRun::destructionServesTheLastCallsAndJoins() {
    ThreadHost host;
    bool ended = false;
    {
        EngineRun run(host);
        connect(&run, &EngineRun::finished, this, [&] { ended = true; });
        // No event loop turns from here on, as after the application quit.
        run.start([](EngineHost& worker) {
            worker.setProgressValue(1);
            worker.showNotice({NoticeId::InvalidManifest, {"last"}});
        });
    }
    QCOMPARE(host.calls, (QStringList{"value 1", "last"}));
    QVERIFY(host.allOnOwner);
    QVERIFY(!ended);
}

QTEST_MAIN(TestEngineRun)
#include "TestEngineRun.moc"
