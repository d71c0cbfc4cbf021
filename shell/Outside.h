#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QUrl>

class QWidget;

// Everything of the outside world that the window touches: each one small interface
// with a Qt implementation (QtOutside.h) and fakes in the tests.

class MessageBoxes {
public:
    virtual ~MessageBoxes() = default;
    // OK only, no icon.
    virtual void notice(QWidget* owner, const QString& caption, const QString& text) = 0;
    // Yes and No, Yes the default and no icon; true for Yes.
    virtual bool question(QWidget* owner, const QString& caption, const QString& text) = 0;
    // The warning box captioned "Application Error", OK only.
    virtual void errorReport(QWidget* owner, const QString& text) = 0;
};

class FileDialogs {
public:
    virtual ~FileDialogs() = default;
    // A modal open-file dialog; the chosen file's full path, empty when cancelled.
    virtual QString openFile(QWidget* owner, const QString& title, const QString& filter) = 0;
    // A modal folder dialog opened at `startFolder`; the chosen folder's absolute
    // path as the dialog returns it, empty when cancelled.
    virtual QString browseForFolder(QWidget* owner, const QString& prompt, const QString& startFolder) = 0;
    // The same choices as the file system names them, byte for byte: a name that is
    // not valid in the locale's encoding survives only here.
    virtual QByteArray openFileName(QWidget* owner, const QString& title, const QString& filter) {
        return QFile::encodeName(openFile(owner, title, filter));
    }
    virtual QByteArray browseForFolderName(QWidget* owner, const QString& prompt, const QString& startFolder) {
        return QFile::encodeName(browseForFolder(owner, prompt, startFolder));
    }
};

class Desktop {
public:
    virtual ~Desktop() = default;
    // Opens a web address or a folder without waiting; false when nothing could open it.
    virtual bool openUrl(const QUrl& url) = 0;
};

class RandomSource {
public:
    virtual ~RandomSource() = default;
    // One uniformly distributed number in [0, 1).
    virtual double draw() = 0;
};

// What Form1 is given to reach the outside world. The interfaces outlive the window.
struct Outside {
    MessageBoxes& messages;
    FileDialogs& dialogs;
    Desktop& desktop;
    RandomSource& random;
    QString settingsFile;  // the INI file of the settings store
    QString programFolder; // the folder of the executable, without a trailing "/"
};
