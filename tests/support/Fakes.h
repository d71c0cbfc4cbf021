#pragma once

#include <functional>
#include <stdexcept>

#include <QList>
#include <QString>
#include <QStringList>
#include <QUrl>

#include "shell/Outside.h"

// Fakes of the outside world: answered ahead, recording in order. A hook runs while
// a "dialog is open", so a test can act from there or make the call fail by throwing.

struct Shown {
    enum Kind { Notice, Question, ErrorReport };
    Kind kind;
    QString caption;
    QString text;
};

class FakeMessageBoxes : public MessageBoxes {
public:
    QList<Shown> shown;
    QList<bool> answers; // for questions, in order; when none is left the answer is No
    std::function<void(const Shown&)> onShow;

    void notice(QWidget*, const QString& caption, const QString& text) override {
        record({Shown::Notice, caption, text});
    }
    bool question(QWidget*, const QString& caption, const QString& text) override {
        record({Shown::Question, caption, text});
        return answers.isEmpty() ? false : answers.takeFirst();
    }
    void errorReport(QWidget*, const QString& text) override {
        record({Shown::ErrorReport, QStringLiteral("Application Error"), text});
    }

    // The texts of the plain notices, in order.
    QStringList notices() const {
        QStringList texts;
        for (const Shown& box : shown) {
            if (box.kind == Shown::Notice) {
                texts << box.text;
            }
        }
        return texts;
    }
    // The step numbers of the error reports, in order; -1 for a report of another
    // procedure than `procedure` ("PushButton2_Click").
    QList<int> reportedSteps(const QString& procedure) const {
        const QString label = QStringLiteral("in Tavrid2021/08/31.Form1.") + procedure + QStringLiteral(" at line ");
        QList<int> steps;
        for (const Shown& report : errorReports()) {
            steps << (report.text.contains(label)
                          ? report.text.section(label, 1).section(QLatin1Char('\r'), 0, 0).toInt()
                          : -1);
        }
        return steps;
    }
    QList<Shown> errorReports() const {
        QList<Shown> reports;
        for (const Shown& box : shown) {
            if (box.kind == Shown::ErrorReport) {
                reports << box;
            }
        }
        return reports;
    }

private:
    void record(const Shown& box) {
        shown << box;
        if (onShow) {
            onShow(box);
        }
    }
};

class FakeFileDialogs : public FileDialogs {
public:
    struct Call {
        bool folder;
        QString title; // the title, or the prompt of the folder dialog
        QString filterOrStart;
    };
    QList<Call> calls;
    QStringList fileAnswers;   // in order; when none is left the dialog is cancelled
    QStringList folderAnswers; // in order; when none is left the dialog is cancelled
    // Answers as the file system names them, taken before the text answers.
    QList<QByteArray> fileNameAnswers;
    QList<QByteArray> folderNameAnswers;
    std::function<void()> onShow;

    QByteArray openFileName(QWidget* owner, const QString& title, const QString& filter) override {
        if (fileNameAnswers.isEmpty()) {
            return FileDialogs::openFileName(owner, title, filter);
        }
        calls << Call{false, title, filter};
        return fileNameAnswers.takeFirst();
    }
    QByteArray browseForFolderName(QWidget* owner, const QString& prompt, const QString& startFolder) override {
        if (folderNameAnswers.isEmpty()) {
            return FileDialogs::browseForFolderName(owner, prompt, startFolder);
        }
        calls << Call{true, prompt, startFolder};
        return folderNameAnswers.takeFirst();
    }

    QString openFile(QWidget*, const QString& title, const QString& filter) override {
        calls << Call{false, title, filter};
        if (onShow) {
            onShow();
        }
        return fileAnswers.isEmpty() ? QString() : fileAnswers.takeFirst();
    }
    QString browseForFolder(QWidget*, const QString& prompt, const QString& startFolder) override {
        calls << Call{true, prompt, startFolder};
        if (onShow) {
            onShow();
        }
        return folderAnswers.isEmpty() ? QString() : folderAnswers.takeFirst();
    }
};

class FakeDesktop : public Desktop {
public:
    QList<QUrl> opened;
    bool result = true;
    std::function<void()> onOpen;

    bool openUrl(const QUrl& url) override {
        opened << url;
        if (onOpen) {
            onOpen();
        }
        return result;
    }
};

class FakeRandom : public RandomSource {
public:
    QList<double> draws; // in order; 0.5 when none is left
    int calls = 0;

    double draw() override {
        ++calls;
        return draws.isEmpty() ? 0.5 : draws.takeFirst();
    }
};
