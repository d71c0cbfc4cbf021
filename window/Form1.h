#pragma once

#include <optional>
#include <string>

#include <QCursor>
#include <QWidget>

#include "engine/EngineHost.h"
#include "engine/ReportingProcedure.h"
#include "shell/Outside.h"
#include "shell/Settings.h"
#include "shell/WindowHost.h"
#include "window/Controls.h"
#include "window/EngineRun.h"

class QGroupBox;
class QLabel;
class QLineEdit;
class QMimeData;
class QProgressBar;

// The main window: the split and join panels, the sample and help buttons and the
// progress bar. It is also the engine's host: the engine reads the output folder,
// drives the progress bar and shows its messages through it. The engine runs on a
// worker thread (EngineRun); these host calls still all happen on the window's thread.
// It is also the host of start-up, samples, help and hover (shell/, feedback/),
// which reach it as WindowHost.
class Form1 : public QWidget, public EngineHost, public WindowHost {
    Q_OBJECT
public:
    explicit Form1(Outside outside, QWidget* parent = nullptr);
    ~Form1() override;

    // The start-up sequence; run once before the window is shown.
    void Form_Load();
    // Fills in the file given on the command line, in the field its name belongs
    // to; nothing starts by itself.
    void openFile(const QString& path);

    bool Busy() const { return m_busy; }
    // The hand cursor read at start-up; empty when none was loaded.
    const std::optional<QCursor>& MouseIcon() const { return m_mouseIcon; }

    // WindowHost
    QWidget& form() override { return *this; }
    const Outside& outside() const override { return m_outside; }
    Settings& settings() override { return m_settings; }
    bool closing() const override { return m_closing; }
    void setFieldText(Field field, const QString& text) override;
    void notice(const QString& text) override;
    const QString& applicationTitle() const override { return m_applicationTitle; }
    void setApplicationTitle(const QString& title) override { m_applicationTitle = title; }
    int MousePointer() const override { return m_mousePointer; }
    void setMousePointer(int pointer) override;
    void setMouseIcon(const QCursor& icon) override;
    void reportError(const std::string& sourceLabel, int step, const std::string& description) override;

    // EngineHost
    void setProgressValue(int value) override;
    void setProgressMaximum(int maximum) override;
    void showNotice(const Notice& notice) override;
    void reportError(const std::string& sourceLabel, int step, const Fault& fault) override;
    bool keepGoing() override;

    // Esc: a running split or join stops at its next event-loop turn as if the window
    // were closing, but the window stays and the command ends as usual.
    void requestStop();

public slots:
    void PushButton1_Click();
    void PushButton2_Click();
    void PushButton3_Click();
    void PushButton4_Click();
    void PushButton5_Click();
    void PushButton6_Click();
    void PushButton7_Click();
    void PushButton8_Click();
    void Text2_Change();
    void Text3_LostFocus();

protected:
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildControls();
    void applyPointer();
    void restoreIdleLook(const ReportingProcedure& procedure, int pointerLine, int barLine);
    // Sets Text2 from code; a failure of the setting write it causes is thrown here.
    void setText2(const QString& text);
    void pickFile(const char* procedureName, const QString& filter, QLineEdit* target);
    QLineEdit* dropTarget(QObject* watched) const;
    QString droppedPath(const QMimeData* data, const QLineEdit* target) const;
    bool handleDrop(QObject* watched, QEvent* event);

    Outside m_outside;
    Settings m_settings;
    QString m_applicationTitle;
    bool m_busy = false;
    bool m_closing = false;
    bool m_checkingText3 = false;
    int m_mousePointer = 0;
    std::optional<QCursor> m_mouseIcon;
    std::optional<std::string> m_text2Failure;

    QGroupBox* m_frame1 = nullptr;
    QGroupBox* m_frame2 = nullptr;
    QLineEdit* m_text1 = nullptr;
    QLineEdit* m_text2 = nullptr;
    QLineEdit* m_text3 = nullptr;
    QLineEdit* m_text4 = nullptr;
    PushButton* m_pushButtons[8] = {};
    QProgressBar* m_progressBarWidget = nullptr;
    std::optional<ProgressBar> m_progressBar;
    EngineRun m_engineRun{*this};
};
