// Runs one split or join through the real window, the way a press of its button
// does, and reports the longest time the window's thread went without an event-loop
// turn. A 1 ms precise timer stands for the user: it fires at every turn that comes
// at least 1 ms after the previous one, so the longest gap between two firings is
// the longest freeze, to within a millisecond.
//
//   quarnel-turns split FILE OUTPUT_FOLDER CHUNK_SIZE
//   quarnel-turns join MANIFEST OUTPUT_FOLDER
//   quarnel-turns idle SECONDS
//
// Prints one line: the longest interval in ms, the number of turns, the run's wall
// time and the messages shown. Exits 1 when the run did not end in success. "idle"
// runs the event loop with nothing to do: the machine's own noise floor. With
// QUARNEL_TURNS_SHOW_GAPS_MS=N every interval longer than N ms is listed on standard
// error. bench/turns.sh runs it, with the throttling shim for a slow disk.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include <QApplication>
#include <QLineEdit>
#include <QStringList>
#include <QTemporaryDir>
#include <QTimer>

#include "shell/Outside.h"
#include "window/Form1.h"

namespace {

using Clock = std::chrono::steady_clock;

// Message boxes that answer at once and remember what they said.
class Answering : public MessageBoxes {
public:
    QStringList shown;
    void notice(QWidget*, const QString&, const QString& text) override { shown << text; }
    bool question(QWidget*, const QString&, const QString& text) override {
        shown << text;
        return false;
    }
    void errorReport(QWidget*, const QString& text) override { shown << QStringLiteral("error: ") + text; }
};

class NoDialogs : public FileDialogs {
public:
    QString openFile(QWidget*, const QString&, const QString&) override { return {}; }
    QString browseForFolder(QWidget*, const QString&, const QString&) override { return {}; }
};

class NoDesktop : public Desktop {
public:
    bool openUrl(const QUrl&) override { return true; }
};

class NoHomePage : public RandomSource {
public:
    double draw() override { return 0.5; }
};

int usage() {
    std::fputs("usage: quarnel-turns split FILE OUTPUT_FOLDER CHUNK_SIZE\n"
               "       quarnel-turns join MANIFEST OUTPUT_FOLDER\n",
               stderr);
    return 2;
}

} // namespace

int main(int argc, char* argv[]) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication application(argc, argv);
    const QStringList args = QCoreApplication::arguments().mid(1);
    const QString command = args.value(0);
    const bool splitting = command == QLatin1String("split");
    const bool idling = command == QLatin1String("idle");
    if (!(splitting && args.size() == 4) && !(command == QLatin1String("join") && args.size() == 3) &&
        !(idling && args.size() == 2)) {
        return usage();
    }

    QTemporaryDir settingsFolder;
    Answering messages;
    NoDialogs dialogs;
    NoDesktop desktop;
    NoHomePage random;
    Form1 form(Outside{messages, dialogs, desktop, random, settingsFolder.filePath(QStringLiteral("Velmarc.conf")),
                       settingsFolder.path()});
    form.Form_Load();
    form.show();
    const auto field = [&form](int number) { return form.findChild<QLineEdit*>(QStringLiteral("Text%1").arg(number)); };
    if (splitting) {
        field(2)->setText(args.at(2));
        field(1)->setText(args.at(1));
        field(3)->setText(args.at(3));
    } else if (!idling) {
        field(2)->setText(args.at(2));
        field(4)->setText(args.at(1));
    }
    QCoreApplication::processEvents();

    std::vector<Clock::time_point> turns;
    turns.reserve(1 << 20);
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    ticker.setInterval(1);
    QObject::connect(&ticker, &QTimer::timeout, [&turns] { turns.push_back(Clock::now()); });
    ticker.start();

    const Clock::time_point start = Clock::now();
    turns.push_back(start);
    if (idling) {
        QTimer::singleShot(static_cast<int>(args.at(1).toDouble() * 1000), &application, &QCoreApplication::quit);
        QApplication::exec();
    } else {
        // The click starts the run and returns; the run's end makes the window idle.
        splitting ? form.PushButton4_Click() : form.PushButton3_Click();
        while (form.Busy()) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        }
    }
    const Clock::time_point end = Clock::now();
    turns.push_back(end);
    ticker.stop();

    Clock::duration longest{};
    std::size_t longestAt = 0;
    for (std::size_t i = 1; i < turns.size(); ++i) {
        if (turns[i] - turns[i - 1] > longest) {
            longest = turns[i] - turns[i - 1];
            longestAt = i;
        }
    }
    const auto ms = [](Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); };
    if (qEnvironmentVariableIsSet("QUARNEL_TURNS_SHOW_GAPS_MS")) {
        const std::chrono::milliseconds shown(qEnvironmentVariableIntValue("QUARNEL_TURNS_SHOW_GAPS_MS"));
        for (std::size_t i = 1; i < turns.size(); ++i) {
            if (turns[i] - turns[i - 1] > shown) {
                std::fprintf(stderr, "%.1f ms ending %.3f s into the run\n", ms(turns[i] - turns[i - 1]),
                             ms(turns[i] - start) / 1000);
            }
        }
    }
    std::printf("longest %.1f ms (ending %.2f s into the run), %zu turns, run %.3f s, messages: %s\n", ms(longest),
                ms(turns[longestAt] - start) / 1000, turns.size() - 2, ms(end - start) / 1000,
                qPrintable(messages.shown.join(QStringLiteral(" | "))));
    const QString success =
        splitting ? QStringLiteral("File successfully split") : QStringLiteral("Files successfully joined");
    return idling || messages.shown.contains(success) ? 0 : 1;
}
