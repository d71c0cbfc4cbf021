#pragma once

#include <atomic>
#include <exception>
#include <optional>
#include <string>

#include <QCursor>
#include <QWidget>

#include "engine/EngineHost.h"
#include "shell/Outside.h"
#include "shell/Settings.h"
#include "shell/WindowHost.h"
#include "window/Controls.h"
#include "window/DesktopSession.h"
#include "window/EngineRun.h"
#include "window/FieldName.h"

class QGroupBox;
class QLabel;
class QLineEdit;
class QMimeData;
class QProgressBar;

// The main window: the split and join panels, the sample and help buttons and the
// progress bar. It is also the engine's host: the engine drives the progress bar and
// shows its messages through it. The engine runs on its own thread (EngineRun); a
// start button starts it and returns, and the run's end restores the idle look. The
// host calls all happen on the window's thread, but for keepGoing(). It is also the
// host of start-up, samples, help and hover (shell/, feedback/), which reach it as
// WindowHost.
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
    // The same for a name as the file system has it, kept byte for byte.
    void openFile(const QByteArray& path);

    bool Busy() const { return m_busy; }
    // The hand cursor read at start-up; empty when none was loaded.
    const std::optional<QCursor>& MouseIcon() const { return m_mouseIcon; }

    // WindowHost
    QWidget& form() override { return *this; }
    const Outside& outside() const override { return m_outside; }
    Settings& settings() override { return m_settings; }
    bool closing() const override { return m_closing; }
    void setFieldText(Field field, const QString& text) override;
    void setFieldName(Field field, const QByteArray& name) override;
    void notice(const QString& text) override;
    const QString& applicationTitle() const override { return m_applicationTitle; }
    void setApplicationTitle(const QString& title) override { m_applicationTitle = title; }
    int MousePointer() const override { return m_mousePointer; }
    void setMousePointer(int pointer) override;
    void setMouseIcon(const QCursor& icon) override;
    void reportError(const std::string& sourceLabel, int step, const std::string& description) override;

    // EngineHost. A run starts in startRun(), its progress arrives here and its end
    // reaches the slot startRun() was given.
    void setProgressValue(int value) override;
    void setProgressMaximum(int maximum) override;
    void showNotice(const Notice& notice) override;
    void reportError(const std::string& sourceLabel, int step, const Fault& fault) override;
    // On the run's thread: false once a stop was asked for.
    bool keepGoing() override { return !m_stop; }

    // Esc: a running split or join stops at its next event-loop turn as if the window
    // were closing, but the window stays and the command ends as usual.
    void requestStop();

    // The notification, dock progress and sleep inhibitor of a run.
    DesktopSession& desktopSession() { return m_desktop; }

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
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildControls();
    void applyPointer();
    void startRun(const QString& fileName, EngineRun::Job job, void (Form1::*ended)(const std::exception_ptr&));
    // The ends of the two start commands, after the run or without one.
    void splitEnded(const std::exception_ptr& failure);
    void joinEnded(const std::exception_ptr& failure);
    void restoreIdleLook();
    // Sets Text2 from code; a failure of the setting write it causes is thrown here.
    void setText2(const QString& text);
    void pickFile(const char* procedureName, const QString& filter, QLineEdit* target);
    bool handleDrop(QEvent* event);
    // A field's name as bytes; empty when its text cannot name a file.
    std::optional<std::string> name(const QLineEdit* field) const;
    // Where m_names keeps the name of Text1, Text2 or Text4.
    std::size_t nameIndex(const QLineEdit* field) const;
    void setName(QLineEdit* field, const QByteArray& name);
    // The fallback of a field's name for the checks; the message when it cannot be used.
    std::string checkedName(const QLineEdit* field) const;
    void showUnusableName(const QLineEdit* field);

    Outside m_outside;
    Settings m_settings;
    QString m_applicationTitle;
    bool m_busy = false;
    bool m_closing = false;
    std::atomic<bool> m_stop{false}; // of the running split or join
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
    FieldName m_names[3]; // Text1, Text2, Text4
    DesktopSession m_desktop{*this};
};
