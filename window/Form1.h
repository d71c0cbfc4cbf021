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

// The main window, and the host of the engine (run on its own thread by EngineRun; every call but keepGoing() comes
// on the window's thread) and of shell/ and feedback/ (as WindowHost).
class Form1 : public QWidget, public EngineHost, public WindowHost {
    Q_OBJECT
public:
    explicit Form1(Outside outside, QWidget* parent = nullptr);
    ~Form1() override;

    void Form_Load();
    // Fills in the field the file given on the command line belongs to; nothing starts by itself.
    void openFile(const QString& path);
    void openFile(const QByteArray& path);

    bool Busy() const { return m_busy; }
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

    // EngineHost
    void setProgressValue(int value) override;
    void setProgressMaximum(int maximum) override;
    void showNotice(const Notice& notice) override;
    void reportError(const std::string& sourceLabel, int step, const Fault& fault) override;
    bool keepGoing() override { return !m_stop; } // on the run's thread

    // Esc: the run stops as if the window were closing, but the window stays.
    void requestStop();
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
    void splitEnded(const std::exception_ptr& failure);
    void joinEnded(const std::exception_ptr& failure);
    void restoreIdleLook();
    // A failure of the setting write it causes is thrown here.
    void setText2(const QString& text);
    void pickFile(const char* procedureName, const QString& filter, QLineEdit* target);
    bool handleDrop(QEvent* event);
    // Empty when the field's text cannot name a file.
    std::optional<std::string> name(const QLineEdit* field) const;
    std::size_t nameIndex(const QLineEdit* field) const;
    void setName(QLineEdit* field, const QByteArray& name);
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
    QProgressBar* m_progressBar = nullptr;
    EngineRun m_engineRun{*this};
    FieldName m_names[3]; // Text1, Text2, Text4
    DesktopSession m_desktop{*this};
};
