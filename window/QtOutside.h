#pragma once

#include <random>

#include "shell/Outside.h"

// The real dialogs, message boxes, desktop and random draw.

class QtMessageBoxes : public MessageBoxes {
public:
    void notice(QWidget* owner, const QString& caption, const QString& text) override;
    bool question(QWidget* owner, const QString& caption, const QString& text) override;
    void errorReport(QWidget* owner, const QString& text) override;
};

class QtFileDialogs : public FileDialogs {
public:
    QString openFile(QWidget* owner, const QString& title, const QString& filter) override;
    QString browseForFolder(QWidget* owner, const QString& prompt, const QString& startFolder) override;
    QByteArray openFileName(QWidget* owner, const QString& title, const QString& filter) override;
    QByteArray browseForFolderName(QWidget* owner, const QString& prompt, const QString& startFolder) override;
};

class QtDesktop : public Desktop {
public:
    bool openUrl(const QUrl& url) override;
};

// Seeded once from the time of day.
class TimeSeededRandom : public RandomSource {
public:
    TimeSeededRandom();
    double draw() override;

private:
    std::mt19937_64 m_engine;
};
