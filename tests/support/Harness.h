#pragma once

#include <memory>

#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QObject>
#include <QPoint>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include "shell/Settings.h"
#include "tests/support/Fakes.h"
#include "tests/support/Files.h"
#include "window/Form1.h"

// One Form1 over fakes, a temporary settings file and a temporary program folder.
// HOME points into the temporary folder so the desktop default is predictable.
class Harness {
public:
    Harness() {
        programFolder = dir.path() + QStringLiteral("/program");
        home = dir.path() + QStringLiteral("/home");
        QDir().mkpath(programFolder);
        QDir().mkpath(home + QStringLiteral("/Desktop"));
        qputenv("HOME", QFile::encodeName(home));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(home + QStringLiteral("/.config")));
        qunsetenv("XDG_DESKTOP_DIR");
        settingsFile = dir.path() + QStringLiteral("/Velmarc.conf");
    }

    Form1& create() {
        form = std::make_unique<Form1>(Outside{messages, dialogs, desktop, random, settingsFile, programFolder});
        return *form;
    }
    Form1& load() {
        create();
        form->Form_Load();
        return *form;
    }
    Form1& show() {
        load();
        form->show();
        form->activateWindow();
        return *form;
    }

    // Shows the window with the split row set to cut <dir>/a.bin (`size` bytes) into
    // 100-byte pieces beside it.
    Form1& showReadyToSplit(qint64 size) {
        const QString source = dir.path() + QStringLiteral("/a.bin");
        Files::writeOrDie(source, QByteArray(size, 'x'));
        show();
        text(2)->setText(dir.path() + QStringLiteral("/"));
        text(1)->setText(source);
        text(3)->setText(QStringLiteral("100"));
        return *form;
    }

    // Waits until the start command clicked last has ended: the end of its run
    // restores the idle look.
    bool waitUntilIdle() const {
        return QTest::qWaitFor([this] { return !form->Busy(); }, 60000);
    }

    QLineEdit* text(int number) const { return form->findChild<QLineEdit*>(QStringLiteral("Text%1").arg(number)); }
    QPushButton* button(int number) const {
        return form->findChild<QPushButton*>(QStringLiteral("PushButton%1").arg(number));
    }
    Settings settings() const { return Settings(settingsFile); }
    // Writes HAND-M.CUR to the program folder: a 32 by 32 cursor, clear but for one
    // black pixel at `pixel`.
    bool writeCursorFile(QPoint pixel) const;
    QString desktopFolder() const { return home + QStringLiteral("/Desktop/"); }

    // The caption a control shows and the width in pixels it has for it: a button's
    // contents, a label's contents, a frame's or a field's or the bar's whole width.
    struct Caption {
        QString text;
        int room = 0;
    };
    static Caption caption(const QWidget& widget);

    QTemporaryDir dir;
    QString programFolder;
    QString home;
    QString settingsFile;
    FakeMessageBoxes messages;
    FakeFileDialogs dialogs;
    FakeDesktop desktop;
    FakeRandom random;
    std::unique_ptr<Form1> form;
};

// A test class whose every test function starts with a fresh Harness.
class HarnessTest : public QObject {
    Q_OBJECT

protected:
    std::unique_ptr<Harness> m_harness;

private slots:
    void init() { m_harness = std::make_unique<Harness>(); }
};
